#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "framework/uStrUtils.h"

namespace {

std::optional<std::int32_t> Parse(std::string_view text) {
  std::int32_t value = 12345;
  if (!TryParseInt(text, value)) {
    EXPECT_EQ(value, 12345) << "a failed conversion must leave the value alone: '" << text << "'";
    return std::nullopt;
  }
  return value;
}

TEST(TryParseIntDecimal, PlainDigits) {
  EXPECT_EQ(Parse("49"), 49);
  EXPECT_EQ(Parse("0"), 0);
  EXPECT_EQ(Parse("007"), 7);
}

TEST(TryParseIntDecimal, SignsAndLeadingBlanks) {
  EXPECT_EQ(Parse("-5"), -5);
  EXPECT_EQ(Parse("+5"), 5);
  EXPECT_EQ(Parse("   12"), 12);
  EXPECT_EQ(Parse("  -12"), -12);
}

TEST(TryParseIntDecimal, RefusesAnythingAfterTheDigits) {
  EXPECT_EQ(Parse("12 "), std::nullopt);
  EXPECT_EQ(Parse("12a"), std::nullopt);
  EXPECT_EQ(Parse("1.5"), std::nullopt);
  EXPECT_EQ(Parse("5s"), std::nullopt);
}

TEST(TryParseIntDecimal, RefusesEmptyAndSignOnly) {
  EXPECT_EQ(Parse(""), std::nullopt);
  EXPECT_EQ(Parse("   "), std::nullopt);
  EXPECT_EQ(Parse("-"), std::nullopt);
  EXPECT_EQ(Parse("+"), std::nullopt);
  EXPECT_EQ(Parse("- 5"), std::nullopt);
  EXPECT_EQ(Parse("--5"), std::nullopt);
}

TEST(TryParseIntHex, AllFivePrefixesGiveTheSameValue) {
  for (const char* text : {"$31", "x31", "X31", "0x31", "0X31", "49"}) {
    EXPECT_EQ(Parse(text), 49) << text;
  }
}

TEST(TryParseIntHex, DigitsInEitherCaseAndSigned) {
  EXPECT_EQ(Parse("$fF"), 255);
  EXPECT_EQ(Parse("-$10"), -16);
  EXPECT_EQ(Parse(" 0x7f"), 127);
}

TEST(TryParseIntHex, RefusesPrefixWithoutDigitsOrWithBadDigits) {
  EXPECT_EQ(Parse("$"), std::nullopt);
  EXPECT_EQ(Parse("0x"), std::nullopt);
  EXPECT_EQ(Parse("x"), std::nullopt);
  EXPECT_EQ(Parse("$1G"), std::nullopt);
  EXPECT_EQ(Parse("0x$1"), std::nullopt);
  EXPECT_EQ(Parse("1F"), std::nullopt);  // hex digits need a prefix
}

TEST(TryParseIntRange, SignedThirtyTwoBitLimits) {
  EXPECT_EQ(Parse("2147483647"), 2147483647);
  EXPECT_EQ(Parse("-2147483648"), INT32_MIN);
  EXPECT_EQ(Parse("$7FFFFFFF"), 2147483647);
  EXPECT_EQ(Parse("-$80000000"), INT32_MIN);
  EXPECT_EQ(Parse("2147483648"), std::nullopt);
  EXPECT_EQ(Parse("-2147483649"), std::nullopt);
  EXPECT_EQ(Parse("$80000000"), std::nullopt);
  EXPECT_EQ(Parse("$FFFFFFFF"), std::nullopt);
  EXPECT_EQ(Parse("99999999999999999999999999"), std::nullopt);
}

struct Split {
  bool ok;
  std::string head;
  std::string tail;
};

Split DoSplit(std::string_view text, std::string_view delimiter) {
  Split s{false, "stale", "stale"};
  s.ok = SplitFirst(text, delimiter, s.head, s.tail);
  return s;
}

TEST(SplitFirstTest, SplitsAtTheFirstDelimiterOnly) {
  Split s = DoSplit("a:b:c", ":");
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.head, "a");
  EXPECT_EQ(s.tail, "b:c");
}

TEST(SplitFirstTest, NoDelimiterGivesWholeTextAsHead) {
  Split s = DoSplit("abc", ":");
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.head, "abc");
  EXPECT_EQ(s.tail, "");
}

TEST(SplitFirstTest, DelimiterAtEitherEnd) {
  Split s = DoSplit(":x", ":");
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.head, "");
  EXPECT_EQ(s.tail, "x");
  s = DoSplit("x:", ":");
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.head, "x");
  EXPECT_EQ(s.tail, "");
}

TEST(SplitFirstTest, EmptyTextFailsAndClearsBoth) {
  Split s = DoSplit("", ":");
  EXPECT_FALSE(s.ok);
  EXPECT_EQ(s.head, "");
  EXPECT_EQ(s.tail, "");
}

TEST(SplitFirstTest, MultiCharacterDelimiter) {
  Split s = DoSplit("key=>value=>more", "=>");
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.head, "key");
  EXPECT_EQ(s.tail, "value=>more");
}

TEST(SplitFirstTest, OutputMayBeTheInput) {
  std::string rest = "1.2.3";
  std::string head;
  ASSERT_TRUE(SplitFirst(rest, ".", head, rest));
  EXPECT_EQ(head, "1");
  EXPECT_EQ(rest, "2.3");
  ASSERT_TRUE(SplitFirst(rest, ".", rest, head));
  EXPECT_EQ(rest, "2");
  EXPECT_EQ(head, "3");
}

TEST(TrimControlTest, RemovesBlanksAndControlCharactersAtBothEnds) {
  EXPECT_EQ(TrimControl(" \t\r\n ab c \x01\x1f"), "ab c");
  EXPECT_EQ(TrimControl("   "), "");
  EXPECT_EQ(TrimControl(""), "");
  EXPECT_EQ(TrimControl("x"), "x");
}

TEST(TrimControlTest, KeepsBytesAbove127) {
  EXPECT_EQ(TrimControl("\xE9 x \xE9"), "\xE9 x \xE9");
}

TEST(CaseHelpers, AsciiOnly) {
  EXPECT_EQ(UpperCase("abc/Out1=on:5s\xE9"), "ABC/OUT1=ON:5S\xE9");
  EXPECT_EQ(LowerCase("ABC/Out1=ON\xC9"), "abc/out1=on\xC9");
  EXPECT_TRUE(SameText("Provider", "PROVIDER"));
  EXPECT_FALSE(SameText("Provider", "PROVIDERS"));
  EXPECT_FALSE(SameText("\xE9", "\xC9"));
}

}  // namespace
