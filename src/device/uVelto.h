// Data records of the I/O module and the pure helpers that turn its answers
// into values and values into request bytes. No state, no I/O: everything the
// device object sends or decodes at byte level goes through here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/uBytes.h"
#include "protocol/uTervan.h"

// What the module says about itself.
struct TVeltoInfo {
  TTervanInfo Identification;
  std::string InterfaceType;  // "ETH", "USB", "RS" or empty
  std::int32_t InputCount = -1;
  std::int32_t OutputCount = -1;
  std::int32_t ThermometerCount = 0;
};

// States of inputs or outputs; index 0 = number 1, true = on.
using TVeltoIOArray = std::vector<bool>;

// Counter values; index 0 = counter 1.
using TVeltoCounterArray = std::vector<std::uint32_t>;

// One decoded counter value with the bit width the module states.
struct TCounterReading {
  std::uint8_t Width = 0;
  std::uint32_t Value = 0;
};

// Parses the identification answer ("VELTO ETH 8/4;V1.02.03;F97;T1").
// True when the general record parsed, the name begins with "VELTO" and an
// inputs/outputs word was found in the first item.
bool ParseVeltoInfo(const std::string& text, TVeltoInfo& info);

// Decodes state bytes (last byte = states 1..8, bit 0 first). A negative
// `wantedLength` means automatic: an empty array becomes 8 states per byte, a
// non-empty one keeps its length. True when at least one state was set.
bool DecodeBits(const TBytes& answer, TVeltoIOArray& states, int wantedLength = -1);

// Bit 7 = state, bits 0..6 = output number.
std::uint8_t PackOutputCommand(int output, bool state);

// Bit 7 = clear, bits 0..5 = counter index (0 = all counters).
std::uint8_t PackCounterRequest(bool clear, int index);

// Value at `position` (from 1) of a counter answer: width byte, then values
// of ceil(width / 8) bytes each, big-endian (low 32 bits kept).
bool ExtractCounterValue(const TBytes& answer, int position, TCounterReading& reading);

// First configuration byte whose bits 0..5 equal `index`; bit 7 gives the
// first flag, bit 6 the second.
bool FindCounterConfig(const TBytes& answer, int index, bool& first, bool& second);

// Bits 0..5 = counter index, bit 7 = first flag, bit 6 = second flag.
std::uint8_t PackCounterConfig(int index, bool first, bool second);

// Exactly 3 bytes: status, then signed 16-bit tenths of a degree, big-endian.
bool DecodeTemperature(const TBytes& answer, double& degrees, std::uint8_t& status);

// Label text without trailing zero bytes; true only for a 21-byte answer.
bool DecodeLabel(const TBytes& answer, std::string& text);

// Index byte followed by the text cut or zero-padded to 21 bytes.
TBytes EncodeLabel(std::uint8_t index, const std::string& text);

// Length of a label record on the wire (without the index byte).
constexpr std::size_t kVeltoLabelSize = 21;
