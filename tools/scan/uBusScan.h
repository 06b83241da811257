// The bus scan itself: each address of a range is asked for its
// identification in turn, over an open transport, and waited for as long as
// the line needs (the request's time on the wire, then a margin for the
// module to begin its answer; bytes that come extend the wait, up to a bound).
#pragma once

#include <cstdint>
#include <string>

#include "scan/uScanSorter.h"
#include "transport/uci_ICommunicationInterface.h"

enum class TScanLine { Serial, Usb, Tcp };

struct TScanTiming {
  double ByteTimeMs = 0;    // one character on the wire; 0 where the line has no wire time (TCP)
  double MarginMs = 0;      // an answer must begin this long after the request is out
  double MaxAnswerMs = 0;   // and may keep coming this long after its first bytes
};

// Requests and answers of a scan: identification, no data.
constexpr std::size_t kScanRequestSize = 9;
// Longest answer a scan waits for; a longer one is cut off and counts as garbled.
constexpr std::size_t kScanMaxAnswerSize = 1024;
// The margin's parts: a fixed time for the module to turn around, character
// times for the receiving side (a UART's FIFO reports a short burst only
// after a few silent character times), the adapter's latency over USB.
constexpr double kScanTurnaroundMs = 10;
constexpr double kScanMarginCharacters = 5;
constexpr double kScanUsbLatencyMs = 16;
constexpr double kScanTcpMarginMs = 50;

// The line kind of a connection string ("provider=...").
TScanLine ScanLineOf(const std::string& connectionString);
// The timing of a scan on that line; `timeoutMs` >= 0 replaces the margin.
TScanTiming ScanTiming(TScanLine line, double byteTimeMs, std::int32_t timeoutMs);

// Asks every address from `from` to `to` on `transport` (open), the first
// request with signature `firstSig`, the next with the next one. False when
// the connection was lost on the way (what was found so far stays in `sorter`).
bool RunBusScan(ICommunicationInterface& transport, const TScanTiming& timing, std::uint8_t from,
                std::uint8_t to, std::uint8_t firstSig, TScanSorter& sorter);
