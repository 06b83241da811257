// The stack and a device over a real loopback TCP connection to a module
// served by its own thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "framework/uMessageQueue.h"
#include "framework/uTick.h"
#include "support/uPumpUntil.h"
#include "transport/tcp/uci_ITCPClientInterface.h"
#include "uStackTestKit.h"
#include "uTcpModulePeer.h"

namespace {

using namespace stacktest;

// Answers 0x31 (read inputs) with 00 05 and any other request with its own data.
TBytes ModuleRule(const TTervanFormat97& r) {
  if (r.INST == 0x31) return BuildPacket(r.ADR, r.SIG, 0x00, {0x00, 0x05});
  if (r.INST == 0x40)  // answers after an input-change notification in the same write
    return Concat(
        {BuildPacket(r.ADR, 0x00, 0x0D, {0x00, 0x02}), BuildPacket(r.ADR, r.SIG, 0x00, r.Data)});
  return BuildPacket(r.ADR, r.SIG, 0x00, r.Data);
}

class ThreadedTcpLoopbackStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Transport = Make<TTCPClientInterface>("provider=TCP_CLIENT;host=127.0.0.1;port=" +
                                          std::to_string(Peer.Port()));
    Stack = Make<TTervanStack>();
    Stack->SetTransport(TIntf<ICommunicationInterface>(Transport));
    Device = Make<TProbeDevice>(0x31);
    Device->SetStack(TIntf<ITervanStack>(Stack));
    ASSERT_TRUE(Transport->Open());
  }
  void TearDown() override {
    Device->SetStack(nullptr);
    Stack->SetTransport(nullptr);
    if (Transport->GetActive()) Transport->Close(true);
  }

  TTcpModulePeer Peer{ModuleRule};
  TIntf<TTCPClientInterface> Transport;
  TIntf<TTervanStack> Stack;
  TIntf<TProbeDevice> Device;
};

TEST_F(ThreadedTcpLoopbackStackTest, WaitingExchangeGetsItsAnswer) {
  TBytes data;
  ASSERT_TRUE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1, data));
  EXPECT_EQ(data, (TBytes{0x00, 0x05}));
  EXPECT_EQ(Device->GetLastResult(), 1);
  EXPECT_EQ(Peer.Requests(), 1);
}

TEST_F(ThreadedTcpLoopbackStackTest, NotificationAndAnswerInOneSegmentBothArrive) {
  TBytes data;
  ASSERT_TRUE(Device->Execute(0x40, TBytes{0x12}, {}, true, -1, data));
  EXPECT_EQ(data, TBytes{0x12});
  ASSERT_EQ(Device->Notifications().size(), 1u);
  EXPECT_EQ(Device->Notifications()[0].Data, (TBytes{0x00, 0x02}));
}

TEST_F(ThreadedTcpLoopbackStackTest, NotificationWhileIdleArrivesWhenMessagesAreProcessed) {
  ASSERT_TRUE(Peer.SendUnsolicited(BuildPacket(0x31, 0x00, 0x0D, {0x00, 0x01})));
  PumpUntil([&] { return !Device->Notifications().empty(); });
  ASSERT_EQ(Device->Notifications().size(), 1u);
  EXPECT_EQ(Device->Notifications()[0].Data, (TBytes{0x00, 0x01}));
}

TEST_F(ThreadedTcpLoopbackStackTest, UnwaitedRequestsAnswersReachTheirCallbacks) {
  int calls = 0;
  for (std::uint8_t i = 1; i <= 3; ++i)
    ASSERT_TRUE(Device->Execute(
        0x20, TBytes{i},
        [&](const TTervanFormat97& request, const TTervanFormat97& answer) {
          if (request.Data == answer.Data) ++calls;
        },
        false, 3000));
  PumpUntil([&] { return calls >= 3; });
  EXPECT_EQ(calls, 3);
}

// Not a timing assertion: prints what a waiting exchange costs on loopback.
TEST_F(ThreadedTcpLoopbackStackTest, ReportsTheCostOfAWaitingExchange) {
  constexpr int kRounds = 200;
  int ok = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    TBytes data;
    if (Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1, data)) ++ok;
  }
  const double us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(ok, kRounds);
  std::printf("[ figure   ] waiting exchange over loopback TCP: %.1f us on average\n",
              us / kRounds);
  RecordProperty("exchange_us", static_cast<int>(us / kRounds));
}

TEST_F(ThreadedTcpLoopbackStackTest, ClosedConnectionFailsTheExchangeWithoutRaising) {
  Transport->Close(true);
  TBytes data;
  EXPECT_FALSE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1, data));
  EXPECT_EQ(Device->GetLastResult(), 2);
}

}  // namespace
