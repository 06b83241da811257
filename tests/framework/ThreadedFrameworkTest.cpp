// Several threads subscribing, unsubscribing and firing, and sharing a node's
// lock; run under ThreadSanitizer by the test command.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "framework/uEventer.h"
#include "framework/uMRSWLock.h"
#include "framework/uiNodedInterface.h"

namespace {

struct TCounter {
  std::atomic<int> calls{0};
  void Hit(int) { calls.fetch_add(1); }
};

TEST(ThreadedEventerTest, ConcurrentAddRemoveAndFire) {
  TEventer<int> eventer;
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<TCounter> counters(kThreads);
  TCounter steady;
  eventer.AddHandler(TEventer<int>::THandler::Of<&TCounter::Hit>(&steady));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto handler =
          TEventer<int>::THandler::Of<&TCounter::Hit>(&counters[static_cast<std::size_t>(t)]);
      for (int i = 0; i < kRounds; ++i) {
        eventer.AddHandler(handler);
        eventer.Fire(i);
        eventer.RemoveHandler(handler);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(eventer.HandlerCount(), 1u);
  // Every Fire reached the steady handler; each thread's own handler was
  // present during each of its own Fire calls.
  EXPECT_EQ(steady.calls.load(), kThreads * kRounds);
  for (auto& c : counters) EXPECT_GE(c.calls.load(), kRounds);
}

TEST(ThreadedLockTest, WritersExcludeReadersAndReentryWorks) {
  TMRSWLock lock;
  int shared = 0;  // guarded by `lock` only
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 3 == 0) {
          TWriteGuard w(lock);
          TWriteGuard again(lock);  // re-entrant write
          TReadGuard r(lock);       // a writer may read its own node
          shared += 1;
          shared += 1;
        } else {
          TReadGuard r(lock);
          TReadGuard again(lock);  // re-entrant read
          if (shared % 2 != 0) torn = true;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(torn.load());
  EXPECT_GT(shared, 0);
}

class TLeaf : public TNodedInterface {};

TEST(ThreadedNodedTest, SeparateTreesBuiltInParallelAndTakenApart) {
  const std::int32_t before = LiveNodeCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int round = 0; round < 50; ++round) {
        TIntf<INodedInterface> root = Make<TLeaf>();
        for (int i = 0; i < 5; ++i) {
          TIntf<INodedInterface> child = Make<TLeaf>();
          child->SetOwner(TIntf<IInterface>(root));
        }
        (void)root->GetChildren();
        root->DetachTree();
      }
    });
  }
  // Meanwhile a reader takes a shared node's lock over and over.
  TIntf<INodedInterface> shared = Make<TLeaf>();
  std::thread reader([&] {
    for (int i = 0; i < 2000; ++i) (void)shared->GetName();
  });
  for (int i = 0; i < 200; ++i) shared->SetName("n" + std::to_string(i));
  reader.join();
  for (auto& th : threads) th.join();
  shared = nullptr;
  EXPECT_EQ(LiveNodeCount(), before);
}

// The last two references dropped at the same moment on two threads: the one
// that does not end the object must not touch it afterwards.
TEST(ThreadedCountTest, LastTwoReferencesDroppedTogether) {
  const std::int32_t before = LiveNodeCount();
  constexpr int kRounds = 500;
  std::vector<TIntf<INodedInterface>> objects(kRounds);
  std::vector<TIntf<INodedInterface>> copies(kRounds);
  for (int i = 0; i < kRounds; ++i) copies[i] = objects[i] = Make<TLeaf>();
  std::barrier start(2);
  auto dropAll = [&start](std::vector<TIntf<INodedInterface>>& held) {
    for (auto& reference : held) {
      start.arrive_and_wait();
      reference = nullptr;
    }
  };
  std::thread other([&] { dropAll(copies); });
  dropAll(objects);
  other.join();
  EXPECT_EQ(LiveNodeCount(), before);
}

}  // namespace
