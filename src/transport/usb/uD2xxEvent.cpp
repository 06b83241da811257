#include "transport/usb/uD2xxEvent.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

#include "transport/usb/uPthreadLock.h"

namespace {

timespec MonotonicAfter(std::uint32_t ms) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += static_cast<time_t>(ms / 1000);
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

std::mutex gAbandonedLock;
// Reachable to the end of the process: the library may signal these at any time.
std::vector<std::unique_ptr<TD2xxEvent>>* gAbandoned = nullptr;

}  // namespace

TD2xxEvent::TD2xxEvent() : FHandle{} {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&FHandle.Cond, &attributes);
  pthread_cond_init(&FReleasedCond, &attributes);
  pthread_condattr_destroy(&attributes);
  pthread_mutex_init(&FHandle.Mutex, nullptr);
  FHandle.Flags = 0;
}

TD2xxEvent::~TD2xxEvent() {
  pthread_cond_destroy(&FHandle.Cond);
  pthread_cond_destroy(&FReleasedCond);
  pthread_mutex_destroy(&FHandle.Mutex);
}

void TD2xxEvent::Broadcast(bool lockWaiter) {
  ++FBroadcasts;
  pthread_cond_broadcast(&FHandle.Cond);
  if (lockWaiter) pthread_cond_broadcast(&FReleasedCond);
}

void TD2xxEvent::Woken(int rc, std::uint64_t before) {
  if (rc != 0 || FBroadcasts != before) return;
  ++FSignals;
  Broadcast(false);
}

void TD2xxEvent::RequestStop() {
  TPthreadLock lock(FHandle.Mutex);
  FStop = true;
  Broadcast();
}

void TD2xxEvent::Wake() {
  TPthreadLock lock(FHandle.Mutex);
  FWake = true;
  Broadcast();
}

bool TD2xxEvent::StopRequested() {
  TPthreadLock lock(FHandle.Mutex);
  return FStop;
}

void TD2xxEvent::WantLock() {
  TPthreadLock lock(FHandle.Mutex);
  FLockWanted = true;
}

void TD2xxEvent::LockTaken() {
  TPthreadLock lock(FHandle.Mutex);
  FLockWanted = false;
  FReleased = false;
}

void TD2xxEvent::LockReleased() {
  TPthreadLock lock(FHandle.Mutex);
  if (!FLockWanted) return;
  FLockWanted = false;
  FReleased = true;
  Broadcast();
}

TD2xxEvent::TWake TD2xxEvent::Wait(std::uint32_t timeoutMs) {
  TPthreadLock lock(FHandle.Mutex);
  // The release is never missed (a flag under the mutex): the longer bound
  // only guards against a holder that never lets go.
  const timespec deadline = MonotonicAfter(FLockWanted ? std::max(timeoutMs, kLockWaitMs) : timeoutMs);
  const std::uint64_t signals = FSignals;
  int rc = 0;
  if (FLockWanted && !FStop && !FWake && !FReleased) {
    rc = pthread_cond_timedwait(&FReleasedCond, &FHandle.Mutex, &deadline);
  } else if (!FStop && !FWake && !FReleased) {
    const std::uint64_t before = FBroadcasts;
    rc = pthread_cond_timedwait(&FHandle.Cond, &FHandle.Mutex, &deadline);
    Woken(rc, before);
  }
  if (FStop) return TWake::Stop;
  if (std::exchange(FWake, false) || FSignals != signals) return TWake::Signal;
  if (std::exchange(FReleased, false)) return TWake::Released;
  return rc == ETIMEDOUT ? TWake::TimeOut : TWake::Signal;
}

std::uint64_t TD2xxEvent::Signals() {
  TPthreadLock lock(FHandle.Mutex);
  return FSignals;
}

bool TD2xxEvent::WaitSignal(std::uint64_t seen, std::uint32_t timeoutMs) {
  const timespec deadline = MonotonicAfter(timeoutMs);
  TPthreadLock lock(FHandle.Mutex);
  if (FStop || FSignals != seen) return true;
  const std::uint64_t before = FBroadcasts;
  Woken(pthread_cond_timedwait(&FHandle.Cond, &FHandle.Mutex, &deadline), before);
  return FStop || FSignals != seen;
}

void AbandonD2xxEvent(std::unique_ptr<TD2xxEvent> event) {
  if (!event) return;
  std::lock_guard<std::mutex> guard(gAbandonedLock);
  if (gAbandoned == nullptr) gAbandoned = new std::vector<std::unique_ptr<TD2xxEvent>>;
  gAbandoned->push_back(std::move(event));
}
