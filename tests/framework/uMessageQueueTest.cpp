#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "framework/uMessageQueue.h"
#include "framework/uTick.h"
#include "support/uPumpUntil.h"
#include "support/uThreadState.h"

namespace {

// Long enough that a wait which missed its wake-up fails the test instead of
// passing late; never reached when the wake-up works.
constexpr std::uint32_t kMissedWakeUpMs = 60000;

// A pipe whose ends close with the object.
struct TPipe {
  int Read = -1, Write = -1;
  TPipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      Read = fds[0];
      Write = fds[1];
    }
  }
  ~TPipe() {
    if (Read >= 0) close(Read);
    if (Write >= 0) close(Write);
  }
  void Signal() { EXPECT_EQ(write(Write, "x", 1), 1); }
  void Drain() {
    char c;
    EXPECT_EQ(read(Read, &c, 1), 1);
  }
};

TEST(MessageQueueThreaded, PostedCallsRunOnTheOwnerThreadInOrderWhenItProcesses) {
  TMessageTarget target;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::thread poster([&] {
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(target.Post([&, i] {
        order.push_back(i);
        threads.push_back(std::this_thread::get_id());
      }));
  });
  poster.join();
  EXPECT_TRUE(order.empty());  // nothing runs until the owner processes
  EXPECT_EQ(ProcessMessages(), 3u);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(ProcessMessages(), 0u);
}

TEST(MessageQueueThreaded, SendWaitsForTheOwnerToRunTheCall) {
  TMessageTarget target;
  std::atomic<bool> ran{false}, sent{false}, result{false};
  std::thread sender([&] {
    result = target.Send([&] { ran = true; }, 5000);
    sent = true;
  });
  EXPECT_TRUE(PumpUntil([&] { return sent.load(); }));
  sender.join();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(result);
}

TEST(MessageQueueThreaded, SendThatTimesOutIsDroppedAndNeverRunsLater) {
  TMessageTarget target;
  std::atomic<bool> ran{false};
  bool result = true;
  std::thread sender([&] { result = target.Send([&] { ran = true; }, 30); });
  sender.join();  // the owner did not process in time
  EXPECT_FALSE(result);
  ProcessMessages();
  EXPECT_FALSE(ran);
}

TEST(MessageQueueThreaded, DisabledTargetRefusesAndDropsQueuedCalls) {
  TMessageTarget target;
  std::atomic<int> runs{0};
  std::thread poster([&] { EXPECT_TRUE(target.Post([&] { ++runs; })); });
  poster.join();
  target.SetEnabled(false);
  std::thread refused([&] {
    EXPECT_FALSE(target.Post([&] { ++runs; }));
    EXPECT_FALSE(target.Send([&] { ++runs; }, 10));
  });
  refused.join();
  ProcessMessages();
  EXPECT_EQ(runs, 0);
  target.SetEnabled(true);
  EXPECT_TRUE(target.Post([&] { ++runs; }));
  ProcessMessages();
  EXPECT_EQ(runs, 1);
}

TEST(MessageQueueThreaded, SendDroppedBecauseTheTargetWasDisabledReportsFailure) {
  TMessageTarget target;
  std::atomic<bool> ran{false};
  std::atomic<bool> result{true};
  std::thread sender([&] { result = target.Send([&] { ran = true; }, kMissedWakeUpMs); });
  EXPECT_TRUE(WaitForMessage(kMissedWakeUpMs));  // queued; it is refused at its turn
  target.SetEnabled(false);
  ProcessMessages();
  sender.join();
  EXPECT_FALSE(ran);
  EXPECT_FALSE(result) << "a call that never ran was reported as done";
}

// How a target stops taking calls while a sender waits for one of them.
enum class TTargetEnd { Disabled, Removed, OwnerThreadEnded };

class MessageSendEndThreaded : public ::testing::TestWithParam<TTargetEnd> {};

