// How the USB transport waits: a caller holding the lock waits on the
// library's event, and the receive thread sleeps while the lock is taken.
// Wake-ups are counted, not timed: a thread that polls makes one per
// millisecond, one that waits makes one per signal and per time-out.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include "framework/uThreadNice.h"
#include "support/uThreadState.h"
#include "transport/serial/AfComPortThreads.h"
#include "transport/usb/uD2xxEvent.h"
#include "transport/usb/uFakeAdapter.h"
#include "transport/usb/uPthreadLock.h"

namespace {

// ---------------------------------------------------------------- the event

// The first argument of the system call thread `tid` of this process is in,
// as the kernel reports it; false where the kernel does not tell.
bool SyscallArgument(int tid, std::uintptr_t& at) {
  std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
  std::string number, argument;
  if (!(file >> number >> argument) || argument.rfind("0x", 0) != 0) return false;
  at = static_cast<std::uintptr_t>(std::stoull(argument, nullptr, 16));
  return true;
}

// How far the addresses the kernel reports lie from ours: none natively;
// under user-mode emulation the kernel sees the emulator's, which hold the
// emulated memory at a distance of whole pages (none at all for some
// targets). Learnt from a thread that waits on a condition variable of our own.
std::uintptr_t KernelAddressShift() {
  static const std::uintptr_t shift = [] {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    std::atomic<int> tid{0};
    bool done = false;
    std::thread waiter([&] {
      TPthreadLock lock(mutex);
      tid = CurrentThreadId();
      while (!done) pthread_cond_wait(&cond, &mutex);
    });
    while (tid == 0) std::this_thread::yield();
    // Taken once the waiter has let go of it inside the wait.
    { TPthreadLock lock(mutex); }
    std::uintptr_t at = 0;
    const bool told = ThreadSleepsSoon(tid, 10000) && SyscallArgument(tid, at);
    {
      TPthreadLock lock(mutex);
      done = true;
      pthread_cond_signal(&cond);
    }
    waiter.join();
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    return told ? (at - reinterpret_cast<std::uintptr_t>(&cond)) / page * page : 0;
  }();
  return shift;
}

// True while thread `tid` of this process is in a system call whose first
// argument points into `object` (a futex wait on a condition variable);
// sleeping is enough where the kernel does not tell.
template <class T>
bool WaitsOn(int tid, const T& object) {
  std::uintptr_t at = 0;
  if (!SyscallArgument(tid, at)) return ThreadSleepsSoon(tid, 0);
  const auto begin = reinterpret_cast<std::uintptr_t>(&object) + KernelAddressShift();
  return at >= begin && at < begin + sizeof(T);
}

// The library may wake only one waiter with its signal (the stand-in does);
// the receive thread and a caller waiting for its answer both wait on it,
// and neither may miss the signal the other caught.
TEST(D2xxEvent, OneLibrarySignalReachesBothWaiters) {
  constexpr std::uint32_t kBoundMs = 20000;  // only a missed signal reaches it
  for (int first = 0; first < 2; ++first) {
    SCOPED_TRACE(first == 0 ? "receive thread waits first" : "caller waits first");
    TD2xxEvent event;
    std::atomic<int> threadTid{0}, callerTid{0};
    std::atomic<bool> threadDone{false}, callerDone{false};
    TD2xxEvent::TWake threadWake = TD2xxEvent::TWake::TimeOut;
    bool callerWoken = false;
    const std::uint64_t seen = event.Signals();
    auto receive = [&] {
      threadTid = CurrentThreadId();
      threadWake = event.Wait(kBoundMs);
      threadDone = true;
    };
    auto caller = [&] {
      callerTid = CurrentThreadId();
      callerWoken = event.WaitSignal(seen, kBoundMs);
      callerDone = true;
    };
    std::thread a(first == 0 ? std::function<void()>(receive) : std::function<void()>(caller));
    std::thread b(first == 0 ? std::function<void()>(caller) : std::function<void()>(receive));
    // Both asleep in the wait (nothing else there blocks) before the signal.
    const pthread_cond_t& cond = event.LibraryHandle()->Cond;
    // Not an assertion that returns: the threads must be joined either way.
    EXPECT_TRUE(Eventually([&] {
      return threadTid != 0 && callerTid != 0 && WaitsOn(threadTid, cond) &&
             WaitsOn(callerTid, cond);
    }));
    {
      TD2xxEventHandle& handle = *event.LibraryHandle();
      TPthreadLock lock(handle.Mutex);
      pthread_cond_signal(&handle.Cond);  // as the library does: one waiter
    }
    a.join();
    b.join();
    EXPECT_EQ(threadWake, TD2xxEvent::TWake::Signal);
    EXPECT_TRUE(callerWoken);
    EXPECT_NE(event.Signals(), seen);
  }
}

// A release wakes the receive thread only when it found the lock taken, and
// is never lost, however soon after the failed try it comes.
TEST(D2xxEvent, ReleaseWakesOnlyAThreadThatWantedTheLock) {
  TD2xxEvent event;
  event.LockReleased();  // nobody wanted it
  EXPECT_EQ(event.Wait(0), TD2xxEvent::TWake::TimeOut);
  event.WantLock();
  event.LockReleased();  // before the wait began
  EXPECT_EQ(event.Wait(20000), TD2xxEvent::TWake::Released);
  event.WantLock();
  event.LockTaken();
  event.LockReleased();  // taken after all: its own release
  EXPECT_EQ(event.Wait(0), TD2xxEvent::TWake::TimeOut);
  event.RequestStop();
  EXPECT_EQ(event.Wait(20000), TD2xxEvent::TWake::Stop);
  EXPECT_TRUE(event.WaitSignal(event.Signals(), 20000));
}

// ---------------------------------------------------------------- the transport

// Counts, per thread, what the waits cost: looks at the queue by the thread
// that holds the lock, and tries of the lock by every other thread (the
// receive thread).
class TCountingDevice : public TFTDIDevice {
 public:
  using TFTDIDevice::TFTDIDevice;

