#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/uTervan.h"

namespace {

using Members = std::vector<int>;

// ---------------------------------------------------------------- format set

TEST(TervanFormatsTest, HoldsTheWholeRangeAndNothingElse) {
  TTervanFormats f;
  EXPECT_TRUE(f.Empty());
  f.Add(64);
  f.Add(103);
  f.Add(97);
  f.Add(63);   // outside: ignored
  f.Add(104);  // outside: ignored
  EXPECT_EQ(f.Members(), (Members{64, 97, 103}));
  EXPECT_TRUE(f.Has(97));
  EXPECT_FALSE(f.Has(65));
  EXPECT_FALSE(f.Has(63));
  EXPECT_FALSE(f.Has(1000));
  f.Clear();
  EXPECT_TRUE(f.Empty());
}

// ---------------------------------------------------------------- formats part

TEST(ParseFormatsTest, FindsEachKnownFormat) {
  TTervanFormats f;
  ASSERT_TRUE(ParseFormats("F97", f));
  EXPECT_EQ(f.Members(), (Members{97}));
  ASSERT_TRUE(ParseFormats("F65,97", f));
  EXPECT_EQ(f.Members(), (Members{65, 97}));
  ASSERT_TRUE(ParseFormats("f66 65 97", f));
  EXPECT_EQ(f.Members(), (Members{65, 66, 97}));
}

TEST(ParseFormatsTest, LetterAloneGivesEmptySetAndSuccess) {
  TTervanFormats f;
  f.Add(97);
  ASSERT_TRUE(ParseFormats("F", f));
  EXPECT_TRUE(f.Empty());
}

TEST(ParseFormatsTest, WrongLetterLeavesTheSetUnchanged) {
  TTervanFormats f;
  f.Add(66);
  EXPECT_FALSE(ParseFormats("V97", f));
  EXPECT_FALSE(ParseFormats("", f));
  EXPECT_EQ(f.Members(), (Members{66}));
}

// ---------------------------------------------------------------- version part

TEST(ParseVersionTest, ThreePiecesAreCutToTheirWidths) {
  TTervanVersion v;
  ASSERT_TRUE(ParseVersion("V12345.6.7", v));
  EXPECT_EQ(v.Text, "12345.6.7");
  EXPECT_EQ(v.Major, "1234");
  EXPECT_EQ(v.Minor, "6");
  EXPECT_EQ(v.Release, "7");
  TTervanVersion lower;
  ASSERT_TRUE(ParseVersion("v12345.6.7", lower));
  EXPECT_EQ(lower, v);
}

TEST(ParseVersionTest, TwoPiecesFailButKeepTheText) {
  TTervanVersion v;
  EXPECT_FALSE(ParseVersion("V1.2", v));
  EXPECT_EQ(v.Text, "1.2");
  EXPECT_EQ(v.Major, "");
}

TEST(ParseVersionTest, FourPiecesFail) {
  TTervanVersion v;
  EXPECT_FALSE(ParseVersion("V1.2.3.4", v));
  EXPECT_EQ(v.Text, "1.2.3.4");
}

TEST(ParseVersionTest, TextIsCutToTen) {
  TTervanVersion v;
  ASSERT_TRUE(ParseVersion("V1.0203040506.0708", v));
  EXPECT_EQ(v.Text, "1.02030405");
  EXPECT_EQ(v.Minor, "02");
  EXPECT_EQ(v.Release, "07");
}

TEST(ParseVersionTest, WrongLetterOrEmptyFails) {
  TTervanVersion v;
  EXPECT_FALSE(ParseVersion("", v));
  EXPECT_FALSE(ParseVersion("F1.2.3", v));
  EXPECT_EQ(v.Text, "");
}

// ---------------------------------------------------------------- whole text

TEST(ParseTervanInfoTest, NameVersionFormatsAndExtras) {
  TTervanInfo info;
  std::vector<std::string> extras{"stale"};
  ASSERT_TRUE(ParseTervanInfo("Name;V1.02.03;F97;X", info, &extras));
  EXPECT_EQ(info.Raw, "Name;V1.02.03;F97;X");
  EXPECT_EQ(info.Name, "Name");
  EXPECT_EQ(info.Version.Major, "1");
  EXPECT_EQ(info.Version.Minor, "02");
  EXPECT_EQ(info.Version.Release, "03");
  EXPECT_EQ(info.Formats.Members(), (Members{97}));
  EXPECT_EQ(extras, (std::vector<std::string>{"X"}));
}

TEST(ParseTervanInfoTest, FewerThanThreePartsFail) {
  TTervanInfo info;
  info.Name = "old";
  std::vector<std::string> extras{"stale"};
  EXPECT_FALSE(ParseTervanInfo("Name;V1.02.03", info, &extras));
  EXPECT_EQ(info.Raw, "Name;V1.02.03");
  EXPECT_EQ(info.Name, "");
  EXPECT_TRUE(extras.empty());
  // A trailing separator adds no part.
  EXPECT_FALSE(ParseTervanInfo("Name;V1.02.03;", info));
  EXPECT_FALSE(ParseTervanInfo("", info));
}

TEST(ParseTervanInfoTest, NeedsBothVersionAndFormats) {
  TTervanInfo info;
  EXPECT_FALSE(ParseTervanInfo("Name;V1.02.03;X", info));
  EXPECT_FALSE(ParseTervanInfo("Name;F97;X", info));
  EXPECT_FALSE(ParseTervanInfo("Name;V1.2;F97", info));  // version with two pieces
}

TEST(ParseTervanInfoTest, PartsAreTrimmedAndEmptyPartsSkipped) {
  TTervanInfo info;
  std::vector<std::string> extras;
  ASSERT_TRUE(ParseTervanInfo("  IO module \t; ;\tv2.0.1 ;  f65,97\r\n", info, &extras));
  EXPECT_EQ(info.Name, "IO module");
  EXPECT_EQ(info.Version.Text, "2.0.1");
  EXPECT_EQ(info.Formats.Members(), (Members{65, 97}));
  EXPECT_TRUE(extras.empty());
}

TEST(ParseTervanInfoTest, LineBreaksSplitLikeSemicolons) {
  TTervanInfo info;
  std::vector<std::string> extras;
  ASSERT_TRUE(ParseTervanInfo("Name\r\nV1.0.0\nF97\rSN123", info, &extras));
  EXPECT_EQ(info.Name, "Name");
  EXPECT_EQ(extras, (std::vector<std::string>{"SN123"}));
}

TEST(ParseTervanInfoTest, LastPartOfAKindDecides) {
  TTervanInfo info;
  EXPECT_FALSE(ParseTervanInfo("N;V1.0.0;F97;V9", info));
  EXPECT_EQ(info.Version.Text, "9");
  ASSERT_TRUE(ParseTervanInfo("N;V9;F66;V1.0.0;F97", info));
  EXPECT_EQ(info.Formats.Members(), (Members{97}));
  EXPECT_EQ(info.Version.Major, "1");
}

TEST(ParseTervanInfoTest, ExtrasMayBeOmitted) {
  TTervanInfo info;
  EXPECT_TRUE(ParseTervanInfo("N;A;B;V1.0.0;F97;C", info));
  EXPECT_EQ(info.Name, "N");
}

}  // namespace
