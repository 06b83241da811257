#include "transport/serial/AfComPortThreads.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "framework/uAlert.h"
#include "framework/uThreadNice.h"
#include "framework/uTick.h"

namespace {

// The writer's wait while its ring is empty; it is woken for new data.
constexpr std::uint32_t kWriterIdleMs = 1000;
// The writer's wait for a line that takes no more bytes (flow control).
constexpr std::uint32_t kWriterStallMs = 200;

// The core whose port the calling thread serves, if any.
thread_local const TAfComPortCore* tPortCore = nullptr;

std::atomic<TAfComPortWriteThread::TBlockTakenHook> gBlockTakenHook{nullptr};

std::string WhatOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

int ThreadPriorityNice(TThreadPriority priority) {
  switch (priority) {
    case tpIdle:
      return 19;
    case tpLowest:
      return 10;
    case tpLower:
      return 5;
    case tpNormal:
      return 0;
    case tpHigher:
      return -5;
    case tpHighest:
      return -10;
    case tpTimeCritical:
      return -15;
  }
  return 0;
}

void ApplyThreadPriority(int threadId, TThreadPriority priority) {
  // A value the user may not take is refused; the thread keeps its own.
  SetThreadNice(threadId, ThreadPriorityNice(priority));
}

// --- TAfComPortCoreThread ---

TAfComPortCoreThread::TAfComPortCoreThread(TAfComPortCore& core, int handle, TAfWakeFd& wake)
    : FCore(core), FHandle(handle), FWake(wake) {}

TAfComPortCoreThread::~TAfComPortCoreThread() {
  // Subclasses stop their thread first; this is the last resort.
  FTerminated = true;
  std::lock_guard<std::mutex> guard(FThreadLock);
  if (FThread.joinable()) {
    if (IsThisThread())
      FThread.detach();
    else
      FThread.join();
  }
}

bool TAfComPortCoreThread::Start() {
  std::lock_guard<std::mutex> guard(FThreadLock);
  if (FThread.joinable() || FTerminated.load()) return true;
  try {
    FThread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;  // no thread could be created
  }
  return true;
}

bool OnPortThread(const TAfComPortCore& core) {
  return tPortCore == &core;
}

void TAfComPortCoreThread::Run() {
  tPortCore = &FCore;
  {
    std::lock_guard<std::mutex> guard(FPriorityLock);
    FThreadId = KernelThreadId();
    if (FHasPriority) ApplyThreadPriority(FThreadId.load(), FPriority);
  }
  try {
    Execute();
  } catch (...) {
    try {
      HandleException(std::current_exception());
    } catch (...) {
      // Nothing may leave a thread body; the failure was already passed on.
    }
  }
  std::lock_guard<std::mutex> guard(FPriorityLock);
  FThreadId = 0;  // the kernel may give the id to another thread now
}

void TAfComPortCoreThread::StopThread() {
  FTerminated = true;
  FWake.Signal();
  std::thread running;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    if (IsThisThread()) return;
    running = std::move(FThread);
  }
  if (running.joinable()) running.join();
}

void TAfComPortCoreThread::SetPriority(TThreadPriority priority) {
  // Applied under the lock, so that the body's start cannot apply an older one after it.
  std::lock_guard<std::mutex> guard(FPriorityLock);
  FPriority = priority;
  FHasPriority = true;
  if (const int id = FThreadId.load(); id != 0) ApplyThreadPriority(id, priority);
}

bool TAfComPortCoreThread::IsThisThread() const {
  const int id = FThreadId.load();
  return id != 0 && id == KernelThreadId();
}

void TAfComPortCoreThread::HandleException(std::exception_ptr error) {
  Alert("serial port thread failed: " + WhatOf(error));
}

// --- TAfComPortEventThread ---

TAfComPortEventThread::TAfComPortEventThread(TAfComPortCore& core, int handle, TAfWakeFd& wake,
                                             TAfCoreEventHandler handler)
    : TAfComPortCoreThread(core, handle, wake), FHandler(std::move(handler)) {
  // A pseudo-terminal has neither (ENOTTY): it then reports no line changes.
  FHaveCounters = TtyReadCounters(FHandle, FCounters);
  if (!FHaveCounters) FHaveModemLines = TtyModemLines(FHandle, FModemLines);
}

TAfComPortEventThread::~TAfComPortEventThread() {
  StopThread();
}

