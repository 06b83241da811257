// The one byte-string type of the system: packets, received bytes and any
// other binary data. It is never text; conversions are explicit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using TBytes = std::vector<std::uint8_t>;

// Bytes of a text, one byte per char (no encoding applied).
inline TBytes BytesOf(std::string_view text) { return TBytes(text.begin(), text.end()); }

// Text made of the bytes, one char per byte.
inline std::string TextOf(const TBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Upper-case hexadecimal, bytes separated by one blank ("2A 61 00").
std::string HexOf(const TBytes& bytes);

// Parses "2A 61 00 ..." (blanks optional between bytes); throws std::invalid_argument.
TBytes BytesFromHex(std::string_view hex);
