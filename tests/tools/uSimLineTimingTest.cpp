#include <gtest/gtest.h>

#include "simulator/uSimLineTiming.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using TTime = TSimLineTiming::TTime;

const TTime kStart = TTime{} + std::chrono::hours(1);

long long UsAfterStart(TTime t) {
  return std::chrono::duration_cast<microseconds>(t - kStart).count();
}

// The worked example's output request (10 bytes) and its answer (9 bytes).
TEST(SimLineTiming, AnswerLeavesAfterRequestDelayAndAnswerOnTheWire) {
  struct TCase {
    std::uint32_t DelayMs;
    std::uint32_t Baud;
    long long LeavesUs;
  };
  for (const TCase& c :
       {TCase{0, 0, 0}, TCase{1200, 0, 1200000}, TCase{0, 9600, 19791},  // 19 bytes of 1,041.67 us
        TCase{50, 1200, 50000 + 158333}}) {
    TSimLineTiming timing(c.DelayMs, c.Baud);
    const TTime heard = timing.Heard(kStart, 10);
    const TTime leaves = timing.Leaves(timing.AnswerReady(heard), 9, 0);
    EXPECT_EQ(UsAfterStart(leaves), c.LeavesUs) << c.DelayMs << " ms, " << c.Baud << " baud";
  }
}

TEST(SimLineTiming, WritesKeepTheirOrderAndTheLineIsBusyInEachDirection) {
  TSimLineTiming timing(0, 10000);  // 1 ms a byte
  // Two requests read at once: the module has the second when both are in.
  EXPECT_EQ(UsAfterStart(timing.Heard(kStart, 5)), 5000);
  EXPECT_EQ(UsAfterStart(timing.Heard(kStart, 5)), 10000);
  // A long answer, then a short one ready earlier: the short one waits.
  EXPECT_EQ(UsAfterStart(timing.Leaves(kStart + milliseconds(5), 40, 0)), 45000);
  EXPECT_EQ(UsAfterStart(timing.Leaves(kStart + milliseconds(10), 2, 0)), 47000);
  // A pause after the previous write, as split answers have.
  EXPECT_EQ(UsAfterStart(timing.Leaves(kStart, 1, 10)), 58000);
  // Later bytes on an idle line take only their own time.
  EXPECT_EQ(UsAfterStart(timing.Heard(kStart + milliseconds(100), 3)), 103000);
  timing.Reset();
  EXPECT_EQ(UsAfterStart(timing.Leaves(kStart, 1, 0)), 1000);
}

}  // namespace
