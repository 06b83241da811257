// Values with a fixed meaning everywhere in the Tervan protocol, and the
// layout of a packet of format 97:
//   "*" "a" LENGTH(2, high byte first) ADR SIG INST DATA(n) SUM CR
// where LENGTH counts the bytes behind it (n + 5) and SUM covers every byte
// before it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/uBytes.h"
#include "protocol/uTervanInstructions.h"

namespace tervan {
constexpr std::uint8_t kAdrBroadcast = 0xFF;  // never carried by a received packet
constexpr std::uint8_t kAdrUniversal = 0xFE;  // every device, any answer
constexpr std::uint8_t kPrefix = 0x2A;        // '*'
constexpr std::uint8_t kFormat97 = 0x61;      // 'a'
constexpr std::uint8_t kTerminator = 0x0D;

constexpr std::size_t kLengthOffset = 2;
constexpr std::size_t kHeaderSize = 4;  // prefix, format, two length bytes
constexpr std::size_t kAdrOffset = 4;
constexpr std::size_t kSigOffset = 5;
constexpr std::size_t kInstOffset = 6;
constexpr std::size_t kDataOffset = 7;
constexpr std::size_t kLengthOverhead = 5;  // ADR, SIG, INST, SUM, CR
constexpr std::size_t kMinPacketSize = kHeaderSize + kLengthOverhead;
// The checksum spans everything before SUM and may span at most 65,535
// bytes, so the data of a packet that can pass a receiver's check is 7 bytes
// short of that. The length field alone would allow 65,530: the two largest
// sizes are refused when built and invalid when received.
constexpr std::size_t kMaxChecksumSpan = 0xFFFF;
constexpr std::size_t kMaxDataSize = kMaxChecksumSpan - kDataOffset;
constexpr std::size_t kMaxPacketSize = kDataOffset + kMaxDataSize + 2;

// The length field of a header whose first kHeaderSize bytes are at `bytes`.
inline std::size_t LengthField(const std::uint8_t* bytes) {
  return static_cast<std::size_t>(bytes[kLengthOffset]) * 256u + bytes[kLengthOffset + 1];
}
// Whole size of the packet that header claims.
inline std::size_t ClaimedPacketSize(const std::uint8_t* bytes) {
  return LengthField(bytes) + kHeaderSize;
}
}  // namespace tervan
