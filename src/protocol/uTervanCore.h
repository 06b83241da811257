// Values with a fixed meaning everywhere in the Tervan protocol.
#pragma once

#include <cstdint>

#include "framework/uBytes.h"

namespace tervan {
constexpr std::uint8_t kAdrBroadcast = 0xFF;  // never carried by a received packet
constexpr std::uint8_t kAdrUniversal = 0xFE;  // every device, any answer
constexpr std::uint8_t kPrefix = 0x2A;        // '*'
constexpr std::uint8_t kFormat97 = 0x61;      // 'a'
constexpr std::uint8_t kTerminator = 0x0D;
constexpr std::size_t kMinPacketSize = 9;
constexpr std::size_t kMaxDataSize = 0xFFFF - 5;

// Acknowledge codes 12..15 mark packets a module sends on its own.
inline bool IsNotificationCode(std::uint8_t inst) { return inst >= 12 && inst <= 15; }
}  // namespace tervan
