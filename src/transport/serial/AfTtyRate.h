// Any bit rate on a tty, also one without a standard speed constant. Kept
// apart because the kernel's termios2 declarations cannot share a file with
// <termios.h>.
#pragma once

#include <cstdint>

// Sets `rate` for both directions; false (errno set) when the tty refuses.
bool SetTtyRate(int fd, std::uint32_t rate);

// The output rate the tty reports; false (errno set) when it cannot be read.
bool GetTtyRate(int fd, std::uint32_t& rate);
