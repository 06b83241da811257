// GUIDs: the 16-byte structure and its 38-character text form
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with upper-case digits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct TGUID {
  std::uint32_t D1 = 0;
  std::uint16_t D2 = 0;
  std::uint16_t D3 = 0;
  std::array<std::uint8_t, 8> D4{};

  friend constexpr bool operator==(const TGUID&, const TGUID&) = default;
};

namespace guid_detail {
constexpr int HexValue(char c) {
  return (c >= '0' && c <= '9')   ? c - '0'
         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                  : -1;
}
constexpr std::uint64_t HexField(std::string_view s, std::size_t pos, std::size_t count) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < count; ++i) {
    int d = HexValue(s[pos + i]);
    if (d < 0) throw "bad GUID digit";  // fails constant evaluation of a bad literal
    v = v * 16 + static_cast<std::uint64_t>(d);
  }
  return v;
}
}  // namespace guid_detail

// Compile-time GUID from its braced text form.
constexpr TGUID GuidLiteral(std::string_view s) {
  if (s.size() != 38 || s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' ||
      s[37] != '}')
    throw "bad GUID literal";
  TGUID g;
  g.D1 = static_cast<std::uint32_t>(guid_detail::HexField(s, 1, 8));
  g.D2 = static_cast<std::uint16_t>(guid_detail::HexField(s, 10, 4));
  g.D3 = static_cast<std::uint16_t>(guid_detail::HexField(s, 15, 4));
  g.D4[0] = static_cast<std::uint8_t>(guid_detail::HexField(s, 20, 2));
  g.D4[1] = static_cast<std::uint8_t>(guid_detail::HexField(s, 22, 2));
  for (std::size_t i = 0; i < 6; ++i)
    g.D4[2 + i] = static_cast<std::uint8_t>(guid_detail::HexField(s, 25 + 2 * i, 2));
  return g;
}

std::string GuidToString(const TGUID& guid);
// Parses the braced form (either letter case); empty on any other text.
std::optional<TGUID> GuidFromString(std::string_view text);
// A new random (version 4) GUID from the operating system, in text form. It
// never waits for the kernel's entropy pool.
std::string NewGuidString();

// The kernel call NewGuid asks for bytes, as getrandom: bytes written, or -1
// with errno set. Tests give their own to reach the fall-backs.
using TGetRandomCall = long (*)(void* buffer, std::size_t count, unsigned flags);
// A version 4 GUID from `call` with GRND_INSECURE; where the kernel does not
// know that flag (EINVAL), with GRND_NONBLOCK; where that fails too, from a
// generator seeded from the clocks and the process id.
TGUID NewGuid(TGetRandomCall call);
