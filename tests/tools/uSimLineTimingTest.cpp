#include <gtest/gtest.h>

#include "simulator/uSimLineTiming.h"

namespace {

using std::chrono::milliseconds;

const TSimLineTiming::TTime kStart = TSimLineTiming::TTime{} + std::chrono::hours(1);

long long UsAt(TSimLineTiming::TTime t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t - kStart).count();
}

// The worked example's output request (10 bytes) and its answer (9 bytes).
TEST(SimLineTiming, AnswerLeavesAfterTheRequestTheDelayAndItsOwnBytes) {
  for (auto [delayMs, baud, leavesUs] : {std::tuple{0u, 0u, 0LL},
                                         {1200u, 0u, 1200000LL},
                                         {0u, 9600u, 19791LL},  // 19 bytes of 1,041.67 us
                                         {50u, 1200u, 50000LL + 158333}}) {
    TSimLineTiming timing(delayMs, baud);
    const auto heard = timing.Heard(kStart, 10);
    EXPECT_EQ(UsAt(timing.Leaves(timing.AnswerReady(heard), 9, 0)), leavesUs) << baud;
  }
}

TEST(SimLineTiming, EachDirectionIsBusyUntilItsLastByteAndWritesKeepTheirOrder) {
  TSimLineTiming timing(0, 10000);  // 1 ms a byte
  EXPECT_EQ(UsAt(timing.Heard(kStart, 5)), 5000);
  EXPECT_EQ(UsAt(timing.Heard(kStart, 5)), 10000);  // behind the first
  EXPECT_EQ(UsAt(timing.Leaves(kStart + milliseconds(5), 40, 0)), 45000);
  EXPECT_EQ(UsAt(timing.Leaves(kStart + milliseconds(10), 2, 0)), 47000);  // waits its turn
  EXPECT_EQ(UsAt(timing.Leaves(kStart, 1, 10)), 58000);                  // pause of a split answer
  EXPECT_EQ(UsAt(timing.Heard(kStart + milliseconds(100), 3)), 103000);  // idle line
}

}  // namespace
