#include "protocol/uTervanClock.h"

#include <algorithm>
#include <cmath>

std::uint32_t WireTimeMs(std::size_t count, double byteTime) {
  const double ms = std::ceil(static_cast<double>(count) * byteTime);
  if (!(ms > 0.0)) return 0;  // also a character time that is not a number
  constexpr double kDayMs = 24.0 * 3600.0 * 1000.0;
  return static_cast<std::uint32_t>(std::min(ms, kDayMs));
}
