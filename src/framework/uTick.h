// The 32-bit millisecond tick and wall-clock date of the system. Deadlines are
// compared by wrap-safe signed difference, so they survive the tick's wrap.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds from CLOCK_MONOTONIC, cut to 32 bits.
std::uint32_t MonotonicTick32();

// The tick every deadline of the library is taken from: MonotonicTick32,
// unless a test has set a source of its own (to move time on at will instead
// of sleeping through it).
std::uint32_t GetTickCount32();

using TTickSource = std::uint32_t (*)();
// Sets the source of GetTickCount32 (nullptr: the monotonic clock) and gives
// the one it replaces. Meant for tests; safe while other threads read ticks.
TTickSource SetTickSource(TTickSource source);

// True when `now` is later than `deadline` (wrap-safe).
inline bool TickAfter(std::uint32_t now, std::uint32_t deadline) {
  return static_cast<std::int32_t>(now - deadline) > 0;
}

// Milliseconds left until `deadline`, 0 when it has passed (wrap-safe).
inline std::uint32_t TicksLeft(std::uint32_t now, std::uint32_t deadline) {
  std::int32_t d = static_cast<std::int32_t>(deadline - now);
  return d > 0 ? static_cast<std::uint32_t>(d) : 0;
}

// Local date and time as days since 1899-12-30 (fraction = time of day).
double NowDateTime();

// The same in two steps: the wall clock's instant now, and later its local
// date. The first local date of a run reads the system's time-zone rules
// from disk; a caller that only may show the date stores the instant.
timespec WallClockNow();
double LocalDateTime(const timespec& instant);

// Sleeps the calling thread.
void SleepMs(std::uint32_t ms);