// The sender must come back at once, refused, not at its time-out: closing a
// port never waits out a send.
TEST_P(MessageSendEndThreaded, WaitingSenderReturnsAtOnceRefused) {
  std::unique_ptr<TMessageTarget> target;
  std::atomic<bool> ran{false};
  std::promise<bool> queued;
  std::thread owner;
  if (GetParam() == TTargetEnd::OwnerThreadEnded) {
    std::promise<void> made;
    owner = std::thread([&] {
      target = std::make_unique<TMessageTarget>();
      made.set_value();
      // Ends without processing the call it was sent.
      queued.set_value(WaitForMessage(kMissedWakeUpMs));
    });
    made.get_future().wait();
  } else {
    target = std::make_unique<TMessageTarget>();
  }
  std::promise<bool> result;
  std::future<bool> returned = result.get_future();
  TMessageTarget* const to = target.get();  // the sender outlives a removed target
  std::thread sender([&] { result.set_value(to->Send([&] { ran = true; }, kMissedWakeUpMs)); });
  switch (GetParam()) {
    case TTargetEnd::Disabled:
      ASSERT_TRUE(WaitForMessage(kMissedWakeUpMs));  // the call is queued
      target->SetEnabled(false);
      break;
    case TTargetEnd::Removed:
      ASSERT_TRUE(WaitForMessage(kMissedWakeUpMs));
      target.reset();
      break;
    case TTargetEnd::OwnerThreadEnded:
      EXPECT_TRUE(queued.get_future().get());
      owner.join();
      break;
  }
  // Well short of the sender's time-out; a working refusal comes at once.
  const bool inTime = returned.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  EXPECT_TRUE(inTime) << "the sender waited on for its time-out";
  sender.join();
  EXPECT_FALSE(returned.get());
  ProcessMessages();
  EXPECT_FALSE(ran);
}

INSTANTIATE_TEST_SUITE_P(Ends, MessageSendEndThreaded,
                         ::testing::Values(TTargetEnd::Disabled, TTargetEnd::Removed,
                                           TTargetEnd::OwnerThreadEnded),
                         [](const auto& info) {
                           switch (info.param) {
                             case TTargetEnd::Disabled:
                               return "Disabled";
                             case TTargetEnd::Removed:
                               return "Removed";
                             default:
                               return "OwnerThreadEnded";
                           }
                         });

TEST(MessageQueueThreaded, RemovedTargetDropsItsQueuedCalls) {
  std::atomic<int> runs{0};
  auto target = std::make_unique<TMessageTarget>();
  auto other = std::make_unique<TMessageTarget>();
  std::thread poster([&] {
    EXPECT_TRUE(target->Post([&] { runs += 1; }));
    EXPECT_TRUE(other->Post([&] { runs += 10; }));
  });
  poster.join();
  target.reset();
  ProcessMessages();
  EXPECT_EQ(runs, 10);
}

TEST(MessageQueueThreaded, TargetOfAThreadThatEndedRefusesCalls) {
  std::unique_ptr<TMessageTarget> target;
  std::thread owner([&] { target = std::make_unique<TMessageTarget>(); });
  owner.join();
  EXPECT_FALSE(target->OnOwnerThread());
  EXPECT_FALSE(target->Post([] {}));
  EXPECT_FALSE(target->Send([] {}, 10));
}

TEST(MessageQueue, SendOnTheOwnerThreadRunsAtOnce) {
  TMessageTarget target;
  bool ran = false;
  EXPECT_TRUE(target.OnOwnerThread());
  EXPECT_TRUE(target.Send([&] { ran = true; }, 0));
  EXPECT_TRUE(ran);
}

TEST(MessageQueue, ThrowingCallDoesNotStopTheOthers) {
  TMessageTarget target;
  int runs = 0;
  target.Post([] { throw 1; });
  target.Post([&] { ++runs; });
  EXPECT_NO_THROW(ProcessMessages());
  EXPECT_EQ(runs, 1);
}

TEST(MessageQueue, CallPostedWhileProcessingWaitsForTheNextRound) {
  TMessageTarget target;
  int runs = 0;
  target.Post([&] {
    ++runs;
    target.Post([&] { ++runs; });
  });
  ProcessMessages();
  EXPECT_EQ(runs, 1);
  ProcessMessages();
  EXPECT_EQ(runs, 2);
}