void TAfComPortEventThread::StopThread() {
  {
    std::lock_guard<std::mutex> guard(FHandlerLock);
    FHandler = nullptr;
  }
  TAfComPortCoreThread::StopThread();
}

void TAfComPortEventThread::Report(TAfCoreEvent kind, std::uint32_t value) {
  TAfCoreEventHandler handler;
  {
    std::lock_guard<std::mutex> guard(FHandlerLock);
    handler = FHandler;
  }
  if (!handler) return;
  try {
    handler(FCore, kind, value, nullptr);
  } catch (...) {
    HandleException(std::current_exception());
  }
}

void TAfComPortEventThread::HandleException(std::exception_ptr error) {
  TAfCoreEventHandler handler;
  {
    std::lock_guard<std::mutex> guard(FHandlerLock);
    handler = FHandler;
  }
  if (!handler) return TAfComPortCoreThread::HandleException(error);
  try {
    handler(FCore, ceException, 0, error);
  } catch (...) {
    // A handler that fails on the report of its own failure: nothing is left to tell.
  }
}

std::uint32_t TAfComPortEventThread::LineChanges() {
  std::uint32_t mask = 0;
  if (FHaveCounters) {
    TTtyCounters now;
    if (!TtyReadCounters(FHandle, now)) return 0;
    if (now.Cts != FCounters.Cts) mask |= kEvCts;
    if (now.Dsr != FCounters.Dsr) mask |= kEvDsr;
    if (now.Dcd != FCounters.Dcd) mask |= kEvRlsd;
    if (now.Ring != FCounters.Ring) mask |= kEvRing;
    if (now.Break != FCounters.Break) mask |= kEvBreak;
    if (now.Frame != FCounters.Frame || now.Parity != FCounters.Parity ||
        now.Overrun != FCounters.Overrun || now.BufferOverrun != FCounters.BufferOverrun)
      mask |= kEvErr;
    FCounters = now;
  } else if (FHaveModemLines) {
    std::uint32_t lines = 0;
    if (!TtyModemLines(FHandle, lines)) return 0;
    const std::uint32_t changed = lines ^ FModemLines;
    if ((changed & kModemCts) != 0) mask |= kEvCts;
    if ((changed & kModemDsr) != 0) mask |= kEvDsr;
    if ((changed & kModemRlsd) != 0) mask |= kEvRlsd;
    if ((changed & lines & kModemRing) != 0) mask |= kEvRing;
    FModemLines = lines;
  }
  return mask;
}

void TAfComPortEventThread::Execute() {
  TtyNameThread("AfComPortEvent");
  const std::uint32_t sampleMs = FHaveCounters || FHaveModemLines ? kModemSampleMs : kMaxWaitMs;

  std::int32_t seen = 0;  // input queue count at the last look
  bool quiet = false;     // input was signalled but none counted: do not watch it this round
  bool lostReported = false;
  std::uint32_t lastReport = GetTickCount32();
  while (!Terminated()) {
    const bool lost = FCore.Lost();
    if (lost && !lostReported) {
      lostReported = true;
      Report(ceLineLost, 0);
      continue;
    }
    // poll is level-triggered: bytes already reported and still unread would
    // end every wait at once, so until the queue shrinks the tty is watched
    // only for its end (which poll reports whatever is asked).
    const bool watchInput = seen == 0 && !quiet;
    std::uint32_t waitMs = sampleMs;
    if (seen > 0) waitMs = std::min(waitMs, TicksLeft(GetTickCount32(), lastReport + kMaxWaitMs));
    const TTtyReady ready = TtyWait(lost ? -1 : FHandle, watchInput, false, FWake.Fd(), waitMs);
    FWake.Drain();
    if (Terminated()) break;
    if (lost) continue;
    if (ready.Gone) {
      FCore.MarkLost();
      continue;
    }

    std::uint32_t mask = 0;
    bool gone = false;
    const int count = TtyInQueueChecked(FHandle, gone);
    if (gone) {
      FCore.MarkLost();
      continue;
    }
    if (count >= 0) {
      if (count > seen) mask |= kEvRxChar;
      quiet = ready.Input && count == 0;
      seen = count;
    }
    FCore.SampleLineErrors();
    mask = (mask | LineChanges()) & FCore.EventMask();

    const std::uint32_t now = GetTickCount32();
    if (FCore.TakeOutFree()) {
      Report(ceOutFree, 0);
      lastReport = now;
    }
    if (mask != 0) {
      Report(ceLineEvent, mask);
      lastReport = now;
    } else if (seen > 0 && !TickAfter(lastReport + kMaxWaitMs, now)) {
      Report(ceNeedReadData, static_cast<std::uint32_t>(seen));
      lastReport = now;
    }
  }
}

