#include "app/uConsoleColor.h"

#include <unistd.h>

#include "app/uTextOut.h"

namespace {

// Console colour bits are blue-green-red; ANSI colour numbers are red-green-blue.
int AnsiColour(unsigned nibble) {
  return static_cast<int>(((nibble & 0x4u) >> 2) | (nibble & 0x2u) | ((nibble & 0x1u) << 2));
}

}  // namespace

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

std::string ConsoleAttributeSequence(std::uint16_t attribute) {
  const unsigned fore = attribute & 0x0Fu;
  const unsigned back = (attribute >> 4) & 0x0Fu;
  const int foreCode = ((fore & 0x8u) != 0 ? 90 : 30) + AnsiColour(fore);
  const int backCode = ((back & 0x8u) != 0 ? 100 : 40) + AnsiColour(back);
  return "\x1b[0;" + std::to_string(foreCode) + ";" + std::to_string(backCode) + "m";
}

void SetConsoleTextColor(TTextOut& out, std::uint16_t attribute, bool enabled) {
  if (enabled) out << ConsoleAttributeSequence(attribute);
}

void ResetConsoleTextColor(TTextOut& out, bool enabled) {
  if (enabled) out << "\x1b[0m";
}
