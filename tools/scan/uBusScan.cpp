#include "scan/uBusScan.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "protocol/uTervan97.h"
#include "transport/uConnectionString.h"

namespace {

using TClock = std::chrono::steady_clock;
using TMs = std::chrono::duration<double, std::milli>;

using tervan::kInstIdentify;
// Longest single wait for bytes, so that a lost connection is seen soon.
constexpr double kPassMs = 10;
// Over TCP, which has no wire time, an answer may keep coming this many margins.
constexpr double kTcpAnswerMargins = 20;

}  // namespace

TScanLine ScanLineOf(const std::string& connectionString) {
  std::string provider;
  FindConnectionValue(connectionString, "provider", provider);
  if (provider == "TCP_CLIENT") return TScanLine::Tcp;
  if (provider == "FTD_USB") return TScanLine::Usb;
  return TScanLine::Serial;
}

TScanTiming ScanTiming(TScanLine line, double byteTimeMs, std::int32_t timeoutMs) {
  TScanTiming timing;
  timing.ByteTimeMs = line == TScanLine::Tcp ? 0 : std::max(byteTimeMs, 0.0);
  switch (line) {
    case TScanLine::Tcp:
      timing.MarginMs = kScanTcpMarginMs;
      break;
    case TScanLine::Usb:
      timing.MarginMs =
          kScanTurnaroundMs + kScanUsbLatencyMs + kScanMarginCharacters * timing.ByteTimeMs;
      break;
    case TScanLine::Serial:
      timing.MarginMs = kScanTurnaroundMs + kScanMarginCharacters * timing.ByteTimeMs;
      break;
  }
  if (timeoutMs >= 0) timing.MarginMs = timeoutMs;
  timing.MaxAnswerMs = line == TScanLine::Tcp
                           ? kTcpAnswerMargins * std::max(timing.MarginMs, 1.0)
                           : kScanMaxAnswerSize * timing.ByteTimeMs + timing.MarginMs;
  return timing;
}

bool RunBusScan(ICommunicationInterface& transport, const TScanTiming& timing, std::uint8_t from,
                std::uint8_t to, std::uint8_t firstSig, TScanSorter& sorter) {
  const TMs requestTime(kScanRequestSize * timing.ByteTimeMs);
  const TMs margin(timing.MarginMs);
  const TMs maxAnswer(timing.MaxAnswerMs);
  std::uint8_t sig = firstSig;
  for (int adr = from; adr <= to; ++adr, ++sig) {
    TTransportLock lock(transport);
    // Whatever came since the last turn (late answers) is sorted before the
    // next request goes out, so it can never count for it.
    TBytes early;
    transport.Read(early);
    sorter.Feed(early);
    sorter.Begin(static_cast<std::uint8_t>(adr), sig);
    const TBytes request = BuildPacket(static_cast<std::uint8_t>(adr), sig, kInstIdentify, {});
    const auto sent = TClock::now();
    if (transport.Write(request) <= 0) {
      sorter.End();
      return false;
    }
    auto deadline = sent + std::chrono::duration_cast<TClock::duration>(requestTime + margin);
    std::optional<TClock::time_point> firstByte;
    for (;;) {
      const auto now = TClock::now();
      if (now >= deadline) break;
      const double left = TMs(deadline - now).count();
      const bool arrived =
          transport.WaitReceived(static_cast<std::int32_t>(std::clamp(left, 1.0, kPassMs)));
      if (transport.GetReceivedCount() > 0) {
        TBytes part;
        transport.Read(part);
        const auto at = TClock::now();
        if (!firstByte) firstByte = at;
        if (sorter.Feed(part)) break;
        // Bytes are coming: the rest gets its time, within the bound. A frame
        // begun and not yet whole is waited for up to the bound itself: a
        // pause inside an answer (a busy sender or receiver) must not cut it
        // in two, each half then taken for a collision of its own turn.
        const auto more = at + std::chrono::duration_cast<TClock::duration>(margin);
        const auto bound = *firstByte + std::chrono::duration_cast<TClock::duration>(maxAnswer);
        deadline = std::max(deadline, sorter.Receiving() ? bound : std::min(more, bound));
      } else if (!arrived && !transport.GetActive()) {
        sorter.End();
        return false;
      }
    }
    sorter.End();
  }
  return true;
}
