#include <gtest/gtest.h>

#include "simulator/uSimCommands.h"
#include "simulator/uSimLineReader.h"

namespace {

// Each chunk fed in turn, then the end of input; what came out, "!" marking
// a line refused as too long (with its whole length).
std::vector<std::string> Lines(const std::vector<std::string>& chunks, std::size_t max = 8) {
  TSimLineReader reader(max);
  std::vector<std::string> out;
  auto take = [&](const TSimInputLine& line) {
    out.push_back(line.TooLong ? "!" + line.Text + "/" + std::to_string(line.Length) : line.Text);
  };
  for (const std::string& chunk : chunks)
    for (const TSimInputLine& line : reader.Feed(chunk)) take(line);
  if (auto last = reader.Finish()) take(*last);
  return out;
}

TEST(SimLineReader, SplitsCapsAndKeepsWhatFollows) {
  using L = std::vector<std::string>;
  EXPECT_EQ(Lines({"in 3 on\nquit\n"}), (L{"in 3 on", "quit"}));
  EXPECT_EQ(Lines({"in 3", " on\r\n", "\nlast"}), (L{"in 3 on", "", "last"}));
  EXPECT_EQ(Lines({"12345678\r\n"}), (L{"12345678"}));  // exactly the cap
  EXPECT_EQ(Lines({"123456789\nquit\n"}), (L{"!12345678/9", "quit"}));
  EXPECT_EQ(Lines({"1234567", "89ab", "cdef\r", "\nok\n"}), (L{"!12345678/16", "ok"}));
  EXPECT_EQ(Lines({"123456789"}), (L{"!12345678/9"}));
  EXPECT_EQ(Lines({""}), L{});
}

TEST(SimLineReader, HoldsNoMoreThanTheCapOfAnEndlessLine) {
  TSimLineReader reader;
  const std::string chunk(1 << 20, 'x');
  for (int i = 0; i < 64; ++i) EXPECT_TRUE(reader.Feed(chunk).empty());
  const auto lines = reader.Feed("\nin 1 on\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].TooLong);
  EXPECT_EQ(lines[0].Length, 64u << 20);
  EXPECT_EQ(lines[0].Text.size(), kSimMaxCommandLine);
  EXPECT_EQ(lines[1].Text, "in 1 on");
}

TEST(SimLineReader, EchoIsCutAndPrintable) {
  EXPECT_EQ(SimEcho("in 3 on"), "in 3 on");
  EXPECT_EQ(SimEcho(std::string("a\x1b[2Jb\0c", 8)), "a.[2Jb.c");
  EXPECT_EQ(SimEcho(std::string(100, 'z')), std::string(40, 'z') + "...");
}

}  // namespace
