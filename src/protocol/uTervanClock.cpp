#include "protocol/uTervanClock.h"

#include <algorithm>
#include <cmath>

#include "protocol/uTervanCore.h"

std::uint32_t WireTimeMs(std::size_t count, double byteTime) {
  const double ms = std::ceil(static_cast<double>(count) * byteTime);
  if (!(ms > 0.0)) return 0;  // also a character time that is not a number
  constexpr double kDayMs = 24.0 * 3600.0 * 1000.0;
  return static_cast<std::uint32_t>(std::min(ms, kDayMs));
}

std::uint32_t AnswerOverrunMs(std::uint8_t inst, double byteTime) {
  if (!(byteTime > 0.0)) return kNoWireTimeAnswerMs;
  return WireTimeMs(tervan::MaxAnswerData(inst) + tervan::kMinPacketSize, byteTime);
}
