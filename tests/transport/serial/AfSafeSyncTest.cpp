// The synchronisation registry: bounded room, disabled targets refuse, calls
// run on the owner thread, and a waiting call never outlives its target.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/uMessageQueue.h"
#include "framework/uTick.h"
#include "transport/serial/AfSafeSync.h"

namespace {

constexpr int kHangGuardMs = 10000;

// Unregisters what a test registered, whatever happens in it.
struct TTargets {
  ~TTargets() {
    for (std::uint32_t id : Ids) UnregisterTarget(id);
  }
  std::vector<std::uint32_t> Ids;
};

TEST(SafeSyncTest, SixtyFourTargetsFitAndTheNextGetsIdZero) {
  TTargets targets;
  for (int i = 0; i < kSyncTargets; ++i) {
    const std::uint32_t id = RegisterTarget([] {});
    ASSERT_NE(id, 0u);
    for (std::uint32_t other : targets.Ids) ASSERT_NE(id, other);
    targets.Ids.push_back(id);
  }
  EXPECT_EQ(RegisterTarget([] {}), 0u);
  ASSERT_TRUE(UnregisterTarget(targets.Ids.back()));
  EXPECT_FALSE(UnregisterTarget(targets.Ids.back()));
  targets.Ids.back() = RegisterTarget([] {});
  EXPECT_NE(targets.Ids.back(), 0u);
}

TEST(SafeSyncTest, ADisabledTargetRefusesAndAnEnabledOneRunsOnItsOwnerAtOnce) {
  TTargets targets;
  int runs = 0;
  const std::uint32_t id = RegisterTarget([&] { ++runs; });
  targets.Ids.push_back(id);
  EXPECT_FALSE(SyncCall(id, 1000));  // registered disabled
  EXPECT_EQ(runs, 0);
  ASSERT_TRUE(EnableTarget(id, true));
  EXPECT_TRUE(SyncCall(id, 1000));
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(SyncCall(12345678, 1000));  // unknown id
}

TEST(SafeSyncTest, CallsTheOwnerNeverServicesEndAtTheirTimeOutAndQueueNoMoreThanOne) {
  TTargets targets;
  std::atomic<int> runs{0};
  const std::uint32_t id = RegisterTarget([&] { ++runs; });
  targets.Ids.push_back(id);
  EnableTarget(id, true);
  std::vector<bool> results;
  std::thread caller([&] {
    for (int i = 0; i < 3; ++i) results.push_back(SyncCall(id, 20));
  });
  caller.join();
  // The target is still there; that the calls did not run is not told.
  EXPECT_EQ(results, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(ProcessMessages(), 1u);  // the owner comes round too late, to one queued call
  EXPECT_EQ(runs.load(), 0);
}

TEST(SafeSyncTest, ACallRunsOnTheOwnerThreadWhenItProcessesItsMessages) {
  TTargets targets;
  std::thread::id ranOn;
  const std::uint32_t id = RegisterTarget([&] { ranOn = std::this_thread::get_id(); });
  targets.Ids.push_back(id);
  EnableTarget(id, true);
  std::atomic<bool> done{false};
  std::thread caller([&] {
    SyncCall(id, kHangGuardMs);
    done = true;
  });
  const std::uint32_t deadline = GetTickCount32() + kHangGuardMs;
  while (!done && !TickAfter(GetTickCount32(), deadline)) ProcessMessages();
  caller.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

// The owner disables the target from inside the handler (as closing a port
// from a report does) and then waits for the caller: the caller must have
// returned while the handler still runs, or closing would wait out the time-out.
TEST(SafeSyncTest, DisablingTheTargetReleasesACallerWaitingForItsRunningHandler) {
  TTargets targets;
  std::mutex lock;
  std::condition_variable changed;
  bool callerBack = false;
  bool releasedInTime = false;
  std::uint32_t id = 0;
  id = RegisterTarget([&] {
    EnableTarget(id, false);
    std::unique_lock<std::mutex> guard(lock);
    releasedInTime = changed.wait_for(guard, std::chrono::milliseconds(kHangGuardMs),
                                      [&] { return callerBack; });
  });
  targets.Ids.push_back(id);
  EnableTarget(id, true);
  bool result = true;
  std::thread caller([&] {
    result = SyncCall(id, 60000);
    {
      std::lock_guard<std::mutex> guard(lock);
      callerBack = true;
    }
    changed.notify_all();
  });
  const std::uint32_t deadline = GetTickCount32() + kHangGuardMs;
  while (!releasedInTime && !TickAfter(GetTickCount32(), deadline)) ProcessMessages();
  caller.join();
  EXPECT_TRUE(releasedInTime);
  EXPECT_FALSE(result);
}

}  // namespace
