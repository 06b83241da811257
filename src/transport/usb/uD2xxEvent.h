// The event a receive thread waits on: the structure the D2XX library
// signals, plus the thread's own stop and wake requests, all on its one
// condition variable. A caller waiting for its answer waits on it too.
#pragma once

#include <cstdint>
#include <memory>

#include "transport/usb/uci_FTDIdirect.h"

class TD2xxEvent {
 public:
  enum class TWake { Stop, Signal, Released, TimeOut };
  // The longest wait of the receive thread for the lock's release.
  static constexpr std::uint32_t kLockWaitMs = 1000;

  // The condition variable runs on the monotonic clock, so a change of the
  // wall clock neither stretches nor cuts a wait.
  TD2xxEvent();
  ~TD2xxEvent();
  TD2xxEvent(const TD2xxEvent&) = delete;
  TD2xxEvent& operator=(const TD2xxEvent&) = delete;

  // What the library is given to signal.
  TD2xxEventHandle* LibraryHandle() { return &FHandle; }

  // These wake a waiter at once and are never lost: each is a flag set under
  // the mutex before the broadcast, and the waiter looks at the flags first.
  void RequestStop();
  void Wake();
  bool StopRequested();

  // The receive thread found the transport's lock taken: the next
  // LockReleased wakes it (Released), however soon it comes.
  void WantLock();
  void LockTaken();
  void LockReleased();

  // The receive thread's wait, at most `timeoutMs`. A library signal, a
  // spurious wake-up and Wake give Signal; the wake request is consumed.
  // While the thread wants the lock, the holder takes what arrives: library
  // signals then leave the thread asleep, on a condition of its own, until
  // the lock is let go (Released), Wake, the stop or the time-out.
  TWake Wait(std::uint32_t timeoutMs);

  // A caller's wait for the library: returns true at once when a signal was
  // seen since `seen` (a value of Signals() taken before the caller looked at
  // the queue) or a stop was requested; otherwise waits at most `timeoutMs`
  // for either. Leaves the receive thread's requests alone.
  std::uint64_t Signals();
  bool WaitSignal(std::uint64_t seen, std::uint32_t timeoutMs);

 private:
  // Under the mutex, after a timed wait that began when FBroadcasts was
  // `before`: a wake-up none of ours explains came from the library. The
  // library may wake only one waiter, so it is counted and passed on to the
  // others.
  void Woken(int rc, std::uint64_t before);
  // Wakes every waiter on the library's condition, and with `lockWaiter` the
  // receive thread waiting for the lock too.
  void Broadcast(bool lockWaiter = true);

  TD2xxEventHandle FHandle;
  pthread_cond_t FReleasedCond;  // the receive thread's while it wants the lock
  bool FStop = false;  // guarded by FHandle.Mutex, like all below
  bool FWake = false;
  bool FLockWanted = false;
  bool FReleased = false;
  std::uint64_t FSignals = 0;     // library signals seen by any waiter
  std::uint64_t FBroadcasts = 0;  // our own broadcasts
};

// Keeps an event the library may still signal (its adapter was never closed
// successfully) for the rest of the process instead of freeing it.
void AbandonD2xxEvent(std::unique_ptr<TD2xxEvent> event);
