#include "transport/serial/AfCircularBuffer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

TAfCircularBuffer::TAfCircularBuffer(std::int32_t size) : FSize(size) {
  if (size < 1) throw std::invalid_argument("ring size must be at least 1");
  Clear();
}

void TAfCircularBuffer::Clear() {
  FReadIndex = 0;
  FWriteIndex = 0;
  FFull = false;
}

std::int32_t TAfCircularBuffer::Used() const {
  if (FFull) return FSize;
  const std::int32_t d = FWriteIndex - FReadIndex;
  return d >= 0 ? d : d + FSize;
}

std::int32_t TAfCircularBuffer::LinearCount() const {
  if (!FFull && FWriteIndex >= FReadIndex) return FWriteIndex - FReadIndex;
  return FSize - FReadIndex;
}

bool TAfCircularBuffer::Remove(std::int32_t n) {
  if (n < 0 || Used() < n) return false;
  FReadIndex += n;
  if (FReadIndex >= FSize) FReadIndex -= FSize;
  if (n > 0) FFull = false;
  return true;
}

bool TAfCircularBuffer::Write(const std::uint8_t* data, std::int32_t n) {
  if (n < 1 || FreeSpace() < n) return false;
  // Made with the first bytes, not zeroed: a ring that is never used (a
  // line that takes every write at once) costs nothing, a large one only
  // the pages that bytes pass through.
  if (!FBuffer)
    FBuffer = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(FSize));
  const std::int32_t first = std::min(n, FSize - FWriteIndex);
  std::memcpy(FBuffer.get() + FWriteIndex, data, static_cast<std::size_t>(first));
  std::memcpy(FBuffer.get(), data + first, static_cast<std::size_t>(n - first));
  FWriteIndex += n;
  if (FWriteIndex >= FSize) FWriteIndex -= FSize;
  FFull = FReadIndex == FWriteIndex;
  return true;
}
