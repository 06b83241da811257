// Packet format 97: "*a", 16-bit length, ADR, SIG, INST, data, SUM, CR.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "protocol/uTervanCore.h"

// Raised by BuildPacket / PacketChecksum for oversized input and by
// ParsePacket ("Incorrect PACKET (Tervan format 97)!").
class ETervanPacketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TTervanFormat97 {
  std::uint8_t Prefix = 0;
  std::uint8_t Format = 0;
  std::uint16_t Length = 0;
  std::uint8_t ADR = 0;
  std::uint8_t SIG = 0;
  std::uint8_t INST = 0;
  TBytes Data;
  std::uint8_t SUM = 0;
  std::uint8_t CR = 0;

  bool operator==(const TTervanFormat97&) const = default;
};

// 0xFF minus the byte sum (mod 256) of `bytes`; at most 65,535 bytes.
std::uint8_t PacketChecksum(const TBytes& bytes);
// Same over bytes[first, first+count) without copying.
std::uint8_t PacketChecksum(const std::uint8_t* bytes, std::size_t count);

// Whole packet for the given fields; more than 65,528 data bytes raise (the
// checksum span of 65,529 or 65,530 would exceed 65,535 bytes).
TBytes BuildPacket(std::uint8_t adr, std::uint8_t sig, std::uint8_t inst, const TBytes& data);

// First whole packet at the very front of `buffer` (unchecked), or empty.
// With `remove` the returned bytes are cut from the front of `buffer`.
TBytes ExtractPacket(TBytes& buffer, bool remove);
// Length of the whole packet standing at bytes[0..size), or 0 when there is none yet.
std::size_t ExtractPacketLength(const std::uint8_t* bytes, std::size_t size);

// 0 = valid; 1..6 = the first test that failed. Never raises.
int CheckPacket(const TBytes& packet);
int CheckPacket(const std::uint8_t* bytes, std::size_t size);

// Record of a packet; raises ETervanPacketError on any failure.
TTervanFormat97 ParsePacket(const TBytes& packet);
TTervanFormat97 ParsePacket(const std::uint8_t* bytes, std::size_t size);
