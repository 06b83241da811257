#include "protocol/uTervanBaud.h"

#include <array>

namespace {
constexpr std::array<std::int32_t, kTervanBaudCodeCount> kBaudRates = {
    110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
}  // namespace

std::int32_t BaudFromCode(std::int32_t code) {
  if (code < 0 || code >= kTervanBaudCodeCount) return 0;
  return kBaudRates[static_cast<std::size_t>(code)];
}

std::int32_t CodeFromBaud(std::int32_t baud) {
  for (std::size_t i = 0; i < kBaudRates.size(); ++i) {
    if (kBaudRates[i] == baud) return static_cast<std::int32_t>(i);
  }
  return -1;
}
