// Any bit rate on a tty, also one without a standard speed constant. Kept
// apart because the kernel's termios2 declarations cannot share a file with
// <termios.h>.
#pragma once

#include <cstdint>

// Sets `rate` for both directions; false (errno set) when the tty refuses.
bool SetTtyRate(int fd, std::uint32_t rate);

// The output rate the tty reports; false (errno set) when it cannot be read.
bool GetTtyRate(int fd, std::uint32_t& rate);

// The rate a UART clocked at `baseRate` (its clock over 16) really makes
// when asked for `rate`: the base over the nearest whole divisor, at least 1.
// A UART driver reports the rate asked for even when its divisor gives
// another, and keeps its previous rate for one above its base. 0 for rate 0.
std::uint32_t DivisorRate(std::uint32_t baseRate, std::uint32_t rate);
