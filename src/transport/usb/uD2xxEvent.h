// The event a receive thread waits on: the structure the D2XX library
// signals, plus the thread's own stop and wake requests, all on its one
// condition variable.
#pragma once

#include <cstdint>
#include <memory>

#include "transport/usb/uci_FTDIdirect.h"

class TD2xxEvent {
 public:
  enum class TWake { Stop, Signal, TimeOut };

  // The condition variable runs on the monotonic clock, so a change of the
  // wall clock neither stretches nor cuts a wait.
  TD2xxEvent();
  ~TD2xxEvent();
  TD2xxEvent(const TD2xxEvent&) = delete;
  TD2xxEvent& operator=(const TD2xxEvent&) = delete;

  // What the library is given to signal.
  TD2xxEventHandle* LibraryHandle() { return &FHandle; }

  // Both wake a waiter at once and are never lost: each is a flag set under
  // the mutex before the broadcast, and the waiter looks at the flags first.
  void RequestStop();
  void Wake();
  bool StopRequested();

  // Waits at most `timeoutMs`. A library signal, a spurious wake-up and Wake
  // give Signal; the wake request is consumed.
  TWake Wait(std::uint32_t timeoutMs);

 private:
  TD2xxEventHandle FHandle;
  bool FStop = false;  // guarded by FHandle.Mutex
  bool FWake = false;  // guarded by FHandle.Mutex
};

// Keeps an event the library may still signal (its adapter was never closed
// successfully) for the rest of the process instead of freeing it.
void AbandonD2xxEvent(std::unique_ptr<TD2xxEvent> event);
