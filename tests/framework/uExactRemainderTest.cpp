#include "framework/uExactRemainder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kTiny = std::numeric_limits<double>::denorm_min();
constexpr double kMinNormal = std::numeric_limits<double>::min();

// Same value and same sign of zero, or both NaN.
bool SameDouble(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

struct Case {
  double x;
  double y;
};

// The C library's fmod is the reference: the two must agree bit for bit.
TEST(ExactRemainder, AgreesWithTheCLibraryAtTheEdges) {
  const Case cases[] = {
      {7, 3},        {-7, 3},        {7, -3},          {-7, -3},       {6, 3},
      {-6, 3},       {0.0, 3},       {-0.0, 3},        {2.5, 3},       {5.5, 1.25},
      {kMax, 1},     {kMax, kTiny},  {kMax, 3},        {kTiny, kMax},  {kMinNormal, kTiny * 3},
      {kMax, kMax},  {kMax, -kMax},  {1e300, 1e-300},  {1, 0.1},       {-1e16, 3},
      {kInf, 1},     {-kInf, 1},     {1, 0.0},         {1, -0.0},      {0.0, 0.0},
      {1, kInf},     {-1, -kInf},    {kInf, kInf},     {kNaN, 1},      {1, kNaN},
      {kMax, kMinNormal * 1.5},      {kMinNormal * 3, kMinNormal / 2},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(SameDouble(ExactRemainder(c.x, c.y), std::fmod(c.x, c.y)))
        << c.x << " mod " << c.y << ": " << ExactRemainder(c.x, c.y) << " against "
        << std::fmod(c.x, c.y);
  }
}

// Random bit patterns cover every exponent distance, subnormals included.
TEST(ExactRemainder, AgreesWithTheCLibraryOnRandomPatterns) {
  std::mt19937_64 random(20261208);
  int mismatches = 0;
  for (int i = 0; i < 200000 && mismatches < 5; ++i) {
    const double x = std::bit_cast<double>(random());
    // Half of the divisors near the dividend's size, where most steps happen.
    const int scale = std::isfinite(x) && x != 0 ? std::ilogb(x) : 0;
    const double y = i % 2 ? std::bit_cast<double>(random())
                           : std::ldexp(std::bit_cast<double>(random() | 0x3ff0000000000000u) - 1.0,
                                        scale - static_cast<int>(random() % 60));
    if (!SameDouble(ExactRemainder(x, y), std::fmod(x, y))) {
      ++mismatches;
      ADD_FAILURE() << std::hexfloat << x << " mod " << y << ": " << ExactRemainder(x, y)
                    << " against " << std::fmod(x, y);
    }
  }
}

}  // namespace
