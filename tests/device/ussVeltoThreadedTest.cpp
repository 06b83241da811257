// The I/O module device with packets arriving on a receive thread while the
// caller's thread works with the same copies.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "device/ussVelto.h"
#include "uVeltoTestKit.h"

using namespace veltotest;

namespace {

class TVeltoThreaded : public VeltoFixture {};

// Every change event of one number must continue where the one before ended:
// a torn update of the copy would report an old state nobody stored.
void ExpectChainedChanges(const std::vector<TEventLog::TSingle>& singles, std::int16_t number) {
  bool known = false;
  bool last = false;
  for (const auto& s : singles) {
    if (s.Number != number) continue;
    if (known) {
      EXPECT_EQ(s.OldState, last);
      EXPECT_NE(s.NewState, s.OldState);
    }
    known = true;
    last = s.NewState;
  }
}

// A subscriber that, the first time it is called on the caller's thread,
// waits until a receive thread is busy in the stack and then talks to the
// module from inside the event, as an application mirroring inputs on
// outputs does.
struct TTalkingHandler {
  TVelto* Device = nullptr;
  TMemoryTransport* Transport = nullptr;
  std::thread::id Caller;
  std::function<bool()> Talk;
  std::promise<void> InHandler;
  bool Done = false;
  bool Talked = false;

