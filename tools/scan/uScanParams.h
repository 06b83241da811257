// Command line of the bus scan: the console's connection switches, the
// address range, the per-address wait, /nolog and the help.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/uParams.h"

// Highest address a module can have: 0xFE (universal) and 0xFF (broadcast)
// are no module's own.
constexpr std::uint8_t kScanLastAddress = 253;
// Longest per-address wait /Timeout takes, in milliseconds.
constexpr std::int32_t kScanMaxTimeoutMs = 60000;

struct TScanParams {
  TParamRec Connection;       // ShowHelp, ConnectionDefined, ConnectionString, LogEnabled
  std::uint8_t From = 0;
  std::uint8_t To = kScanLastAddress;
  std::int32_t TimeoutMs = -1;  // -1: the line's own default
};

// Reads `args` (after the program name) in order, as the console does: each
// problem is one line on `out` and that argument is dropped.
void ParseScanCommandLine(const std::vector<std::string>& args, TScanParams& params,
                          std::ostream& out);

// The /? text.
void PrintScanHelp(std::ostream& out);
