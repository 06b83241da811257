// What the console program prints, as lines, for the process tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace runlines {

using Lines = std::vector<std::string>;

inline Lines SplitLines(const std::string& text) {
  Lines lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// The input lines of a module with `count` inputs of which `onInputs` are on.
inline Lines InputLines(const std::vector<int>& onInputs, int count = 8) {
  Lines lines;
  for (int i = 1; i <= count; ++i) {
    bool on = false;
    for (int n : onInputs) on = on || n == i;
    lines.push_back("Velto Innput" + std::to_string(i) + ": " + (on ? "On" : "Off"));
  }
  return lines;
}

// A request of the module at address 1 as it goes on the wire, as hex:
// signature, then instruction code and data.
inline std::string WireRequest(std::uint8_t sig, std::initializer_list<std::uint8_t> instAndData) {
  std::vector<std::uint8_t> packet{0x2A, 0x61, 0x00, static_cast<std::uint8_t>(instAndData.size() + 4),
                                   0x31, sig};
  packet.insert(packet.end(), instAndData.begin(), instAndData.end());
  unsigned sum = 0;
  for (std::uint8_t b : packet) sum += b;
  packet.push_back(static_cast<std::uint8_t>(0xFF - (sum & 0xFF)));
  packet.push_back(0x0D);
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (std::uint8_t b : packet) {
    if (!hex.empty()) hex.push_back(' ');
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

// The worked example's requests on the wire (address 1), as hex: each
// waiting request carries the next signature, from 0.
inline const char* const kIdentify = "2A 61 00 05 31 00 F3 4B 0D";
inline const char* const kOut3On = "2A 61 00 06 31 01 20 83 99 0D";
inline const char* const kReadOutputs = "2A 61 00 05 31 02 30 0C 0D";
inline const char* const kReadInputs = "2A 61 00 05 31 03 31 0A 0D";
// Identification, output 3 on, the outputs read back, the inputs.
inline const Lines kWorkedExampleWire{kIdentify, kOut3On, kReadOutputs, kReadInputs};

inline Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace runlines
