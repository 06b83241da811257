#include "simulator/uSimLineTiming.h"

#include <algorithm>

namespace {
constexpr std::uint64_t kNsPerSecond = 1000000000;
constexpr std::uint64_t kBitsPerByte = 10;  // start bit, eight data bits, stop bit
}  // namespace

std::chrono::nanoseconds TSimLineTiming::WireTime(std::size_t count) const {
  if (FWireBaud == 0) return std::chrono::nanoseconds(0);
  return std::chrono::nanoseconds(static_cast<std::uint64_t>(count) * kBitsPerByte * kNsPerSecond /
                                  FWireBaud);
}

std::size_t TSimLineTiming::BytesBy(TTime start, TTime now, std::size_t count) const {
  if (now < start) return 0;
  if (FWireBaud == 0) return count;
  const auto elapsed = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count());
  // In two steps, so that hours of elapsed time cannot overflow the product.
  const std::uint64_t bits =
      elapsed / kNsPerSecond * FWireBaud + elapsed % kNsPerSecond * FWireBaud / kNsPerSecond;
  const std::uint64_t bytes = bits / kBitsPerByte;
  return static_cast<std::size_t>(std::min<std::uint64_t>(bytes, count));
}

TSimLineTiming::TTime TSimLineTiming::Heard(TTime now, std::size_t count) {
  FInboundEnd = std::max(FInboundEnd, now) + WireTime(count);
  return FInboundEnd;
}

TSimLineTiming::TTime TSimLineTiming::Leaves(TTime ready, std::size_t count,
                                             std::uint32_t pauseMs) {
  const TTime start = std::max(ready, FOutboundEnd + std::chrono::milliseconds(pauseMs));
  FOutboundEnd = start + WireTime(count);
  return FOutboundEnd;
}

void TSimLineTiming::Reset() {
  FInboundEnd = TTime{};
  FOutboundEnd = TTime{};
}
