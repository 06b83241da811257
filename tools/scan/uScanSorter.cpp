#include "scan/uScanSorter.h"

#include <algorithm>

#include "protocol/uTervan97.h"
#include "protocol/uTervanCore.h"

namespace {

using tervan::kInstIdentify;
// An identification answer is a few dozen bytes; past this much the framer
// drops the oldest, so a babbling line costs bounded memory.
constexpr std::size_t kHoldCap = 0x20000;
constexpr std::size_t kHoldKeep = 0x10004;

}  // namespace

TScanSorter::TScanSorter() : FFramer(kHoldCap, kHoldKeep) {}

void TScanSorter::Begin(std::uint8_t adr, std::uint8_t sig) {
  FAsked[sig] = adr;
  FCurrent = adr;
  FCurrentAnswered = false;
  FGarbled = false;
}

bool TScanSorter::Feed(const TBytes& bytes) {
  if (FFramer.Append(bytes) != 0) FGarbled = true;
  TTervanFramer::TUnit unit;
  while (FFramer.Next(unit)) {
    if (unit.Kind == TTervanFramer::TUnitKind::Garbage) {
      FGarbled = true;
    } else {
      TakePacket(unit.Bytes, unit.Size);
    }
  }
  return FCurrentAnswered;
}

void TScanSorter::TakePacket(const std::uint8_t* bytes, std::size_t size) {
  const TTervanFormat97 packet = ParsePacket(bytes, size);
  const auto asked = FAsked.find(packet.SIG);
  // Notifications are never answers; neither is anything this scan did not ask.
  if (tervan::IsNotificationCode(packet.INST) || asked == FAsked.end() ||
      asked->second != packet.ADR) {
    return;
  }
  // The line's echo of a request is byte for byte that request.
  if (packet.INST == kInstIdentify && packet.Data.empty()) return;
  if (FCurrent && packet.ADR == *FCurrent) FCurrentAnswered = true;
  const auto known = FFindings.find(packet.ADR);
  if (known != FFindings.end() && known->second.Kind == TScanFinding::TKind::Module) return;
  TScanFinding finding;
  finding.Ack = packet.INST;
  finding.Identification = packet.Data;
  FFindings[packet.ADR] = std::move(finding);
}

void TScanSorter::End() {
  if (FCurrent && !FCurrentAnswered && (FGarbled || Receiving()) &&
      FFindings.find(*FCurrent) == FFindings.end()) {
    FFindings[*FCurrent] = TScanFinding{TScanFinding::TKind::Collision, 0, {}};
  }
  // What is left of an unfinished frame belongs to this turn alone.
  if (!FCurrentAnswered && Receiving()) FFramer.Clear();
  FCurrent.reset();
  FGarbled = false;
}

std::size_t TScanSorter::ModuleCount() const {
  return static_cast<std::size_t>(std::count_if(
      FFindings.begin(), FFindings.end(),
      [](const auto& entry) { return entry.second.Kind == TScanFinding::TKind::Module; }));
}
