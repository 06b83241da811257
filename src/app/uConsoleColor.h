// Console text colours of the help banner. The attributes are the classic
// 4-bit console colour pairs (low nibble foreground, high nibble background;
// bit 0 blue, 1 green, 2 red, 3 bright); on a terminal they become ANSI SGR
// sequences, anywhere else nothing is written.
#pragma once

#include <cstdint>
#include <string>

class TTextOut;

constexpr std::uint16_t kConsoleGreenOnBlack = 0x02;
constexpr std::uint16_t kConsoleLightGreyOnBlack = 0x07;

// True when standard output is a terminal.
bool StdoutIsTerminal();

// SGR sequence that selects `attribute`, e.g. 0x02 -> ESC "[0;32;40m".
std::string ConsoleAttributeSequence(std::uint16_t attribute);

// Writes the sequence for `attribute` to `out` when `enabled`; otherwise
// writes nothing, so that the text stays byte for byte the plain text.
void SetConsoleTextColor(TTextOut& out, std::uint16_t attribute, bool enabled);

// Writes the sequence that gives the terminal back its own colours when
// `enabled`; otherwise nothing.
void ResetConsoleTextColor(TTextOut& out, bool enabled);
