// Baud-rate codes of the communication-settings record (read and written
// with the comm-params instructions): code 0 = 110 baud up to code 11 = 230400 baud.
#pragma once

#include <cstdint>

constexpr std::int32_t kTervanBaudCodeCount = 12;

// Baud rate of a code; 0 for a code outside 0..11.
std::int32_t BaudFromCode(std::int32_t code);

// Code of a baud rate; -1 for a rate that is not in the table.
std::int32_t CodeFromBaud(std::int32_t baud);
