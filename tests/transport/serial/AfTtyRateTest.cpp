// The rate a UART's divisor makes, and that a pseudo-terminal, which tells no
// base rate, keeps taking any rate.
#include <gtest/gtest.h>

#include "support/uEmulation.h"
#include "transport/serial/AfTtyRate.h"
#include "transport/serial/uci_ISerialPortInterface.h"
#include "uPtyPair.h"

namespace {

struct TRateCase {
  std::uint32_t Base, Asked, Made;
};

class DivisorRateTest : public ::testing::TestWithParam<TRateCase> {};

TEST_P(DivisorRateTest, IsTheBaseOverTheNearestWholeDivisor) {
  EXPECT_EQ(DivisorRate(GetParam().Base, GetParam().Asked), GetParam().Made);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, DivisorRateTest,
    ::testing::Values(TRateCase{115200, 9600, 9600}, TRateCase{115200, 115200, 115200},
                      TRateCase{115200, 50000, 57600},    // divisor 2.3 made 2
                      TRateCase{115200, 76800, 57600},    // 1.5 rounds up to 2
                      TRateCase{115200, 80000, 115200},   // 1.44 rounds down to 1
                      TRateCase{115200, 230400, 115200},  // above the base: divisor 1 at best
                      TRateCase{115200, 4000000000u, 115200}, TRateCase{115200, 1, 1},
                      TRateCase{115200, 110, 110},  // divisor 1047.3 -> 1047: 110.03
                      TRateCase{24000000, 9600, 9600}, TRateCase{115200, 0, 0},
                      TRateCase{0, 9600, 0}));

// The divisor check needs the driver's base rate; a pseudo-terminal tells
// none, so an odd rate stays what it was there.
TEST(DivisorRatePtyTest, APseudoTerminalStillTakesAnOddRate) {
  if (const std::string why = ArbitraryRateSkipReason(); !why.empty()) GTEST_SKIP() << why;
  TPtyPair pty(41);
  ASSERT_TRUE(pty.Ok());
  auto t = Make<TSerialPortInterface>("comport=41;baudrate=50000");
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  EXPECT_EQ(t->GetBaudRate(), 50000);
  EXPECT_NO_THROW(t->SetBaudRate(123457));
  EXPECT_EQ(t->GetBaudRate(), 123457);
  t->Close(true);
}

}  // namespace
