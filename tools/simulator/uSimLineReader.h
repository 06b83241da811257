// Splits the simulator's standard input into command lines. Each byte is
// looked at once, and a line is held only up to a cap: a longer one is
// reported as too long with its first bytes, never kept whole.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Longest command line taken, without its line break.
constexpr std::size_t kSimMaxCommandLine = 1024;

struct TSimInputLine {
  std::string Text;        // the line without its break (only its head when TooLong)
  std::size_t Length = 0;  // its whole length
  bool TooLong = false;
};

class TSimLineReader {
 public:
  explicit TSimLineReader(std::size_t maxLength = kSimMaxCommandLine) : FMax(maxLength) {}

  // The lines that `bytes` completes, in order.
  std::vector<TSimInputLine> Feed(std::string_view bytes);
  // End of input: the last line when it has no line break.
  std::optional<TSimInputLine> Finish();

 private:
  TSimInputLine EndLine();

  std::size_t FMax;
  std::string FHead;        // the line so far, up to one byte past the cap
  std::size_t FLength = 0;  // the line so far, whole
};