  void OnChange(TIntf<IVelto>, std::int16_t, bool, bool) {
    if (std::this_thread::get_id() != Caller || Done) return;
    Done = true;
    InHandler.set_value();
    // Until the receive thread holds the line (or a short while, when the
    // device keeps it out, which is what it should do).
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) {
      if (!Transport->TryLock()) break;
      Transport->Unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Talked = Talk();
  }
};

// Runs `work` on its own thread; a thread that does not come back means the
// device's locks deadlocked, and nothing can be cleaned up after that.
void RunOrDieOnDeadlock(const std::function<void()>& work) {
  std::packaged_task<void()> task(work);
  auto finished = task.get_future();
  std::thread runner(std::move(task));
  if (finished.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "deadlock between the caller's thread and the receive thread";
    std::fflush(stdout);
    std::_Exit(1);
  }
  runner.join();
  finished.get();
}

TEST_F(TVeltoThreaded, InputHandlerMayTalkToTheModuleWhileANotificationArrives) {
  Transport->SetResponder([](const TBytes& written) -> TBytes {
    const auto request = ParsePacket(written);
    if (request.INST == 0xF3) {
      return BuildPacket(0x31, request.SIG, 0, BytesOf("VELTO ETH 8/4;V1.0.0;F97"));
    }
    if (request.INST == 0x31 || request.INST == 0x30) {
      return BuildPacket(0x31, request.SIG, 0, TBytes{0x00});
    }
    return BuildPacket(0x31, request.SIG, 0, {});
  });
  ASSERT_TRUE(Identify());
  TTalkingHandler handler;
  handler.Device = Device.get();
  handler.Transport = Transport.get();
  handler.Talk = [&handler] { return handler.Device->SetOutput(1, true, 0, true); };
  auto inHandler = handler.InHandler.get_future();
  const auto subscription =
      TeventerVeltoNotifyChangeIO::THandler::Of<&TTalkingHandler::OnChange>(&handler);
  Device->InputChangedEvents().AddHandler(subscription);

  std::thread module;
  RunOrDieOnDeadlock([&] {
    handler.Caller = std::this_thread::get_id();
    module = std::thread([&] {
      try {
        inHandler.wait();
        Transport->Deliver(BuildPacket(0x31, 0, 0x0D, TBytes{0x04}));
      } catch (...) {
        ADD_FAILURE() << "delivery raised";
      }
    });
    TVeltoIOArray states;
    EXPECT_TRUE(Device->ReadInputs(states, true));
    module.join();
  });
  Device->InputChangedEvents().RemoveHandler(subscription);
  EXPECT_TRUE(handler.Talked);
  bool state = false;
  ASSERT_TRUE(Device->GetCachedInput(3, state));
  EXPECT_TRUE(state);  // the notification came after the read
}

TEST_F(TVeltoThreaded, OutputHandlerMayTalkToTheModuleWhileAnAnswerArrives) {
  std::atomic<bool> holdUnwaited{true};
  Transport->SetResponder([&holdUnwaited](const TBytes& written) -> TBytes {
    const auto request = ParsePacket(written);
    if (request.INST == 0x30 || request.INST == 0x31) {
      return BuildPacket(0x31, request.SIG, 0, TBytes{0x00});
    }
    // The answer to the unwaited command comes later, from the receive thread.
    if (request.INST == 0x20 && request.Data == TBytes{0x82} && holdUnwaited.load()) return {};
    return BuildPacket(0x31, request.SIG, 0, {});
  });
  TVeltoIOArray outputs;
  ASSERT_TRUE(Device->ReadOutputs(outputs, true));
  // The slot of the unwaited command must outlive the handler's wait.
  Device->SetTimeout(5000);
  ASSERT_TRUE(Device->SetOutput(2, true, 0, false));
  Device->SetTimeout(100);
  holdUnwaited = false;
  TTervanFormat97 unwaited;
  for (const TBytes& block : Transport->Written()) {
    const auto request = ParsePacket(block);
    if (request.INST == 0x20) unwaited = request;
  }
  ASSERT_EQ(unwaited.Data, TBytes{0x82});

  TTalkingHandler handler;
  handler.Device = Device.get();
  handler.Transport = Transport.get();
  handler.Talk = [&handler] {
    TVeltoIOArray states;
    return handler.Device->ReadInputs(states, true);
  };
  auto inHandler = handler.InHandler.get_future();
  const auto subscription =
      TeventerVeltoNotifyChangeIO::THandler::Of<&TTalkingHandler::OnChange>(&handler);
  Device->OutputChangedEvents().AddHandler(subscription);

  std::thread module;
  RunOrDieOnDeadlock([&] {
    handler.Caller = std::this_thread::get_id();
    module = std::thread([&] {
      try {
        inHandler.wait();
        Transport->Deliver(BuildPacket(0x31, unwaited.SIG, 0, {}));
      } catch (...) {
        ADD_FAILURE() << "delivery raised";
      }
    });
    EXPECT_TRUE(Device->SetOutput(1, true, 0, true));
    module.join();
  });
  Device->OutputChangedEvents().RemoveHandler(subscription);
  EXPECT_TRUE(handler.Talked);
  bool state = false;
  ASSERT_TRUE(Device->GetCachedOutput(2, state));
  EXPECT_TRUE(state);  // the late answer reached the copy
}

TEST_F(TVeltoThreaded, NotificationsOnAReceiveThreadWhileTheCallerReads) {
  std::atomic<std::uint8_t> inputs{0x00};
  Transport->SetResponder([&inputs](const TBytes& written) -> TBytes {
    const auto request = ParsePacket(written);
    if (request.INST == 0xF3) {
      return BuildPacket(0x31, request.SIG, 0, BytesOf("VELTO ETH 8/4;V1.0.0;F97"));
    }
    return BuildPacket(0x31, request.SIG, 0, TBytes{inputs.load()});
  });
  ASSERT_TRUE(Identify());
  TEventLog log;
  log.Subscribe(*Device, true);

  constexpr int kToggles = 300;
  std::atomic<bool> done{false};
  std::thread module([&] {
    try {
      for (int i = 0; i < kToggles; ++i) {
        const auto state = static_cast<std::uint8_t>(inputs.load() ^ 0x04);
        inputs.store(state);
        Transport->Deliver(BuildPacket(0x31, 0, 0x0D, TBytes{state}));
      }
    } catch (...) {
      ADD_FAILURE() << "delivery raised";
    }
    done = true;
  });
  int reads = 0;
  while (!done.load() || reads < 20) {
    TVeltoIOArray states;
    EXPECT_TRUE(Device->ReadInputs(states, true));
    TVeltoIOArray cached;
    EXPECT_EQ(Device->GetCachedInputs(cached), 8);
    ++reads;
  }
  module.join();

  // Both roads end at the module's last state.
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  bool state = false;
  ASSERT_TRUE(Device->GetCachedInput(3, state));
  EXPECT_EQ(state, (inputs.load() & 0x04) != 0);
  const auto singles = log.Singles();
  ASSERT_FALSE(singles.empty());
  ExpectChainedChanges(singles, 3);
  // Only input 3 ever changed after the first fill.
  std::size_t others = 0;
  for (std::size_t i = 8; i < singles.size(); ++i) others += singles[i].Number != 3 ? 1 : 0;
  EXPECT_EQ(others, 0u);
  log.Unsubscribe(*Device, true);
}

TEST_F(TVeltoThreaded, UnwaitedOutputAnswersOnAReceiveThread) {
  Transport->SetResponder([](const TBytes&) { return TBytes(); });
  TEventLog log;
  log.Subscribe(*Device, false);
  constexpr int kCommands = 100;
  std::atomic<int> answered{0};
  std::thread module([&] {
    try {
      for (int i = 0; i < kCommands; ++i) {
        if (!Transport->WaitWritten(static_cast<std::size_t>(i + 1), 2000)) break;
        const auto request = ParsePacket(Transport->Written()[static_cast<std::size_t>(i)]);
        Transport->Deliver(BuildPacket(0x31, request.SIG, 0, {}));
        ++answered;
      }
    } catch (...) {
      ADD_FAILURE() << "delivery raised";
    }
  });
  for (int i = 0; i < kCommands; ++i) {
    EXPECT_TRUE(Device->SetOutput(1, i % 2 == 0, 0, false));
    bool state = false;
    Device->GetCachedOutput(1, state);
  }
  module.join();
  ASSERT_EQ(answered.load(), kCommands);
  // The last command switched output 1 off; every answer reported once.
  bool state = true;
  ASSERT_TRUE(Device->GetCachedOutput(1, state));
  EXPECT_FALSE(state);
  EXPECT_EQ(log.Singles().size(), static_cast<std::size_t>(kCommands));
  EXPECT_EQ(log.Lists().size(), static_cast<std::size_t>(kCommands));
  log.Unsubscribe(*Device, false);
}

}  // namespace
