#include <gtest/gtest.h>

#include "protocol/uTervanBaud.h"

namespace {

TEST(TervanBaudCodes, TableBothWays) {
  const std::int32_t rates[] = {110,  300,   600,   1200,  2400,   4800,
                                9600, 19200, 38400, 57600, 115200, 230400};
  for (std::int32_t code = 0; code < kTervanBaudCodeCount; ++code) {
    EXPECT_EQ(BaudFromCode(code), rates[code]) << code;
    EXPECT_EQ(CodeFromBaud(rates[code]), code) << rates[code];
  }
}

TEST(TervanBaudCodes, CodeOutsideTheTableGivesZero) {
  EXPECT_EQ(BaudFromCode(12), 0);
  EXPECT_EQ(BaudFromCode(-1), 0);
  EXPECT_EQ(BaudFromCode(255), 0);
}

TEST(TervanBaudCodes, RateOutsideTheTableGivesMinusOne) {
  EXPECT_EQ(CodeFromBaud(14400), -1);
  EXPECT_EQ(CodeFromBaud(0), -1);
  EXPECT_EQ(CodeFromBaud(-9600), -1);
  EXPECT_EQ(CodeFromBaud(460800), -1);
}

}  // namespace
