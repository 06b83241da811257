// Time as the stack and its devices measure it: the 32-bit millisecond tick,
// replaceable per object so that tests and fuzzers run exchanges and their
// time-outs without waiting, and the wire time of bytes on a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "framework/uTick.h"
#include "protocol/uTervanInstructions.h"

// Gives the current millisecond tick; empty means the library's tick
// (GetTickCount32). Per object, beside the library-wide SetTickSource: a
// scripted clock may stand still between waits, which only the stack and its
// devices are written to bear; the library-wide tick must always move on.
using TTickFunction = std::function<std::uint32_t()>;

// Whole milliseconds that `count` characters take on a line whose character
// time is `byteTime` ms (0 when it is not known), at most one day.
std::uint32_t WireTimeMs(std::size_t count, double byteTime);

// Most data bytes an answer to an instruction can carry (by the table of
// instructions).
using tervan::kMaxAnswerDataOther;
using tervan::MaxAnswerData;

// How much longer than its time-out an exchange may wait for an answer whose
// bytes are still coming: the wire time of the largest answer `inst` can
// have on a line whose character time is `byteTime`, or, on a line without
// one (TCP), kNoWireTimeAnswerMs. A peer that announces a long packet and
// then babbles can hold an exchange no longer than that.
constexpr std::uint32_t kNoWireTimeAnswerMs = 500;
std::uint32_t AnswerOverrunMs(std::uint8_t inst, double byteTime);