  bool TryLock() override {
    if (std::this_thread::get_id() != Holder.load()) ++OtherTries;
    return TFTDIDevice::TryLock();
  }
  std::int32_t GetReceivedCount() override {
    if (std::this_thread::get_id() == Holder.load()) ++HolderLooks;
    return TFTDIDevice::GetReceivedCount();
  }

  std::atomic<std::thread::id> Holder{};
  std::atomic<unsigned> OtherTries{0};
  std::atomic<unsigned> HolderLooks{0};
};

class FTDIDeviceWait : public FakeAdapterTest {
 protected:
  // Also finds the library's signal count: the library is loaded by the open.
  TIntf<TCountingDevice> OpenCounting() {
    auto t = Make<TCountingDevice>("provider=FTD_USB;serial_number=SIM1");
    EXPECT_TRUE(t->Open()) << t->GetLastError();
    FPeer = FListener.Accept(10000);
    EXPECT_TRUE(FPeer.Valid());
    FSignals = FakeEntry<unsigned (*)()>("FakeD2xxSignals");
    EXPECT_NE(FSignals, nullptr);
    return t;
  }

  unsigned (*FSignals)() = nullptr;
};

// A transaction holds the lock while it waits for its answer and then for
// more; neither it nor the receive thread may poll meanwhile. Allowed: the
// holder one wake-up per library signal and per time-out, plus a few; the
// receive thread, once it found the lock taken, sleeps through the signals
// until the release (a try at the first signal or a wake request, and one
// more per bound of that wait).
TEST_F(FTDIDeviceWait, AHeldWaitNeitherPollsNorLetsTheReceiveThreadPoll) {
  constexpr std::int32_t kQuietMs = 300;  // a wait for an answer that never comes
  for (bool answered : {false, true}) {
    SCOPED_TRACE(answered ? "answer, then silence" : "silence");
    TArrivals arrivals;
    auto t = OpenCounting();
    ASSERT_NE(FSignals, nullptr);
    arrivals.Attach(*t);
    const unsigned signalsBefore = FSignals();
    const std::uint32_t start = GetTickCount32();
    {
      TTransportLock hold(*t);
      t->Holder = std::this_thread::get_id();
      t->OtherTries = 0;
      t->HolderLooks = 0;
      if (answered) {
        ASSERT_TRUE(FPeer.SendAll(BytesOf("answer")));
        TBytes answer;
        while (answer.size() < 6 && t->WaitReceived(10000)) {
          TBytes part;
          t->Read(part);
          answer.insert(answer.end(), part.begin(), part.end());
        }
        EXPECT_EQ(TextOf(answer), "answer");
      }
      EXPECT_FALSE(t->WaitReceived(kQuietMs));
      t->Holder = std::thread::id();
    }
    const std::uint32_t held = GetTickCount32() - start;
    const unsigned periods = held / TFTDIDevicecore::kIdleWaitMs + 1;
    const unsigned signals = FSignals() - signalsBefore;
    EXPECT_LE(t->HolderLooks.load(), 2 * signals + periods + 3);
    EXPECT_LE(t->OtherTries.load(), held / TD2xxEvent::kLockWaitMs + 2);
    EXPECT_TRUE(t->Close(false));
  }
}

// Bytes that came while another thread held the lock, and that it left, are
// announced once it lets go; and a close made while the receive thread waits
// for the lock (an input/output error met inside a transaction closes there)
// ends that thread without the lock.
TEST_F(FTDIDeviceWait, ReleaseAndCloseWakeTheThreadWaitingForTheLock) {
  for (bool closeInside : {false, true}) {
    SCOPED_TRACE(closeInside ? "closed while held" : "released");
    const TThreadIds before = ThreadIds();
    TArrivals arrivals;
    auto t = OpenCounting();
    ASSERT_NE(FSignals, nullptr);
    const TThreadIds started = StartedSince(before);
    arrivals.Attach(*t);
    {
      TTransportLock hold(*t);
      t->Holder = std::this_thread::get_id();
      const unsigned signalsBefore = FSignals();
      t->OtherTries = 0;
      ASSERT_TRUE(FPeer.SendAll(BytesOf("late")));
      // The receive thread was woken by the signal and found the lock taken.
      ASSERT_TRUE(Eventually([&] { return FSignals() != signalsBefore && t->OtherTries > 0; }));
      if (closeInside) {
        EXPECT_TRUE(t->Close(false));  // joins the receive thread: it must not need the lock
        EXPECT_TRUE(ThreadsEnd(started));
      }
      t->Holder = std::thread::id();
    }
    if (!closeInside) {
      EXPECT_TRUE(arrivals.WaitBytes(4));
      {
        std::lock_guard<std::mutex> guard(arrivals.Lock);
        EXPECT_EQ(TextOf(arrivals.Bytes), "late");
      }
      // The receive thread may hold the last reference for a moment and close
      // the adapter itself: the next round opens it only once that is done.
      t.reset();
      EXPECT_TRUE(ThreadsEnd(started));
    }
  }
}

// ---------------------------------------------------------------- priority

// The scheduling class of one of this process's threads.
int ThreadPolicy(const std::string& tid) {
  return sched_getscheduler(static_cast<pid_t>(std::stoi(tid)));
}

// The receive thread asks for a high priority: a nice value in the normal
// class, never a real-time class, also in a run as root (who may take one).
TEST_F(FTDIDeviceWait, TheReceiveThreadStaysInTheNormalClass) {
  const TThreadIds before = ThreadIds();
  auto t = OpenCounting();
  const TThreadIds started = StartedSince(before);
  ASSERT_EQ(started.size(), 2u);  // the receive thread and the library's
  const int processNice = ThreadNice(static_cast<int>(getpid()));
  // The receive thread sets its own priority as it starts.
  ASSERT_TRUE(Eventually([&] {
    for (const std::string& tid : started)
      if (ThreadNice(std::stoi(tid)) != processNice) return true;
    return geteuid() != 0;  // an ordinary user cannot raise it: it stays
  }));
  const int highest = std::max(processNice + ThreadPriorityNice(tpHighest), -20);
  int raised = 0;
  for (const std::string& tid : started) {
    EXPECT_EQ(ThreadPolicy(tid), SCHED_OTHER) << tid;
    if (ThreadNice(std::stoi(tid)) == highest) ++raised;
  }
  EXPECT_EQ(raised, geteuid() == 0 ? 1 : 0);
  EXPECT_TRUE(t->Close(false));
}

}  // namespace
