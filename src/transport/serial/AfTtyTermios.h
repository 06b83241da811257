// Translation between the line-settings record and termios, on the structure
// alone (no tty touched), so it can be checked without hardware.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

#include "transport/serial/AfLineRecord.h"

// The speed constant of a standard rate; false for any other rate.
bool StandardSpeed(std::uint32_t rate, speed_t& speed);
// The rate of a speed constant; 0 when it names none (B0 or BOTHER).
std::uint32_t SpeedRate(speed_t speed);

// Puts what `record` asks into `settings`, which holds the tty's current
// termios: raw mode (no echo, no line editing, no CR/LF translation, CLOCAL
// and CREAD, VMIN 0 / VTIME 0), framing, flow control, XON/XOFF characters
// and, for a standard rate, its speed constant. Returns what a tty cannot do
// of the record, comma-separated ("4 data bits, DTR/DSR flow control"); when
// that is not empty, `settings` must not be applied.
std::string RecordToTermios(const TAfLineRecord& record, termios& settings);

// What of `wanted` the tty did not take, comma-separated; empty when all.
// `gotRate` may differ from `wantedRate` by the rounding a driver reports (3 %).
std::string UntakenSettings(const termios& wanted, std::uint32_t wantedRate, const termios& got,
                            std::uint32_t gotRate);

// Makes `record` hold what the tty has: rate, framing, flow control and the
// XON/XOFF characters. One and a half stop bits stay so when the tty has two.
void TermiosToRecord(const termios& settings, std::uint32_t rate, TAfLineRecord& record);
