// Where the console program writes its text: standard output, standard error
// or, for tests and for callers that pass the text on, a string. The program
// takes no C++ streams: constructing one sets up the C++ locale, which was a
// measurable part of a short run.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdio>
#include <string>
#include <string_view>

// Character types that `<<` writes as the character itself, as a C++ stream
// does; every other integer type is written as a decimal number.
template <typename T>
concept TextCharacter =
    std::same_as<T, char> || std::same_as<T, signed char> || std::same_as<T, unsigned char>;

// Up to 64 bits, for which the digits below have room.
template <typename T>
concept TextNumber = std::integral<T> && sizeof(T) <= 8 && !TextCharacter<T> &&
                     !std::same_as<T, bool> && !std::same_as<T, wchar_t> &&
                     !std::same_as<T, char8_t> && !std::same_as<T, char16_t> &&
                     !std::same_as<T, char32_t>;

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
  template <TextCharacter T>
  TTextOut& operator<<(T c) {
    const char one = static_cast<char>(c);
    Write(&one, 1);
    return *this;
  }
  template <TextNumber T>
  TTextOut& operator<<(T number) {
    char digits[24];  // a 64-bit number with its sign
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    Write(digits, static_cast<std::size_t>(end - digits));
    return *this;
  }
  // Neither a truth value nor a pointer (which would become one) is text:
  // refused when compiled rather than written as a number.
  TTextOut& operator<<(bool) = delete;

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
