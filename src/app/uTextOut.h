// Where the console program writes its text: standard output, standard error
// or, for tests and for callers that pass the text on, a string. The program
// takes no C++ streams: constructing one sets up the C++ locale, which was a
// measurable part of a short run.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>

class TTextOut {
 public:
  // Into a string, read with Text().
  TTextOut() = default;

  // Into `file`, with no buffer of its own, so that the text keeps its order
  // against the C library's own writes to `file`. Each write first flushes
  // `flushFirst` (when given); with `flushEach` each write is flushed at once.
  TTextOut(std::FILE* file, TTextOut* flushFirst, bool flushEach)
      : FFile(file), FFlushFirst(flushFirst), FFlushEach(flushEach) {}

  TTextOut(const TTextOut&) = delete;
  TTextOut& operator=(const TTextOut&) = delete;

  TTextOut& operator<<(std::string_view text) {
    Write(text.data(), text.size());
    return *this;
  }
  TTextOut& operator<<(const char* text) {
    if (text != nullptr) *this << std::string_view(text);
    return *this;
  }
  TTextOut& operator<<(char c) {
    Write(&c, 1);
    return *this;
  }
  // Text only: a number (or a truth value, or a pointer that would become
  // one) would otherwise pass as a character; refused when compiled. The
  // program writes its numbers as text (std::to_string).
  template <typename T>
    requires std::is_arithmetic_v<T>
  TTextOut& operator<<(T) = delete;

  // Hands what the C library holds on to the file. False once anything
  // could not be written; from then on nothing more is written here.
  bool Flush();

  bool Failed() const { return FFailed; }

  // What was written into the string form.
  const std::string& Text() const { return FText; }

 private:
  void Write(const char* data, std::size_t size);

  std::FILE* FFile = nullptr;
  TTextOut* FFlushFirst = nullptr;
  bool FFlushEach = false;
  bool FFailed = false;
  std::string FText;
};

// Standard output: stdout's buffer flushes at exit.
TTextOut& ConsoleOut();

// Standard error: each write first flushes standard output, so that a log
// taking both keeps their order, and is itself flushed at once.
TTextOut& ConsoleErr();
