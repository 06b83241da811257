#include "simulator/uSimLineReader.h"

#include <algorithm>

std::vector<TSimInputLine> TSimLineReader::Feed(std::string_view bytes) {
  std::vector<TSimInputLine> lines;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    // One byte past the cap is kept, so that a CR before the break still
    // leaves a line of exactly the cap.
    const std::size_t room = FMax + 1 - std::min(FHead.size(), FMax + 1);
    FHead.append(piece.substr(0, room));
    FLength += piece.size();
    if (end == std::string_view::npos) break;
    lines.push_back(EndLine());
    bytes.remove_prefix(end + 1);
  }
  return lines;
}

std::optional<TSimInputLine> TSimLineReader::Finish() {
  if (FLength == 0) return std::nullopt;
  return EndLine();
}

TSimInputLine TSimLineReader::EndLine() {
  TSimInputLine line;
  if (FLength <= FHead.size() && !FHead.empty() && FHead.back() == '\r') {
    FHead.pop_back();
    --FLength;
  }
  line.Length = FLength;
  line.TooLong = FLength > FMax;
  line.Text = std::move(FHead);
  if (line.TooLong) line.Text.resize(std::min(line.Text.size(), FMax));
  FHead.clear();
  FLength = 0;
  return line;
}
