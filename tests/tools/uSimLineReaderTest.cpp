#include <gtest/gtest.h>

#include "simulator/uSimCommands.h"
#include "simulator/uSimLineReader.h"

namespace {

// The chunks fed in turn, then the end of input; "!" marks a line refused as
// too long, with its head and whole length.
std::vector<std::string> Lines(const std::vector<std::string>& chunks) {
  TSimLineReader reader(8);
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
  EXPECT_EQ(Lines({"1234567", "89ab", "cdef\r", "\nok\n"}), (L{"!12345678/16", "ok"}));
  EXPECT_EQ(Lines({"123456789"}), (L{"!12345678/9"}));
}

TEST(SimLineReader, EchoIsCutAndPrintable) {
  EXPECT_EQ(SimEcho(std::string("a\x1b[2Jb\0c", 8)), "a.[2Jb.c");
  EXPECT_EQ(SimEcho(std::string(100, 'z')), std::string(40, 'z') + "...");
}

}  // namespace
