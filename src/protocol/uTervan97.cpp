#include "protocol/uTervan97.h"

namespace {

using tervan::kDataOffset;
using tervan::kHeaderSize;
using tervan::kLengthOverhead;
using tervan::kMaxChecksumSpan;
using tervan::LengthField;

const char kIncorrectPacket[] = "Incorrect PACKET (Tervan format 97)!";

}  // namespace

std::uint8_t PacketChecksum(const std::uint8_t* bytes, std::size_t count) {
  if (count > kMaxChecksumSpan) {
    throw ETervanPacketError("Checksum span exceeds 65535 bytes");
  }
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
  return static_cast<std::uint8_t>(0xFFu - (sum & 0xFFu));
}

std::uint8_t PacketChecksum(const TBytes& bytes) {
  return PacketChecksum(bytes.data(), bytes.size());
}

TBytes BuildPacket(std::uint8_t adr, std::uint8_t sig, std::uint8_t inst, const TBytes& data) {
  if (data.size() > tervan::kMaxDataSize) {
    throw ETervanPacketError("Packet data too long");
  }
  const std::size_t length = data.size() + kLengthOverhead;
  TBytes packet;
  packet.reserve(length + kHeaderSize);
  packet.push_back(tervan::kPrefix);
  packet.push_back(tervan::kFormat97);
  packet.push_back(static_cast<std::uint8_t>(length >> 8));
  packet.push_back(static_cast<std::uint8_t>(length & 0xFF));
  packet.push_back(adr);
  packet.push_back(sig);
  packet.push_back(inst);
  packet.insert(packet.end(), data.begin(), data.end());
  const std::uint8_t sum = PacketChecksum(packet);
  packet.push_back(sum);
  packet.push_back(tervan::kTerminator);
  return packet;
}

std::size_t ExtractPacketLength(const std::uint8_t* bytes, std::size_t size) {
  if (size < kHeaderSize || bytes[0] != tervan::kPrefix || bytes[1] != tervan::kFormat97) {
    return 0;
  }
  const std::size_t total = LengthField(bytes) + kHeaderSize;
  return size < total ? 0 : total;
}

TBytes ExtractPacket(TBytes& buffer, bool remove) {
  const std::size_t total = ExtractPacketLength(buffer.data(), buffer.size());
  if (total == 0) return {};
  TBytes packet(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(total));
  if (remove) buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(total));
  return packet;
}

int CheckPacket(const std::uint8_t* bytes, std::size_t size) {
  if (size < tervan::kMinPacketSize) return 1;
  if (bytes[0] != tervan::kPrefix) return 2;
  if (bytes[1] != tervan::kFormat97) return 3;
  if (size != LengthField(bytes) + kHeaderSize) return 4;
  // Length fields 65,534 and 65,535 put more bytes under the checksum than it
  // may span; such a candidate is simply invalid.
  if (size > tervan::kMaxPacketSize || PacketChecksum(bytes, size - 2) != bytes[size - 2]) return 5;
  if (bytes[size - 1] != tervan::kTerminator) return 6;
  return 0;
}

int CheckPacket(const TBytes& packet) {
  return CheckPacket(packet.data(), packet.size());
}

TTervanFormat97 ParsePacket(const std::uint8_t* bytes, std::size_t size) {
  TTervanFormat97 rec;
  rec.CR = 0;
  if (size < tervan::kMinPacketSize) throw ETervanPacketError(kIncorrectPacket);
  const std::size_t length = LengthField(bytes);
  // Data, SUM and CR must all lie inside the given bytes.
  if (length < kLengthOverhead || length + kHeaderSize > size) {
    throw ETervanPacketError(kIncorrectPacket);
  }
  rec.Prefix = bytes[0];
  rec.Format = bytes[1];
  rec.Length = static_cast<std::uint16_t>(length);
  rec.ADR = bytes[tervan::kAdrOffset];
  rec.SIG = bytes[tervan::kSigOffset];
  rec.INST = bytes[tervan::kInstOffset];
  rec.Data.assign(bytes + kDataOffset, bytes + kDataOffset + (length - kLengthOverhead));
  rec.SUM = bytes[length + 2];
  rec.CR = bytes[length + 3];
  return rec;
}

TTervanFormat97 ParsePacket(const TBytes& packet) {
  return ParsePacket(packet.data(), packet.size());
}
