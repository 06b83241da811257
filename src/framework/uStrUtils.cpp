#include "framework/uStrUtils.h"

#include <limits>

namespace {

int DigitValue(char c, int base) {
  int d = -1;
  if (c >= '0' && c <= '9') {
    d = c - '0';
  } else if (base == 16 && c >= 'a' && c <= 'f') {
    d = c - 'a' + 10;
  } else if (base == 16 && c >= 'A' && c <= 'F') {
    d = c - 'A' + 10;
  }
  return d < base ? d : -1;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

char UpperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char LowerChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsControlOrBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

}  // namespace

bool TryParseInt(std::string_view text, std::int32_t& value) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;

  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }

  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }

  if (i >= text.size()) return false;  // no digits at all

  // The magnitude is kept in 64 bits and checked after every digit, so a long
  // run of digits can never overflow before it is refused.
  constexpr std::int64_t kMaxMagnitude =
      static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  std::int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    int d = DigitValue(text[i], base);
    if (d < 0) return false;
    magnitude = magnitude * base + d;
    if (magnitude > kMaxMagnitude) return false;
  }
  if (!negative && magnitude == kMaxMagnitude) return false;

  value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

bool SplitFirst(std::string_view text, std::string_view delimiter, std::string& head,
                std::string& tail) {
  if (text.empty()) {
    head.clear();
    tail.clear();
    return false;
  }
  std::size_t pos = delimiter.empty() ? std::string_view::npos : text.find(delimiter);
  if (pos == std::string_view::npos) {
    head.assign(text);
    tail.clear();
  } else {
    // Copies first: `text` may view one of the two outputs.
    std::string h(text.substr(0, pos));
    std::string t(text.substr(pos + delimiter.size()));
    head = std::move(h);
    tail = std::move(t);
  }
  return true;
}

std::string TrimControl(std::string_view text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && IsControlOrBlank(text[first])) ++first;
  while (last > first && IsControlOrBlank(text[last - 1])) --last;
  return std::string(text.substr(first, last - first));
}

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperChar(c);
  return out;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerChar(c);
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperChar(a[i]) != UpperChar(b[i])) return false;
  }
  return true;
}
