// The simulator's server run in-process on a thread of the test.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "protocol/uTervan97.h"
#include "simulator/uSimServer.h"
#include "support/uSimulatorProcess.h"

namespace {

constexpr int kTimeoutMs = 5000;

class SimServerThreaded : public ::testing::Test {
 protected:
  void Start(TSimConfig config = {}) {
    FModule = std::make_unique<TModuleSimulator>(config);
    TSimServerOptions options;
    options.Port = 0;
    FServer = std::make_unique<TSimServer>(*FModule, options, nullptr);
    std::string error;
    ASSERT_TRUE(FServer->Open(error)) << error;
    ASSERT_NE(FServer->Port(), 0);
    FThread = std::thread([this] {
      try {
        FServer->Run();
      } catch (...) {
        FFailed = true;  // nothing may escape the thread
      }
    });
  }
  void TearDown() override {
    if (FThread.joinable()) {
      FServer->Stop();
      FThread.join();
    }
    EXPECT_FALSE(FFailed) << "the server's loop raised";
  }

  std::unique_ptr<TModuleSimulator> FModule;
  std::unique_ptr<TSimServer> FServer;
  std::thread FThread;
  std::atomic<bool> FFailed{false};
};

TEST_F(SimServerThreaded, AnswersOverLoopback) {
  Start();
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(FServer->Port()));
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 5, 0x20, {0x82})));
  EXPECT_EQ(client.ReadPacket(kTimeoutMs), BuildPacket(0x31, 5, 0, {}));
  EXPECT_TRUE(FModule->Outputs()[1]);
}

TEST_F(SimServerThreaded, InputChangeFromAnotherThreadIsSentAtOnce) {
  TSimConfig config;
  config.Notify = true;
  Start(config);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(FServer->Port()));
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 0, 0x11, {})));
  ASSERT_FALSE(client.ReadPacket(kTimeoutMs).empty());
  FModule->SetInput(8, true);
  EXPECT_EQ(client.ReadPacket(kTimeoutMs), BuildPacket(0x31, 0, 0x0D, {0x80}));
}

TEST_F(SimServerThreaded, StopEndsTheLoop) {
  Start();
  FServer->Stop();
  FThread.join();
  // The listener is still bound, so the kernel takes the connection, but
  // nobody serves it any more.
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(FServer->Port(), 1000));
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 0, 0x11, {})));
  EXPECT_TRUE(client.ReadPacket(300).empty());
}

}  // namespace

namespace {

// A client that lets answers pile up before reading them still gets every
// byte, in order: the backlog of a TCP client is never cut.
TEST_F(SimServerThreaded, SlowReaderGetsEveryAnswerWhole) {
  TSimConfig config;
  // Each answer is 64 KiB (65,527 bytes of text in a 65,536-byte packet).
  const std::string head = "VELTO ETH 8/4;V1.02.03;F97;";
  config.Identification = head + std::string(65527 - head.size(), 'x');
  Start(config);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(FServer->Port()));
  constexpr int kRequests = 60;  // some 4 MB of answers, beyond any socket buffer
  for (int i = 0; i < kRequests; ++i)
    ASSERT_TRUE(client.Send(BuildPacket(0x31, static_cast<std::uint8_t>(i), 0xF3, {})));
  for (int i = 0; i < kRequests; ++i) {
    TBytes answer = client.ReadPacket(kTimeoutMs);
    ASSERT_EQ(CheckPacket(answer), 0) << "answer " << i;
    EXPECT_EQ(answer[5], static_cast<std::uint8_t>(i));
  }
}

}  // namespace
