// Run parameters of the console program and the command-line parser that
// fills them. The parser never stops at a bad argument: it reports one line
// and goes on, so that whatever was valid is still carried out.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TTextOut;

struct TQOutputItem {
  std::int32_t Number = 0;  // as typed, outputs are numbered from 1
  bool Value = false;       // true = on
  std::int32_t Time = 0;    // half-seconds, 0 = permanently
  bool Timed = false;       // a time was given; when false Time is 0

  bool operator==(const TQOutputItem&) const = default;
};
using TQOutputs = std::vector<TQOutputItem>;

struct TQInputItem {
  std::int32_t Number = 0;  // as typed, inputs are numbered from 1

  bool operator==(const TQInputItem&) const = default;
};
using TQInputs = std::vector<TQInputItem>;

struct TParamRec {
  bool ShowHelp = false;
  bool ConnectionDefined = false;
  std::string ConnectionString;
  bool LogEnabled = true;
  std::uint8_t Address = 0xFE;
  TQOutputs Outputs;
  TQInputs Inputs;
};

// Longest output time the module can carry (one byte of half-seconds).
constexpr std::int32_t kMaxOutputTime = 255;
constexpr const char* kDefaultTcpPort = "10001";
constexpr const char* kDefaultBaudRate = "9600";

// Resets `params` to its defaults, then reads `args` (the process arguments
// after the program name) in order. Every problem is one line on `out`.
void ParseCommandLine(const std::vector<std::string>& args, TParamRec& params, TTextOut& out);

// Four dot-separated whole numbers (any form TryParseInt takes), each 0..255.
bool IsIPv4Address(std::string_view text);
// Same, also giving the four values in order.
bool IsIPv4Address(std::string_view text, std::array<std::uint8_t, 4>& values);

// One character (its code) or "#" and a whole number (its low eight bits).
// `address` is left alone on failure.
bool ParseDeviceAddress(std::string_view text, std::uint8_t& address);

// One connection switch (/COM, /USB, /TCP) as the console reads it, for other
// programs that take the same switches: `keyword` is the switch text without
// its switch character, trimmed and upper-cased. False when it is none of the
// three; otherwise the switch was read (or reported as bad on `out`).
bool ParseConnectionSwitch(const std::string& keyword, TParamRec& params, TTextOut& out);
