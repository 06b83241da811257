// What the console program prints, as lines, for the process tests.
#pragma once

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

// The worked example's requests on the wire (address 1, signature 0), as hex.
inline const char* const kIdentify = "2A 61 00 05 31 00 F3 4B 0D";
inline const char* const kOut3On = "2A 61 00 06 31 00 20 83 9A 0D";
inline const char* const kReadOutputs = "2A 61 00 05 31 00 30 0E 0D";
inline const char* const kReadInputs = "2A 61 00 05 31 00 31 0D 0D";
// Identification, output 3 on, the outputs read back, the inputs.
inline const Lines kWorkedExampleWire{kIdentify, kOut3On, kReadOutputs, kReadInputs};

inline Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace runlines
