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

std::size_t MaxAnswerData(std::uint8_t inst) {
  switch (inst) {
    case 0xE0:  // writes: the acknowledge code alone
    case 0xE1:
    case 0xE2:
    case 0xE3:
    case 0xE4:
    case 0xEB:
    case 0xEE:
      return 0;
    case 0xF1:  // one-byte setting
    case 0xFE:  // flag
      return 1;
    case 0xFA:  // three values
      return 8;
    case 0xF0:  // communication settings: address, rate code and what follows
      return 16;
    default:  // 0xF2, 0xF3 (texts) and the instructions of each module kind
      return kMaxAnswerDataOther;
  }
}

std::uint32_t AnswerOverrunMs(std::uint8_t inst, double byteTime) {
  if (!(byteTime > 0.0)) return kNoWireTimeAnswerMs;
  return WireTimeMs(MaxAnswerData(inst) + tervan::kMinPacketSize, byteTime);
}
