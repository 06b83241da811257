#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ExpectedHelpText.h"
#include "app/uConsoleColor.h"
#include "app/uHelp.h"
#include "app/uTextOut.h"

namespace {

std::string Help(bool colour) {
  TTextOut out;
  PrintHelp(out, colour);
  return out.Text();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  EXPECT_EQ(start, text.size()) << "text after the last line break";
  return lines;
}

TEST(HelpText, ByteForByteWithoutColour) {
  EXPECT_EQ(Help(false), expected_help::Text(false));
}

TEST(HelpText, ByteForByteWithColour) {
  EXPECT_EQ(Help(true), expected_help::Text(true));
}

TEST(HelpText, ShapeOfThePlainText) {
  const std::string text = Help(false);
  EXPECT_EQ(text.size(), 2412u);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  const std::vector<std::string> lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 38u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const bool padded = (i >= 6 && i <= 32) || i >= 36;
    if (padded) {
      EXPECT_EQ(lines[i].size(), 79u) << "line " << i + 1;
    } else {
      EXPECT_LT(lines[i].size(), 79u) << "line " << i + 1;
      EXPECT_TRUE(lines[i].empty() || lines[i].back() != ' ') << "line " << i + 1;
    }
  }
  EXPECT_EQ(lines[1], "  VELTO console - Marvik");
  EXPECT_EQ(lines[36],
            "VELTOconsole /COM=1:9600 /Address=1 /nolog /Out1=1 /Out2=1 /ErrorCode=In1,In3  ");
  EXPECT_EQ(lines[37],
            "VELTOconsole /TCP=192.168.1.254:10001 /Address=#65 /Out3=Off:5s /ErrorCode=In5 ");
}

TEST(HelpText, DoesNotMentionUsb) {
  EXPECT_EQ(Help(false).find("USB"), std::string::npos);
}

TEST(HelpText, ColourFramesOnlyTheBanner) {
  const std::string text = Help(true);
  const std::string green = ConsoleAttributeSequence(kConsoleGreenOnBlack);
  const std::string grey = ConsoleAttributeSequence(kConsoleLightGreyOnBlack);
  EXPECT_EQ(text.find(green), 1u);
  EXPECT_EQ(text.find(grey),
            1u + green.size() +
                std::string("  VELTO console - Marvik\n  -----------------------------\n").size());
  EXPECT_EQ(text.find(green, 2), std::string::npos);
  EXPECT_EQ(text.find(grey, text.find(grey) + 1), std::string::npos);
}

// The shell and whatever runs after the help must not go on in grey on black.
TEST(HelpText, TerminalColoursRestoredAfterTheLastLine) {
  const std::string text = Help(true);
  const std::string reset = "\x1b[0m";
  ASSERT_GE(text.size(), reset.size());
  EXPECT_EQ(text.substr(text.size() - reset.size()), reset);
  EXPECT_EQ(text.find(reset), text.size() - reset.size()) << "only at the very end";
  EXPECT_EQ(Help(false).find('\x1b'), std::string::npos);
}

TEST(ConsoleColor, AttributesBecomeSgrSequences) {
  EXPECT_EQ(ConsoleAttributeSequence(0x02), "\x1b[0;32;40m");   // green on black
  EXPECT_EQ(ConsoleAttributeSequence(0x07), "\x1b[0;37;40m");   // light grey on black
  EXPECT_EQ(ConsoleAttributeSequence(0x1F), "\x1b[0;97;44m");   // bright white on blue
  EXPECT_EQ(ConsoleAttributeSequence(0x4E), "\x1b[0;93;41m");   // yellow on red
  EXPECT_EQ(ConsoleAttributeSequence(0x81), "\x1b[0;34;100m");  // blue on dark grey
}

TEST(ConsoleColor, DisabledWritesNothing) {
  TTextOut out;
  SetConsoleTextColor(out, kConsoleGreenOnBlack, false);
  EXPECT_TRUE(out.Text().empty());
  SetConsoleTextColor(out, kConsoleGreenOnBlack, true);
  EXPECT_EQ(out.Text(), "\x1b[0;32;40m");
}

TEST(ConsoleColor, ResetOnlyWhenEnabled) {
  TTextOut out;
  ResetConsoleTextColor(out, false);
  EXPECT_TRUE(out.Text().empty());
  ResetConsoleTextColor(out, true);
  EXPECT_EQ(out.Text(), "\x1b[0m");
}

}  // namespace