// --- TAfComPortWriteThread ---

TAfComPortWriteThread::TAfComPortWriteThread(TAfComPortCore& core, int handle, TAfWakeFd& wake,
                                             std::int32_t ringSize, std::recursive_mutex& ringLock)
    : TAfComPortCoreThread(core, handle, wake), FRingLock(ringLock), FRing(ringSize) {}

TAfComPortWriteThread::~TAfComPortWriteThread() {
  StopThread();
}

bool TAfComPortWriteThread::Enqueue(const std::uint8_t* data, std::int32_t n) {
  if (n < 1 || FRing.FreeSpace() < n) return false;  // all or nothing
  std::int32_t sent = 0;
  // An empty ring with no block on its way means nothing is before these
  // bytes: the caller hands them over itself (a non-blocking write), which
  // saves a thread switch on every request; what the tty does not take waits
  // in the ring.
  if (FRing.Used() == 0 && !FInFlight && !FCore.Lost()) {
    TTtyWriteOutcome outcome = TTtyWriteOutcome::Written;
    sent = static_cast<std::int32_t>(TtyWrite(FHandle, data, static_cast<std::size_t>(n), outcome));
    if (outcome == TTtyWriteOutcome::Gone) FCore.MarkLost();
  }
  if (sent == n) {
    FCore.SignalOutFree();
    return true;
  }
  // The first bytes left for the writer start it (and make the ring).
  if (!Start()) return false;
  try {
    FRing.Write(data + sent, n - sent);
  } catch (const std::bad_alloc&) {
    return false;
  }
  FWake.Signal();
  return true;
}

void TAfComPortWriteThread::Purge() {
  FRing.Clear();
  ++FGeneration;
}

void TAfComPortWriteThread::SetBlockTakenHook(TBlockTakenHook hook) {
  gBlockTakenHook = hook;
}

void TAfComPortWriteThread::TakeChunk(std::vector<std::uint8_t>& chunk, std::uint64_t& generation) {
  std::lock_guard<std::recursive_mutex> guard(FRingLock);
  generation = FGeneration;
  const std::int32_t n = std::min(FRing.LinearCount(), kWriteChunk);
  chunk.assign(FRing.ReadPointer(), FRing.ReadPointer() + n);
  FInFlight = n > 0;
}

void TAfComPortWriteThread::Sent(std::int32_t n, std::uint64_t generation) {
  bool empty = false;
  {
    std::lock_guard<std::recursive_mutex> guard(FRingLock);
    FInFlight = false;
    // After a purge the ring no longer holds what was sent.
    if (generation != FGeneration || n <= 0) return;
    FRing.Remove(n);
    empty = FRing.Used() == 0;
  }
  if (empty) FCore.SignalOutFree();
}

void TAfComPortWriteThread::Execute() {
  TtyNameThread("AfComPortWrite");
  std::vector<std::uint8_t> chunk;
  chunk.reserve(kWriteChunk);
  while (!Terminated()) {
    std::uint64_t generation = 0;
    chunk.clear();
    if (!FCore.Lost()) TakeChunk(chunk, generation);
    if (chunk.empty()) {
      TtyWait(-1, false, false, FWake.Fd(), kWriterIdleMs);
      FWake.Drain();
      continue;
    }
    if (const TBlockTakenHook hook = gBlockTakenHook.load()) hook();
    TTtyWriteOutcome outcome = TTtyWriteOutcome::Written;
    const long n = TtyWrite(FHandle, chunk.data(), chunk.size(), outcome);
    // Written or not, the block is no longer on its way: what was not
    // written is still at the front of the ring (unless purged meanwhile).
    Sent(static_cast<std::int32_t>(n), generation);
    if (outcome == TTtyWriteOutcome::Written || outcome == TTtyWriteOutcome::Interrupted) continue;
    if (outcome == TTtyWriteOutcome::Full) {
      // The line takes no more for now (flow control, a slow reader): wait
      // until it does, or for a stop, without blocking any caller.
      TtyWait(FHandle, false, true, FWake.Fd(), kWriterStallMs);
      FWake.Drain();
      continue;
    }
    FCore.MarkLost();  // EIO: the device has gone
  }
}
