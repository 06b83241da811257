#include "support/uScriptedTransport.h"

#include <algorithm>
#include <vector>

TScriptedTransport::TScriptedTransport(std::uint32_t start) : TMemoryTransport(true), FNow(start) {}

std::uint32_t TScriptedTransport::Now() {
  std::lock_guard<std::mutex> guard(FClockLock);
  return FNow;
}

TTickFunction TScriptedTransport::Clock() {
  return [this] { return Now(); };
}

void TScriptedTransport::Advance(std::uint32_t ms) {
  std::lock_guard<std::mutex> guard(FClockLock);
  FNow += ms;
}

void TScriptedTransport::Schedule(std::uint32_t delayMs, const TBytes& bytes) {
  std::lock_guard<std::mutex> guard(FClockLock);
  FPlan.emplace(FNow + delayMs, bytes);
}

bool TScriptedTransport::WaitReceived(std::int32_t timeout) {
  if (GetReceivedCount() > 0) return true;
  std::vector<TBytes> due;
  {
    std::lock_guard<std::mutex> guard(FClockLock);
    const std::uint32_t until = FNow + static_cast<std::uint32_t>(std::max(timeout, 0));
    if (FPlan.empty() || FPlan.begin()->first > until) {
      FNow = until;
      return false;
    }
    FNow = std::max(FNow, FPlan.begin()->first);
    while (!FPlan.empty() && FPlan.begin()->first <= FNow) {
      due.push_back(std::move(FPlan.begin()->second));
      FPlan.erase(FPlan.begin());
    }
  }
  for (const TBytes& bytes : due) Feed(bytes);
  return true;
}
