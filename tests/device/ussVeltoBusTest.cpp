// Three devices of different addresses on one stack over one serial line
// (a pseudo-terminal served by the simulator's bus): exchanges from several
// threads at once, answers and notifications reach only their own device,
// and a module that stops answering costs the others nothing but time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "device/ussVelto.h"
#include "framework/uMessageQueue.h"
#include "framework/uTick.h"
#include "protocol/uTervanStack.h"
#include "support/uPumpUntil.h"
#include "support/uSimulatorProcess.h"
#include "transport/serial/uci_ISerialPortInterface.h"
#include "uVeltoTestKit.h"

using namespace veltotest;

namespace {

constexpr int kCom = 61;
constexpr int kRounds = 15;

// The modules at "1" (0x31), "7" (0x37) and #200, each with other inputs on.
constexpr std::array<std::uint8_t, 3> kAddresses{0x31, 0x37, 200};

TVeltoIOArray Inputs(std::initializer_list<int> on) {
  TVeltoIOArray states(8, false);
  for (int n : on) states[static_cast<std::size_t>(n - 1)] = true;
  return states;
}

class TVeltoBus : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> faults = {}) {
    std::vector<std::string> args{"--pty",          "--address", "1,7,200", "--notify",
                                  "--inputs-on@1",  "1",         "--inputs-on@7", "2",
                                  "--inputs-on@200", "1,3"};
    args.insert(args.end(), faults.begin(), faults.end());
    FSim = StartSimulator(args);
    ASSERT_FALSE(FSim.PtyPath.empty());
    setenv(("VELTO_COM" + std::to_string(kCom)).c_str(), FSim.PtyPath.c_str(), 1);
    Transport = Make<TSerialPortInterface>("comport=" + std::to_string(kCom) + ";baudrate=9600");
    Stack = Make<TTervanStack>();
    Stack->SetTransport(TIntf<ICommunicationInterface>(Transport));
    for (std::size_t i = 0; i < kAddresses.size(); ++i) {
      Devices[i] = Make<TVelto>(kAddresses[i]);
      Devices[i]->SetStack(TIntf<ITervanStack>(Stack));
    }
    ASSERT_TRUE(Transport->Open()) << Transport->GetLastError();
  }

  void TearDown() override {
    for (auto& device : Devices)
      if (device) device->SetStack(nullptr);
    if (Stack) Stack->SetTransport(nullptr);
    if (Transport) Transport->Close(true);
    for (auto& device : Devices) device.reset();
    Stack.reset();
    Transport.reset();
    unsetenv(("VELTO_COM" + std::to_string(kCom)).c_str());
  }

  template <class F>
  bool DispatchUntil(F done) {
    return PumpUntil(done, 10000);
  }

  const std::array<TVeltoIOArray, 3> FExpected{Inputs({1}), Inputs({2}), Inputs({1, 3})};
  TSimulatorProcess FSim;
  TIntf<TSerialPortInterface> Transport;
  TIntf<TTervanStack> Stack;
  std::array<TIntf<TVelto>, 3> Devices;
};

TEST_F(TVeltoBus, ExchangesFromThreeThreadsAtOnceEachGetTheirOwnModulesAnswers) {
  Start();
  std::array<std::atomic<int>, 3> right{};
  std::array<std::atomic<int>, 3> wrong{};
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < Devices.size(); ++i)
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round) {
        TVeltoIOArray states;
        if (Devices[i]->ReadInputs(states, true) && states == FExpected[i])
          ++right[i];
        else
          ++wrong[i];
      }
    });
  for (auto& thread : threads) thread.join();
  for (std::size_t i = 0; i < Devices.size(); ++i) {
    EXPECT_EQ(right[i], kRounds) << "device " << int(kAddresses[i]);
    EXPECT_EQ(wrong[i], 0) << "device " << int(kAddresses[i]);
  }
}

TEST_F(TVeltoBus, AnInputChangeOfOneModuleReachesOnlyItsDevice) {
  Start();
  std::array<TEventLog, 3> logs;
  for (std::size_t i = 0; i < Devices.size(); ++i) {
    TVeltoIOArray states;
    ASSERT_TRUE(Devices[i]->ReadInputs(states, true));
    logs[i].Subscribe(*Devices[i], true);
  }
  ASSERT_TRUE(FSim.Process.WriteStdin("@7 in 4 on\n"));
  ASSERT_TRUE(DispatchUntil([&] { return !logs[1].Lists().empty(); }));
  EXPECT_EQ(logs[1].Singles(), (std::vector<TEventLog::TSingle>{{4, true, false}}));
  // An exchange with each of the others after the notification: had it
  // reached them, their events would have fired by now.
  for (std::size_t i : {0u, 2u}) {
    TVeltoIOArray states;
    ASSERT_TRUE(Devices[i]->ReadInputs(states, true));
    EXPECT_EQ(states, FExpected[i]);
    ProcessMessages();
    EXPECT_TRUE(logs[i].Lists().empty()) << "device " << int(kAddresses[i]);
    EXPECT_TRUE(logs[i].Singles().empty()) << "device " << int(kAddresses[i]);
  }
  bool state = false;
  ASSERT_TRUE(Devices[1]->GetCachedInput(4, state));
  EXPECT_TRUE(state);
  for (std::size_t i = 0; i < Devices.size(); ++i) logs[i].Unsubscribe(*Devices[i], true);
}

TEST_F(TVeltoBus, AModuleThatStopsAnsweringHoldsUpTheOthersOnlyByItsOwnTimeOuts) {
  Start({"--no-answer@7", "0x31"});
  constexpr int kSilentRounds = 3;
  std::atomic<bool> silentDone{false};
  std::atomic<int> silentAnswered{0};
  std::array<std::atomic<int>, 3> right{};
  std::array<std::atomic<int>, 3> failed{};
  std::thread silent([&] {
    for (int round = 0; round < kSilentRounds; ++round) {
      TVeltoIOArray states;
      if (Devices[1]->ReadInputs(states, true)) ++silentAnswered;
    }
    silentDone = true;
  });
  std::vector<std::thread> others;
  for (std::size_t i : {0u, 2u})
    others.emplace_back([&, i] {
      // Keeps asking for as long as the silent module is being waited for.
      while (!silentDone) {
        TVeltoIOArray states;
        if (Devices[i]->ReadInputs(states, true) && states == FExpected[i])
          ++right[i];
        else
          ++failed[i];
      }
    });
  silent.join();
  for (auto& thread : others) thread.join();
  EXPECT_EQ(silentAnswered, 0);
  for (std::size_t i : {0u, 2u}) {
    EXPECT_GT(right[i], 0) << "device " << int(kAddresses[i]);
    EXPECT_EQ(failed[i], 0) << "device " << int(kAddresses[i]);
  }
  // The silent module still answers what it was not told to drop.
  TVeltoInfo info;
  EXPECT_TRUE(Devices[1]->GetInfo(info));
}

}  // namespace
