// The byte ring of the serial writer: callers append, the writer thread sends
// from the front. Not locked; its owner guards it.
#pragma once

#include <cstdint>
#include <memory>

class TAfCircularBuffer {
 public:
  explicit TAfCircularBuffer(std::int32_t size);  // size >= 1

  void Clear();
  std::int32_t Size() const { return FSize; }
  std::int32_t Used() const;
  std::int32_t FreeSpace() const { return FSize - Used(); }
  // Bytes readable from ReadPointer() without wrapping.
  std::int32_t LinearCount() const;
  const std::uint8_t* ReadPointer() const { return FBuffer.get() + FReadIndex; }
  // Drops `n` bytes from the front; false, with nothing changed, when fewer are used.
  bool Remove(std::int32_t n);
  // All or nothing: false when n < 1 or fewer than n bytes are free. The
  // first write allocates the ring (std::bad_alloc when that fails).
  bool Write(const std::uint8_t* data, std::int32_t n);

  std::int32_t ReadIndex() const { return FReadIndex; }
  std::int32_t WriteIndex() const { return FWriteIndex; }
  bool Full() const { return FFull; }

 private:
  std::unique_ptr<std::uint8_t[]> FBuffer;
  std::int32_t FSize;
  std::int32_t FReadIndex = 0;
  std::int32_t FWriteIndex = 0;
  bool FFull = false;  // equal indices mean empty unless this is set
};
