// An in-memory transport on a clock of its own: bytes are scheduled to
// arrive at given ticks, and WaitReceived moves the clock on instead of
// sleeping, so that exchanges and their time-outs take no real time. Give
// the stack and the device Clock() as their tick source.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "framework/uBytes.h"
#include "protocol/uTervanClock.h"
#include "support/uMemoryTransport.h"

class TScriptedTransport : public TMemoryTransport {
 public:
  explicit TScriptedTransport(std::uint32_t start = 1000);

  bool WaitReceived(std::int32_t timeout) override;

  // --- the test side ---
  std::uint32_t Now();
  // Reads this transport's clock; valid while the transport lives.
  TTickFunction Clock();
  void Advance(std::uint32_t ms);
  // `bytes` arrive `delayMs` after now (in order with others due then).
  void Schedule(std::uint32_t delayMs, const TBytes& bytes);
  // Character time of the line in ms (0: not known, as on TCP).
  void SetByteTime(double ms) { FByteTime.store(ms); }

 private:
  std::mutex FClockLock;  // guards the two below
  std::uint32_t FNow;
  std::multimap<std::uint32_t, TBytes> FPlan;  // by arrival tick
};
