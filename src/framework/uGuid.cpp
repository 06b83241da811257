#include "framework/uGuid.h"

#include <uuid/uuid.h>

#include <cstdio>

std::string GuidToString(const TGUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.D1), static_cast<unsigned>(g.D2),
                static_cast<unsigned>(g.D3), g.D4[0], g.D4[1], g.D4[2], g.D4[3], g.D4[4], g.D4[5],
                g.D4[6], g.D4[7]);
  return buf;
}

std::optional<TGUID> GuidFromString(std::string_view text) {
  try {
    return GuidLiteral(text);
  } catch (const char*) {
    return std::nullopt;
  }
}

std::string NewGuidString() {
  uuid_t u;
  uuid_generate_random(u);
  TGUID g;
  g.D1 = (static_cast<std::uint32_t>(u[0]) << 24) | (static_cast<std::uint32_t>(u[1]) << 16) |
         (static_cast<std::uint32_t>(u[2]) << 8) | u[3];
  g.D2 = static_cast<std::uint16_t>((u[4] << 8) | u[5]);
  g.D3 = static_cast<std::uint16_t>((u[6] << 8) | u[7]);
  for (int i = 0; i < 8; ++i) g.D4[static_cast<std::size_t>(i)] = u[8 + i];
  return GuidToString(g);
}
