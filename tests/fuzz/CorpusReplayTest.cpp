// Every file in the repository's corpus of each fuzz target, run through the
// target's entry point as the fuzzer does: the seeds, and every input a
// fuzzer once failed on, so that a fault once found stays fixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <vector>

#include "uFuzzKit.h"
#include "uFuzzTargets.h"

// Test names show the target's name, not its bytes.
void PrintTo(const TFuzzTarget& target, std::ostream* out) { *out << target.Name; }

namespace {

namespace fs = std::filesystem;

class CorpusReplayTest : public ::testing::TestWithParam<TFuzzTarget> {};

TEST_P(CorpusReplayTest, EveryFileRunsThrough) {
  const fs::path folder = fs::path(VELTO_SOURCE_DIR) / "fuzz" / "corpus" / GetParam().Name;
  ASSERT_TRUE(fs::is_directory(folder)) << folder;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  EXPECT_FALSE(files.empty()) << "no seeds in " << folder;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    fuzzkit::SetContext(file.string());
    EXPECT_EQ(GetParam().Entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
              0)
        << file;
  }
  fuzzkit::SetContext({});
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplayTest, ::testing::ValuesIn(FuzzTargets()),
                         [](const ::testing::TestParamInfo<TFuzzTarget>& info) {
                           return std::string(info.param.Name);
                         });

}  // namespace
