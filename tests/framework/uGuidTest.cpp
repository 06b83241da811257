// New GUIDs: the kernel call is replaced by scripted answers, so each way a
// kernel may answer (the insecure flag known, unknown, pool not ready, a
// call interrupted or cut short) is reached without that kernel.
#include <gtest/gtest.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <set>
#include <vector>

#include "framework/uGuid.h"

namespace {

// What the scripted kernel answers to each call, in order; calls are logged
// by their flags. A step with an error fills nothing.
struct TStep {
  int Error = 0;          // errno to answer with, 0: fill
  std::size_t Count = 0;  // bytes to fill (capped at the ask), 0: all asked
};
std::vector<TStep> gSteps;
std::vector<unsigned> gFlagsSeen;
std::uint8_t gFill = 0;

long Scripted(void* buffer, std::size_t count, unsigned flags) {
  gFlagsSeen.push_back(flags);
  const std::size_t index = gFlagsSeen.size() - 1;
  const TStep step = index < gSteps.size() ? gSteps[index] : TStep{};
  if (step.Error != 0) {
    errno = step.Error;
    return -1;
  }
  const std::size_t n = step.Count == 0 || step.Count > count ? count : step.Count;
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = gFill++;
  return static_cast<long>(n);
}

constexpr unsigned kInsecure = 0x0004;

struct TCase {
  const char* Name;
  std::vector<TStep> Steps;
  std::vector<unsigned> Flags;  // the calls expected, by flag
  bool FromKernel;              // the bytes are the scripted ones
};

class NewGuidTest : public ::testing::TestWithParam<TCase> {};

TEST_P(NewGuidTest, AsksTheKernelWithoutWaitingAndFallsBackInOrder) {
  const TCase& c = GetParam();
  gSteps = c.Steps;
  gFlagsSeen.clear();
  gFill = 0;
  const TGUID g = NewGuid(Scripted);
  EXPECT_EQ(gFlagsSeen, c.Flags);
  for (unsigned flags : gFlagsSeen) EXPECT_EQ(flags & GRND_RANDOM, 0u) << "a call that may wait";
  const std::string text = GuidToString(g);
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})")))
      << text;
  if (c.FromKernel) {
    // Bytes 0..15 as filled, with the version and variant bits set.
    EXPECT_EQ(text, "{00010203-0405-4607-8809-0A0B0C0D0E0F}");
  }
}

INSTANTIATE_TEST_SUITE_P(
    KernelAnswers, NewGuidTest,
    ::testing::Values(
        TCase{"InsecureFlagKnown", {}, {kInsecure}, true},
        TCase{"InterruptedAndCutShort", {{EINTR, 0}, {0, 5}}, {kInsecure, kInsecure, kInsecure}, true},
        TCase{"OldKernelNonBlocking", {{EINVAL, 0}}, {kInsecure, GRND_NONBLOCK}, true},
        TCase{"OldKernelPoolNotReady", {{EINVAL, 0}, {EAGAIN, 0}}, {kInsecure, GRND_NONBLOCK}, false},
        TCase{"NoCallAtAll", {{ENOSYS, 0}}, {kInsecure}, false}),
    [](const ::testing::TestParamInfo<TCase>& info) { return std::string(info.param.Name); });

// The generator of last resort still gives every node a name of its own.
TEST(NewGuidFallbackTest, ClockSeededGuidsDiffer) {
  gSteps.assign(64, TStep{ENOSYS, 0});
  std::set<std::string> seen;
  for (int i = 0; i < 32; ++i) {
    gFlagsSeen.clear();
    seen.insert(GuidToString(NewGuid(Scripted)));
  }
  EXPECT_EQ(seen.size(), 32u);
}

TEST(NewGuidStringTest, TheSystemGivesDistinctVersionFourGuids) {
  const std::string a = NewGuidString();
  const std::string b = NewGuidString();
  ASSERT_EQ(a.size(), 38u);
  EXPECT_EQ(a[15], '4');
  EXPECT_NE(a, b);
  EXPECT_TRUE(GuidFromString(a).has_value());
}

}  // namespace
