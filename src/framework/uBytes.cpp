#include "framework/uBytes.h"

#include <stdexcept>

std::string HexOf(const TBytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) out.push_back(' ');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

TBytes BytesFromHex(std::string_view hex) {
  TBytes out;
  int high = -1;
  for (char c : hex) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (high >= 0) throw std::invalid_argument("odd hex digit count");
      continue;
    }
    int d = HexDigit(c);
    if (d < 0) throw std::invalid_argument("bad hex digit");
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + d));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex digit count");
  return out;
}
