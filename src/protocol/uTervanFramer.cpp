#include "protocol/uTervanFramer.h"

#include <algorithm>
#include <cstring>

#include "protocol/uTervan97.h"
#include "protocol/uTervanCore.h"

namespace {

using tervan::ClaimedPacketSize;
using tervan::kHeaderSize;

// Offset of the first "*a" in bytes[from, size), or `size` when there is none.
std::size_t FindPacketStart(const std::uint8_t* bytes, std::size_t size, std::size_t from) {
  while (from < size) {
    const void* hit = std::memchr(bytes + from, tervan::kPrefix, size - from);
    if (hit == nullptr) return size;
    const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - bytes);
    if (at + 1 < size && bytes[at + 1] == tervan::kFormat97) return at;
    from = at + 1;
  }
  return size;
}

}  // namespace

TTervanFramer::TTervanFramer(std::size_t cap, std::size_t keep)
    : FCap(cap), FKeep(std::min(keep, cap)) {
  Clear();
}

void TTervanFramer::Clear() {
  FBytes.clear();
  FSums.assign(1, 0);
  FStart = 0;
  FBase = 0;
  FScanned = 0;
  FWaiting.Clear();
  FWhole.Clear();
}

std::size_t TTervanFramer::Append(const std::uint8_t* bytes, std::size_t size) {
  std::size_t cut = 0;
  if (FCap != 0 && Size() + size > FCap) {
    cut = Size() + size - FKeep;
    const std::size_t held = std::min(cut, Size());
    Consume(held);
    // Given bytes that would be cut at once are never copied; the stream
    // positions still count them.
    const std::size_t skipped = cut - held;
    if (skipped > 0) {
      FBase += FBytes.size() + skipped;
      FBytes.clear();
      FSums.assign(1, 0);
      FStart = 0;
      bytes += skipped;
      size -= skipped;
    }
  }
  Compact();
  FBytes.insert(FBytes.end(), bytes, bytes + size);
  const std::size_t base = FSums.size();
  FSums.resize(base + size);
  std::uint8_t sum = FSums[base - 1];
  std::uint8_t* sums = FSums.data() + base;
  for (std::size_t i = 0; i < size; ++i) {
    sum = static_cast<std::uint8_t>(sum + bytes[i]);
    sums[i] = sum;
  }
  return cut;
}

void TTervanFramer::Consume(std::size_t count) {
  // Only the offset moves: the units handed out stay readable until Append.
  FStart += std::min(count, Size());
}

void TTervanFramer::Compact() {
  // The dead front goes once it is as long as the live part, so each byte is
  // moved a bounded number of times.
  if (FStart == 0 || FStart < Size()) return;
  FBytes.erase(FBytes.begin(), FBytes.begin() + static_cast<std::ptrdiff_t>(FStart));
  // Sums keep their values: only differences between them are used.
  FSums.erase(FSums.begin(), FSums.begin() + static_cast<std::ptrdiff_t>(FStart));
  FBase += FStart;
  FStart = 0;
}

bool TTervanFramer::ValidAtFront(std::size_t size) const {
  const std::uint8_t* p = Data();
  if (size < tervan::kMinPacketSize || size > Size()) return false;
  if (p[0] != tervan::kPrefix || p[1] != tervan::kFormat97 || size != ClaimedPacketSize(p))
    return false;
  // The cheap end byte first; the checksum comes from the running sums.
  if (p[size - 1] != tervan::kTerminator) return false;
  if (size > tervan::kMaxPacketSize) return false;
  const std::size_t span = size - 2;  // everything before SUM
  const auto sum = static_cast<std::uint8_t>(FSums[FStart + span] - FSums[FStart]);
  return static_cast<std::uint8_t>(0xFF - sum) == p[size - 2];
}

bool TTervanFramer::Next(TUnit& unit) {
  const std::uint8_t* p = Data();
  const std::size_t size = Size();
  if (size == 0) return false;
  unit.Bytes = p;
  unit.Kind = TUnitKind::Garbage;
  if (const std::size_t length = ExtractPacketLength(p, size); length != 0) {
    if (ValidAtFront(length)) {
      unit.Kind = TUnitKind::Packet;
      unit.Size = length;
    } else {
      // A damaged candidate costs only its bytes up to the next "*".
      const void* star = std::memchr(p + 1, tervan::kPrefix, length - 1);
      unit.Size = star == nullptr
                      ? length
                      : static_cast<std::size_t>(static_cast<const std::uint8_t*>(star) - p);
    }
    Consume(unit.Size);
    return true;
  }
  TPosition whole = 0;
  if (FindWholeCandidate(whole)) {
    unit.Size = static_cast<std::size_t>(whole - Front());
    Consume(unit.Size);
    return true;
  }
  // Nothing whole yet: only bytes from the first "*a" on can begin a packet.
  std::size_t first = FindPacketStart(p, size, 0);
  if (first == size && p[size - 1] == tervan::kPrefix) first = size - 1;
  if (first == 0) return false;
  unit.Size = first;
  Consume(first);
  return true;
}

void TTervanFramer::RegisterStarts() {
  const std::uint8_t* bytes = FBytes.data();
  const std::size_t size = FBytes.size();
  std::size_t at = static_cast<std::size_t>(std::max(FScanned, Front()) - FBase);
  for (;;) {
    at = FindPacketStart(bytes, size, at);
    if (at == size) {
      // A last "*" is looked at again once its next byte has come.
      if (size > 0 && bytes[size - 1] == tervan::kPrefix) at = size - 1;
      break;
    }
    if (at + kHeaderSize > size) break;  // its length field has not come yet
    const TPosition position = FBase + at;
    const TPosition whole = position + ClaimedPacketSize(bytes + at);
    if (whole <= End())
      FWhole.Push(position);
    else
      FWaiting.Push({whole, position});
    ++at;
  }
  FScanned = FBase + at;
}

bool TTervanFramer::FindWholeCandidate(TPosition& position) {
  RegisterStarts();
  while (!FWaiting.Empty() && FWaiting.Top().first <= End()) {
    // Positions already taken are dropped here, once each.
    if (FWaiting.Top().second > Front()) FWhole.Push(FWaiting.Top().second);
    FWaiting.Pop();
  }
  while (!FWhole.Empty() && FWhole.Top() <= Front()) FWhole.Pop();
  if (FWhole.Empty()) return false;
  position = FWhole.Top();
  return true;
}
