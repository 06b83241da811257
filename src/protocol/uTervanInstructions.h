// The protocol's vocabulary: every instruction code and acknowledge code by
// name, and the largest answer each instruction can have. This is the only
// place a code is written as a number.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tervan {

// Acknowledge codes. Below kAckAnswerLimit a packet answers a request; 12..15
// mark packets a module sends on its own.
constexpr std::uint8_t kAckOk = 0x00;
constexpr std::uint8_t kAckUnsupported = 0x02;  // unknown instruction, or not allowed now
constexpr std::uint8_t kAckBadData = 0x03;      // request data malformed or out of range
constexpr std::uint8_t kAckAnswerLimit = 0x06;
constexpr std::uint8_t kAckFirstNotification = 0x0C;
constexpr std::uint8_t kAckLastNotification = 0x0F;

inline bool IsAnswerCode(std::uint8_t ack) {
  return ack < kAckAnswerLimit;
}
inline bool IsNotificationCode(std::uint8_t ack) {
  return ack >= kAckFirstNotification && ack <= kAckLastNotification;
}

// Instructions every module offers.
constexpr std::uint8_t kInstWriteCommParams = 0xE0;  // address and baud-rate code
constexpr std::uint8_t kInstWriteByte = 0xE1;
constexpr std::uint8_t kInstWriteText = 0xE2;
constexpr std::uint8_t kInstE3 = 0xE3;
constexpr std::uint8_t kInstE4 = 0xE4;  // precedes every kInstWriteCommParams
constexpr std::uint8_t kInstChangeAddressByIds = 0xEB;
constexpr std::uint8_t kInstWriteFlag = 0xEE;
constexpr std::uint8_t kInstReadCommParams = 0xF0;
constexpr std::uint8_t kInstReadByte = 0xF1;
constexpr std::uint8_t kInstReadText = 0xF2;
constexpr std::uint8_t kInstIdentify = 0xF3;
constexpr std::uint8_t kInstReadValues = 0xFA;
constexpr std::uint8_t kInstReadFlag = 0xFE;

// Most data bytes an answer can carry when the table has no row for its
// instruction: texts and the instructions of each module kind.
constexpr std::size_t kMaxAnswerDataOther = 255;

struct TInstructionAnswer {
  std::uint8_t Inst;
  std::size_t MaxData;
};

// The standard instructions whose answers have a fixed layout.
constexpr std::array kFixedAnswers{
    TInstructionAnswer{kInstWriteCommParams, 0},  // writes: the acknowledge code alone
    TInstructionAnswer{kInstWriteByte, 0},
    TInstructionAnswer{kInstWriteText, 0},
    TInstructionAnswer{kInstE3, 0},
    TInstructionAnswer{kInstE4, 0},
    TInstructionAnswer{kInstChangeAddressByIds, 0},
    TInstructionAnswer{kInstWriteFlag, 0},
    TInstructionAnswer{kInstReadByte, 1},         // one-byte setting
    TInstructionAnswer{kInstReadFlag, 1},         // flag
    TInstructionAnswer{kInstReadValues, 8},       // three values
    TInstructionAnswer{kInstReadCommParams, 16},  // address, rate code and what follows
};

// Most data bytes an answer to `inst` can carry.
constexpr std::size_t MaxAnswerData(std::uint8_t inst) {
  for (const TInstructionAnswer& row : kFixedAnswers)
    if (row.Inst == inst) return row.MaxData;
  return kMaxAnswerDataOther;
}

}  // namespace tervan

// Instructions of the VELTO I/O module.
namespace velto {
constexpr std::uint8_t kInstIdentify = tervan::kInstIdentify;
constexpr std::uint8_t kInstWriteOption = 0x10;
constexpr std::uint8_t kInstReadOption = 0x11;
constexpr std::uint8_t kInstSetOutputs = 0x20;
constexpr std::uint8_t kInstSetTimedOutput = 0x23;
constexpr std::uint8_t kInstWriteLabelA = 0x2A;
constexpr std::uint8_t kInstWriteLabelB = 0x2B;
constexpr std::uint8_t kInstReadOutputs = 0x30;
constexpr std::uint8_t kInstReadInputs = 0x31;
constexpr std::uint8_t kInstReadLabelA = 0x3A;
constexpr std::uint8_t kInstReadLabelB = 0x3B;
constexpr std::uint8_t kInstReadTemperature = 0x51;
constexpr std::uint8_t kInstReadCounters = 0x60;
constexpr std::uint8_t kInstWriteCounterConfig = 0x6A;
constexpr std::uint8_t kInstReadCounterConfig = 0x6B;
// The module's own report of changed inputs (an acknowledge code).
constexpr std::uint8_t kNotifyInputs = 0x0D;
}  // namespace velto
