// Moves the library's millisecond tick on at will, for deadline tests: the
// tick runs with the monotonic clock plus a shift the test adds to, so a
// deadline can be passed without sleeping through it, and since time never
// stands still no wait of the code under test can hang on it.
#pragma once

#include <cstdint>

#include "framework/uTick.h"

class TTickShift {
 public:
  TTickShift();   // installs the shifted tick, shift 0 (one at a time)
  ~TTickShift();  // restores the tick it replaced
  TTickShift(const TTickShift&) = delete;
  TTickShift& operator=(const TTickShift&) = delete;

  // Moves the tick `ms` further on; safe from any thread.
  void Advance(std::uint32_t ms);

 private:
  TTickSource FPrevious;
};
