// Small text helpers shared by every parser of the system (command line,
// identification texts, settings attributes, connection strings).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Whole-number conversion: optional leading blanks, optional sign, then decimal
// digits or hexadecimal digits after "$", "x", "X", "0x" or "0X"; the whole
// text must be consumed and the value must fit a signed 32-bit integer.
bool TryParseInt(std::string_view text, std::int32_t& value);

// Splits at the first `delimiter`. Without it, head is the whole text and
// tail empty. Returns false only for an empty text (head and tail empty).
bool SplitFirst(std::string_view text, std::string_view delimiter, std::string& head,
                std::string& tail);

// Removes characters with code 32 or less at both ends.
std::string TrimControl(std::string_view text);

// ASCII-only upper / lower case.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);

// ASCII case-insensitive comparison.
bool SameText(std::string_view a, std::string_view b);
