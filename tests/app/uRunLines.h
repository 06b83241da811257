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

inline Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace runlines
