#include "protocol/uTervanAnswerSearch.h"

#include <algorithm>

#include "protocol/uTervanCore.h"

using tervan::kAdrOffset;
using tervan::kHeaderSize;
using tervan::kInstOffset;
using tervan::kSigOffset;

TTervanAnswerSearch::TTervanAnswerSearch(std::uint8_t adr, std::uint8_t sig, std::size_t cap,
                                         std::size_t keep)
    : FAdr(adr),
      FSig(sig),
      FCap(cap),
      FKeep(std::min(keep, cap)),
      // No cap of its own: it never holds more than one slice plus one
      // unfinished candidate, and it must not cut bytes it has not examined.
      FFramer(0, 0) {}

void TTervanAnswerSearch::SetAside(const TBytes& bytes) {
  Keep(bytes.data(), bytes.size());
}

bool TTervanAnswerSearch::IsAnswer(const std::uint8_t* packet) const {
  return packet[kSigOffset] == FSig && !tervan::IsNotificationCode(packet[kInstOffset]) &&
         (FAdr == tervan::kAdrUniversal || packet[kAdrOffset] == FAdr);
}

bool TTervanAnswerSearch::IsEcho(const std::uint8_t* packet, std::size_t size) const {
  return !FRequest.empty() && size == FRequest.size() &&
         std::equal(FRequest.begin(), FRequest.end(), packet);
}

bool TTervanAnswerSearch::Scan(const TBytes& bytes, TBytes& answer,
                               const std::function<bool()>& expired) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t slice = std::min(kSlice, bytes.size() - at);
    FFramer.Append(bytes.data() + at, slice);
    at += slice;
    // The units of one slice follow each other in the framer's memory, which
    // stays put until the next Append: they are set aside in one piece.
    const std::uint8_t* front = FFramer.Data();
    std::size_t taken = 0;
    TTervanFramer::TUnit unit;
    while (FFramer.Next(unit)) {
      if (unit.Kind == TTervanFramer::TUnitKind::Packet && IsEcho(unit.Bytes, unit.Size)) {
        Keep(front, taken);
        front = unit.Bytes + unit.Size;
        taken = 0;
        continue;
      }
      if (unit.Kind == TTervanFramer::TUnitKind::Packet && IsAnswer(unit.Bytes)) {
        answer.assign(unit.Bytes, unit.Bytes + unit.Size);
        Keep(front, taken);
        Keep(FFramer.Data(), FFramer.Size());
        FFramer.Clear();
        Keep(bytes.data() + at, bytes.size() - at);
        return true;
      }
      taken += unit.Size;
    }
    Keep(front, taken);
    if (at < bytes.size() && expired && expired()) {
      Keep(FFramer.Data(), FFramer.Size());
      FFramer.Clear();
      Keep(bytes.data() + at, bytes.size() - at);
      return false;
    }
  }
  return false;
}

std::size_t TTervanAnswerSearch::PendingAnswerBytes() const {
  // What the framer holds begins with the candidate that waits for its bytes.
  const std::uint8_t* p = FFramer.Data();
  const std::size_t size = FFramer.Size();
  if (size < 2 || p[0] != tervan::kPrefix || p[1] != tervan::kFormat97) return 0;
  if (size > kInstOffset && !IsAnswer(p)) return 0;
  if (size < kHeaderSize) return size;
  // A header that claims more than a packet can hold never becomes the answer.
  const std::size_t claimed = tervan::ClaimedPacketSize(p);
  if (claimed > tervan::kMaxPacketSize) return 0;
  return std::min(size, claimed);
}

TBytes TTervanAnswerSearch::TakeSetAside() {
  Keep(FFramer.Data(), FFramer.Size());
  FFramer.Clear();
  TBytes all;
  all.swap(FSetAside);
  return all;
}

void TTervanAnswerSearch::Keep(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return;
  if (FCap != 0 && FSetAside.size() + size > FCap) {
    // The receive path would keep only the newest bytes of it anyway.
    const std::size_t cut = FSetAside.size() + size - FKeep;
    const std::size_t held = std::min(cut, FSetAside.size());
    FSetAside.erase(FSetAside.begin(), FSetAside.begin() + static_cast<std::ptrdiff_t>(held));
    bytes += cut - held;
    size -= cut - held;
  }
  FSetAside.insert(FSetAside.end(), bytes, bytes + size);
}
