#include "framework/uExactRemainder.h"

#include <cmath>
#include <limits>

double ExactRemainder(double x, double y) {
  double rest = std::fabs(x);
  const double divisor = std::fabs(y);
  if (std::isnan(x) || std::isnan(y) || std::isinf(x) || divisor == 0.0) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (std::isinf(y) || rest < divisor) return x;
  // Long division in binary: the largest divisor * 2^k not above the rest,
  // then down again. Doubling and halving a double are exact here, and every
  // subtraction takes s from a rest in [s, 2s), which is exact as well.
  double step = divisor;
  while (step * 2 <= rest) step *= 2;
  for (;;) {
    if (rest >= step) rest -= step;
    if (step == divisor) break;
    step /= 2;
  }
  return std::copysign(rest, x);
}

// The linker's name for `fmod` under --wrap=fmod (see the header).
extern "C" double __wrap_fmod(double x, double y) { return ExactRemainder(x, y); }
