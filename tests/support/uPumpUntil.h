// Serves the calling thread's messages (the calls other threads post to it,
// the socket events of transports it created) until a condition holds.
#pragma once

#include <cstdint>

#include "framework/uMessageQueue.h"
#include "framework/uTick.h"

// Runs ProcessMessages until `done()` or `timeoutMs` passed; true when done.
// Between rounds it sleeps until a message comes, at most 10 ms, so that a
// condition another thread changes without a message is still seen soon.
template <class F>
bool PumpUntil(F done, std::uint32_t timeoutMs = 3000) {
  const std::uint32_t deadline = GetTickCount32() + timeoutMs;
  while (!done()) {
    if (TickAfter(GetTickCount32(), deadline)) return false;
    WaitForMessage(10);
    ProcessMessages();
  }
  return true;
}
