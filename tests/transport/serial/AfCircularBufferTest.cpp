// The writer's ring: all-or-nothing writes, wrap-around, the full flag.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "transport/serial/AfCircularBuffer.h"

namespace {

struct TStep {
  char Op;  // 'W' write N fresh bytes, 'R' remove N, 'C' clear
  int N;
  bool Ok;
  int Linear;  // LinearCount afterwards
  bool Full;
};

struct TRingCase {
  const char* Name;
  std::vector<TStep> Steps;
};

class RingTest : public ::testing::TestWithParam<TRingCase> {};

// Each step is checked against a plain queue of the bytes that should be in
// the ring, so the contents are checked as well as the counters.
TEST_P(RingTest, FollowsThePlainQueue) {
  TAfCircularBuffer ring(8);
  std::deque<std::uint8_t> model;
  std::uint8_t next = 1;
  for (const TStep& step : GetParam().Steps) {
    SCOPED_TRACE(std::string(1, step.Op) + std::to_string(step.N));
    bool ok = true;
    if (step.Op == 'W') {
      std::vector<std::uint8_t> bytes;
      for (int i = 0; i < step.N; ++i) bytes.push_back(next++);
      ok = ring.Write(bytes.data(), step.N);
      if (ok) model.insert(model.end(), bytes.begin(), bytes.end());
    } else if (step.Op == 'R') {
      ok = ring.Remove(step.N);
      if (ok) model.erase(model.begin(), model.begin() + step.N);
    } else {
      ring.Clear();
      model.clear();
    }
    EXPECT_EQ(ok, step.Ok);
    EXPECT_EQ(ring.Used(), static_cast<int>(model.size()));
    EXPECT_EQ(ring.FreeSpace(), 8 - static_cast<int>(model.size()));
    EXPECT_EQ(ring.LinearCount(), step.Linear);
    EXPECT_EQ(ring.Full(), step.Full);
    for (int i = 0; i < ring.LinearCount(); ++i)
      EXPECT_EQ(ring.ReadPointer()[i], model[static_cast<std::size_t>(i)]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, RingTest,
    ::testing::Values(
        TRingCase{"SixUsedFromIndexFiveThenFilledAndOverfilled",
                  {{'W', 5, true, 5, false},
                   {'R', 5, true, 0, false},
                   {'W', 6, true, 3, false},
                   {'W', 2, true, 3, true},
                   {'W', 1, false, 3, true},
                   {'R', 3, true, 5, false}}},
        TRingCase{"ZeroLengthWriteFailsAndRemovingNothingKeepsFull",
                  {{'W', 8, true, 8, true}, {'W', 0, false, 8, true}, {'R', 0, true, 8, true}}},
        TRingCase{"MoreThanTheSizeIsRefusedWholeEvenWhenEmpty",
                  {{'W', 9, false, 0, false}, {'W', 8, true, 8, true}}},
        TRingCase{"RemovingMoreThanUsedChangesNothing",
                  {{'W', 3, true, 3, false}, {'R', 4, false, 3, false}, {'R', 3, true, 0, false}}},
        TRingCase{"WriteWrapsAroundTheEndAndReadsOnFromTheStart",
                  {{'W', 7, true, 7, false},
                   {'R', 6, true, 1, false},
                   {'W', 4, true, 2, false},
                   {'R', 2, true, 3, false}}},
        TRingCase{"ClearEmptiesAFullRing", {{'W', 8, true, 8, true}, {'C', 0, true, 0, false}}}),
    [](const ::testing::TestParamInfo<TRingCase>& info) { return info.param.Name; });

}  // namespace
