// The 28-byte line-settings record of a serial port (rate, framing, flow
// control, special characters), kept in its established layout and
// translated to termios when it is applied to a tty.
#pragma once

#include <cstdint>

struct TAfLineRecord {
  std::uint32_t Length = 0;  // 28 in a valid record
  std::uint32_t BaudRate = 0;
  std::uint32_t Flags = 0;  // the kLine* bits below
  std::uint16_t Reserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;    // kParity*
  std::uint8_t StopBits = 0;  // kStopBits*
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  std::uint16_t Reserved1 = 0;

  bool operator==(const TAfLineRecord&) const = default;
};
static_assert(sizeof(TAfLineRecord) == 28, "the record keeps its 28-byte layout");

inline constexpr std::uint32_t kLineRecordLength = 28;

// Flag word bits.
inline constexpr std::uint32_t kLineBinary = 0x1;
inline constexpr std::uint32_t kLineParityCheck = 0x2;
inline constexpr std::uint32_t kLineOutCtsFlow = 0x4;
inline constexpr std::uint32_t kLineOutDsrFlow = 0x8;
inline constexpr std::uint32_t kLineDtrMask = 0x30;  // two-bit field
inline constexpr std::uint32_t kLineDtrEnable = 0x10;
inline constexpr std::uint32_t kLineDtrHandshake = 0x20;
inline constexpr std::uint32_t kLineDsrSensitivity = 0x40;
inline constexpr std::uint32_t kLineTxContinueOnXoff = 0x80;
inline constexpr std::uint32_t kLineOutX = 0x100;
inline constexpr std::uint32_t kLineInX = 0x200;
inline constexpr std::uint32_t kLineErrorChar = 0x400;
inline constexpr std::uint32_t kLineNull = 0x800;
inline constexpr std::uint32_t kLineRtsMask = 0x3000;  // two-bit field
inline constexpr std::uint32_t kLineRtsEnable = 0x1000;
inline constexpr std::uint32_t kLineRtsHandshake = 0x2000;
inline constexpr std::uint32_t kLineRtsToggle = 0x3000;
inline constexpr std::uint32_t kLineAbortOnError = 0x4000;

inline constexpr std::uint8_t kParityNone = 0;
inline constexpr std::uint8_t kParityOdd = 1;
inline constexpr std::uint8_t kParityEven = 2;
inline constexpr std::uint8_t kParityMark = 3;
inline constexpr std::uint8_t kParitySpace = 4;

inline constexpr std::uint8_t kStopBitsOne = 0;
inline constexpr std::uint8_t kStopBitsOneAndHalf = 1;
inline constexpr std::uint8_t kStopBitsTwo = 2;

// Port events (the event mask and the mask of a line event).
inline constexpr std::uint32_t kEvRxChar = 0x1;
inline constexpr std::uint32_t kEvCts = 0x8;
inline constexpr std::uint32_t kEvDsr = 0x10;
inline constexpr std::uint32_t kEvRlsd = 0x20;
inline constexpr std::uint32_t kEvBreak = 0x40;
inline constexpr std::uint32_t kEvErr = 0x80;
inline constexpr std::uint32_t kEvRing = 0x100;
inline constexpr std::uint32_t kDefaultEventMask = 0x1F9;

// Line error bits (accumulated, taken with TakeErrors).
inline constexpr std::uint32_t kErrRxOver = 0x1;
inline constexpr std::uint32_t kErrOverrun = 0x2;
inline constexpr std::uint32_t kErrParity = 0x4;
inline constexpr std::uint32_t kErrFrame = 0x8;
inline constexpr std::uint32_t kErrBreak = 0x10;

// Modem input lines in the modem status.
inline constexpr std::uint32_t kModemCts = 0x10;
inline constexpr std::uint32_t kModemDsr = 0x20;
inline constexpr std::uint32_t kModemRing = 0x40;
inline constexpr std::uint32_t kModemRlsd = 0x80;

// Line-control codes of EscapeLine.
inline constexpr int kEscapeSetRts = 3;
inline constexpr int kEscapeClrRts = 4;
inline constexpr int kEscapeSetDtr = 5;
inline constexpr int kEscapeClrDtr = 6;