TEST(MessagePollSource, ReadyDescriptorRunsItsCallbackOnlyWhenProcessing) {
  TPipe pipe;
  int calls = 0;
  short seen = 0;
  TPollSource source(pipe.Read, POLLIN, [&](short revents) {
    ++calls;
    seen = revents;
  });
  ProcessMessages();
  EXPECT_EQ(calls, 0);  // nothing to read yet
  pipe.Signal();
  EXPECT_EQ(calls, 0);
  ProcessMessages();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(seen & POLLIN);
  pipe.Drain();
  ProcessMessages();
  EXPECT_EQ(calls, 1);
}

TEST(MessagePollSource, RemovedSourceIsNotCalledAndCallbackMayRemoveItself) {
  TPipe pipe;
  int calls = 0;
  std::unique_ptr<TPollSource> source;
  source = std::make_unique<TPollSource>(pipe.Read, POLLIN, [&](short) {
    ++calls;
    source.reset();
  });
  auto later = std::make_unique<TPollSource>(pipe.Read, POLLIN, [&](short) { ++calls; });
  later.reset();
  pipe.Signal();
  ProcessMessages();
  ProcessMessages();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(source);
}

TEST(MessagePollSourceThreaded, SourceRegisteredForATargetIsPolledByItsOwnerThread) {
  TMessageTarget target;
  TPipe pipe;
  std::atomic<int> calls{0};
  std::unique_ptr<TPollSource> source;
  std::thread registrar([&] {
    source = std::make_unique<TPollSource>(target, pipe.Read, POLLIN, [&](short) { ++calls; });
    ProcessMessages();  // this thread's own queue does not hold it
  });
  registrar.join();
  pipe.Signal();
  EXPECT_EQ(calls, 0);
  ProcessMessages();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(source->Fd(), pipe.Read);
}

// --- waiting for work ---------------------------------------------------------

TEST(MessageWaitThreaded, CallPostedWhileTheOwnerWaitsEndsTheWait) {
  std::atomic<TMessageTarget*> target{nullptr};
  std::atomic<pid_t> tid{0};
  std::atomic<bool> woken{false};
  std::atomic<bool> posted{false};
  std::atomic<bool> postReturned{false};
  std::thread owner([&] {
    TMessageTarget own;
    tid = CurrentThreadId();
    target = &own;
    woken = WaitForMessage(kMissedWakeUpMs);
    EXPECT_TRUE(posted) << "woken before anything was posted";
    EXPECT_EQ(ProcessMessages(), 1u);
    EXPECT_FALSE(WaitForMessage(1)) << "processed calls still wake the thread";
    while (!postReturned) std::this_thread::yield();  // `own` outlives the post
  });
  while (target == nullptr) std::this_thread::yield();
  EXPECT_TRUE(ThreadSleepsSoon(tid, kMissedWakeUpMs));
  posted = true;
  EXPECT_TRUE(target.load()->Post([] {}));
  postReturned = true;
  owner.join();
  EXPECT_TRUE(woken);
}

TEST(MessageWaitThreaded, DescriptorEndsTheWait) {
  TPipe pipe;
  std::thread signaller([&] { pipe.Signal(); });
  EXPECT_TRUE(WaitForMessage(kMissedWakeUpMs, pipe.Read, POLLIN));
  signaller.join();
}

TEST(MessageWait, CallQueuedBeforeTheWaitEndsItAtOnceAndNothingEndsItAtTheTimeOut) {
  TMessageTarget target;
  // Queued by another thread before this thread ever waited.
  std::thread poster([&] { EXPECT_TRUE(target.Post([] {})); });
  poster.join();
  EXPECT_TRUE(WaitForMessage(kMissedWakeUpMs));
  ProcessMessages();
  EXPECT_FALSE(WaitForMessage(1));
  EXPECT_FALSE(WaitForMessage(0, -1, POLLIN));
}

}  // namespace
