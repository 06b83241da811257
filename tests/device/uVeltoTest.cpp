#include <gtest/gtest.h>

#include "device/uVelto.h"

namespace {

TVeltoIOArray OnStates(std::size_t count, std::initializer_list<int> onNumbers) {
  TVeltoIOArray states(count, false);
  for (int n : onNumbers) states[static_cast<std::size_t>(n - 1)] = true;
  return states;
}

// --- Identification ---------------------------------------------------------

TEST(VeltoInfoParse, NameWithInterfaceAndCounts) {
  TVeltoInfo info;
  ASSERT_TRUE(ParseVeltoInfo("VELTO ETH 8/4;V1.02.03;F97", info));
  EXPECT_EQ(info.InterfaceType, "ETH");
  EXPECT_EQ(info.InputCount, 8);
  EXPECT_EQ(info.OutputCount, 4);
  EXPECT_EQ(info.ThermometerCount, 0);
  EXPECT_EQ(info.Identification.Name, "VELTO ETH 8/4");
  EXPECT_EQ(info.Identification.Raw, "VELTO ETH 8/4;V1.02.03;F97");
  EXPECT_EQ(info.Identification.Version.Major, "1");
  EXPECT_TRUE(info.Identification.Formats.Has(97));
}

TEST(VeltoInfoParse, CountsWordRightBeforeTheSeparator) {
  TVeltoInfo info;
  ASSERT_TRUE(ParseVeltoInfo("VELTO USB 16/8;V1.0.0;F97", info));
  EXPECT_EQ(info.InterfaceType, "USB");
  EXPECT_EQ(info.InputCount, 16);
  EXPECT_EQ(info.OutputCount, 8);
}

TEST(VeltoInfoParse, CountsWordFirstAndInterfaceLast) {
  TVeltoInfo info;
  ASSERT_TRUE(ParseVeltoInfo("Velto 2/1 rs;V1.0.0;F97", info));
  EXPECT_EQ(info.InterfaceType, "RS");
  EXPECT_EQ(info.InputCount, 2);
  EXPECT_EQ(info.OutputCount, 1);
}

TEST(VeltoInfoParse, CountsInHexadecimalNotation) {
  TVeltoInfo info;
  ASSERT_TRUE(ParseVeltoInfo("VELTO ETH $10/0x8;V1.0.0;F97", info));
  EXPECT_EQ(info.InputCount, 16);
  EXPECT_EQ(info.OutputCount, 8);
}

TEST(VeltoInfoParse, ModuleWithoutInputs) {
  TVeltoInfo info;
  ASSERT_TRUE(ParseVeltoInfo("VELTO ETH 0/4;V1.0.0;F97", info));
  EXPECT_EQ(info.InputCount, 0);
  EXPECT_EQ(info.OutputCount, 4);
}

TEST(VeltoInfoParse, LastCountsWordDecides) {
  TVeltoInfo info;
  ASSERT_TRUE(ParseVeltoInfo("VELTO 8/4 16/8;V1.0.0;F97", info));
  EXPECT_EQ(info.InputCount, 16);
  EXPECT_EQ(info.OutputCount, 8);

  EXPECT_FALSE(ParseVeltoInfo("VELTO 8/4 2/x;V1.0.0;F97", info));
  EXPECT_EQ(info.InputCount, -1);
  EXPECT_EQ(info.OutputCount, -1);
}

TEST(VeltoInfoParse, WordsThatAreNotInterfaceNames) {
  TVeltoInfo info;
  ASSERT_TRUE(ParseVeltoInfo("VELTO ETHERNET 8/4;V1.0.0;F97", info));
  EXPECT_EQ(info.InterfaceType, "");
}

TEST(VeltoInfoParse, NameNotBeginningWithVeltoFails) {
  TVeltoInfo info;
  EXPECT_FALSE(ParseVeltoInfo("RELAY ETH 8/4;V1.02.03;F97", info));
  EXPECT_EQ(info.InputCount, -1);
  EXPECT_EQ(info.OutputCount, -1);
  EXPECT_EQ(info.InterfaceType, "");
}

TEST(VeltoInfoParse, NameWithoutCountsWordFails) {
  TVeltoInfo info;
  EXPECT_FALSE(ParseVeltoInfo("VELTO ETH;V1.02.03;F97", info));
  EXPECT_EQ(info.InputCount, -1);
  EXPECT_EQ(info.InterfaceType, "ETH");
}

TEST(VeltoInfoParse, CountsWordThatDoesNotConvertFails) {
  TVeltoInfo info;
  EXPECT_FALSE(ParseVeltoInfo("VELTO ETH 8/x;V1.02.03;F97", info));
  EXPECT_EQ(info.InputCount, -1);
  EXPECT_EQ(info.OutputCount, -1);
  EXPECT_FALSE(ParseVeltoInfo("VELTO ETH /4;V1.02.03;F97", info));
  EXPECT_FALSE(ParseVeltoInfo("VELTO ETH 8/4/2;V1.02.03;F97", info));
}

TEST(VeltoInfoParse, GeneralRecordMustParse) {
  TVeltoInfo info;
  EXPECT_FALSE(ParseVeltoInfo("VELTO ETH 8/4;V1.02.03", info));  // two items only
  EXPECT_FALSE(ParseVeltoInfo("VELTO ETH 8/4;X;F97", info));     // no version item
  EXPECT_EQ(info.InputCount, -1);
}

TEST(VeltoInfoParse, ThermometerItem) {
  TVeltoInfo info;
  ASSERT_TRUE(ParseVeltoInfo("VELTO ETH 8/4;V1.02.03;F97;T2", info));
  EXPECT_EQ(info.ThermometerCount, 2);
  ASSERT_TRUE(ParseVeltoInfo("VELTO ETH 8/4;V1.02.03;F97;t1;Tx;T3;X9", info));
  EXPECT_EQ(info.ThermometerCount, 3);
  ASSERT_TRUE(ParseVeltoInfo("VELTO ETH 8/4;V1.02.03;F97;Tnone", info));
  EXPECT_EQ(info.ThermometerCount, 0);
}

TEST(VeltoInfoParse, EarlierResultsAreReset) {
  TVeltoInfo info;
  ASSERT_TRUE(ParseVeltoInfo("VELTO ETH 8/4;V1.02.03;F97;T2", info));
  EXPECT_FALSE(ParseVeltoInfo("VELTO 8/4;V1.02.03", info));
  EXPECT_EQ(info.InterfaceType, "");
  EXPECT_EQ(info.InputCount, -1);
  EXPECT_EQ(info.OutputCount, -1);
  EXPECT_EQ(info.ThermometerCount, 0);
}

// --- State bytes -------------------------------------------------------------

TEST(VeltoDecodeBits, LastByteCarriesTheFirstStates) {
  TVeltoIOArray states;
  ASSERT_TRUE(DecodeBits({0x01, 0x80}, states));
  EXPECT_EQ(states, OnStates(16, {8, 9}));
}

TEST(VeltoDecodeBits, WorkedExampleInputsOneAndThree) {
  TVeltoIOArray states;
  ASSERT_TRUE(DecodeBits({0x00, 0x05}, states));
  EXPECT_EQ(states, OnStates(16, {1, 3}));
}

TEST(VeltoDecodeBits, EmptyAnswerDecodesNothing) {
  TVeltoIOArray states;
  EXPECT_FALSE(DecodeBits({}, states));
  EXPECT_TRUE(states.empty());
  TVeltoIOArray kept(4, true);
  EXPECT_FALSE(DecodeBits({}, kept));
  EXPECT_EQ(kept, TVeltoIOArray(4, true));
}

TEST(VeltoDecodeBits, NonEmptyArrayKeepsItsLength) {
  TVeltoIOArray states(3, false);
  ASSERT_TRUE(DecodeBits({0xFF, 0x05}, states));
  EXPECT_EQ(states, OnStates(3, {1, 3}));
}

TEST(VeltoDecodeBits, StatesBeyondTheAnswerAreLeftAlone) {
  TVeltoIOArray states(12, true);
  ASSERT_TRUE(DecodeBits({0x00}, states));
  EXPECT_EQ(states, TVeltoIOArray({false, false, false, false, false, false, false, false, true,
                                   true, true, true}));
}

TEST(VeltoDecodeBits, WantedLengthResizes) {
  TVeltoIOArray states(16, true);
  ASSERT_TRUE(DecodeBits({0x05}, states, 4));
  EXPECT_EQ(states, OnStates(4, {1, 3}));

  TVeltoIOArray grown;
  ASSERT_TRUE(DecodeBits({0x80}, grown, 10));
  EXPECT_EQ(grown, OnStates(10, {8}));

  TVeltoIOArray none(5, true);
  EXPECT_FALSE(DecodeBits({0xFF}, none, 0));
  EXPECT_TRUE(none.empty());
}

// --- Request bytes -----------------------------------------------------------

TEST(VeltoOutputCommand, StateInBitSevenNumberInLowBits) {
  EXPECT_EQ(PackOutputCommand(3, true), 0x83);
  EXPECT_EQ(PackOutputCommand(3, false), 0x03);
  EXPECT_EQ(PackOutputCommand(127, false), 0x7F);
  EXPECT_EQ(PackOutputCommand(129, false), 0x01);  // only the low seven bits
}

TEST(VeltoCounterRequest, ClearFlagAndIndex) {
  EXPECT_EQ(PackCounterRequest(true, 3), 0x83);
  EXPECT_EQ(PackCounterRequest(false, 3), 0x03);
  EXPECT_EQ(PackCounterRequest(true, 0), 0x80);
  EXPECT_EQ(PackCounterRequest(false, 0x7F), 0x3F);  // bit 6 stays clear
  EXPECT_EQ(PackCounterRequest(false, 64), 0x00);
}

TEST(VeltoCounterConfig, PackedFlags) {
  EXPECT_EQ(PackCounterConfig(5, true, false), 0x85);
  EXPECT_EQ(PackCounterConfig(5, false, true), 0x45);
  EXPECT_EQ(PackCounterConfig(60, true, true), 0xFC);
  EXPECT_EQ(PackCounterConfig(65, false, false), 0x01);
}

TEST(VeltoCounterConfig, FindsTheFirstMatchingByte) {
  const TBytes answer = {0x85, 0x46, 0x05};
  bool first = false;
  bool second = true;
  ASSERT_TRUE(FindCounterConfig(answer, 5, first, second));
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  ASSERT_TRUE(FindCounterConfig(answer, 6, first, second));
  EXPECT_FALSE(first);
  EXPECT_TRUE(second);
}

TEST(VeltoCounterConfig, MissingIndexLeavesFlags) {
  bool first = true;
  bool second = true;
  EXPECT_FALSE(FindCounterConfig({0x85, 0x46}, 7, first, second));
  EXPECT_FALSE(FindCounterConfig({}, 1, first, second));
  EXPECT_FALSE(FindCounterConfig({0x40}, 64, first, second));
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
}

// --- Counter values ----------------------------------------------------------

TEST(VeltoCounterValue, SixteenBitValues) {
  const TBytes answer = {0x10, 0x01, 0x02, 0x00, 0x05};
  TCounterReading reading;
  ASSERT_TRUE(ExtractCounterValue(answer, 1, reading));
  EXPECT_EQ(reading.Width, 16);
  EXPECT_EQ(reading.Value, 258u);
  ASSERT_TRUE(ExtractCounterValue(answer, 2, reading));
  EXPECT_EQ(reading.Value, 5u);
  EXPECT_FALSE(ExtractCounterValue(answer, 3, reading));
}

TEST(VeltoCounterValue, ThirtyTwoBitValue) {
  TCounterReading reading;
  ASSERT_TRUE(ExtractCounterValue({0x20, 0x00, 0x00, 0x01, 0x00}, 1, reading));
  EXPECT_EQ(reading.Value, 256u);
  ASSERT_TRUE(ExtractCounterValue({0x20, 0xFF, 0xFF, 0xFF, 0xFE}, 1, reading));
  EXPECT_EQ(reading.Value, 0xFFFFFFFEu);
}

TEST(VeltoCounterValue, OddWidthsRoundUpToWholeBytes) {
  TCounterReading reading;
  ASSERT_TRUE(ExtractCounterValue({0x0C, 0x0F, 0xFF, 0x00, 0x01}, 2, reading));
  EXPECT_EQ(reading.Width, 12);
  EXPECT_EQ(reading.Value, 1u);
  ASSERT_TRUE(ExtractCounterValue({0x01, 0x01, 0x00}, 1, reading));
  EXPECT_EQ(reading.Value, 1u);
}

TEST(VeltoCounterValue, WiderThanThirtyTwoBitsKeepsLowBits) {
  TCounterReading reading;
  ASSERT_TRUE(ExtractCounterValue({0x28, 0x12, 0x00, 0x00, 0x00, 0x07}, 1, reading));
  EXPECT_EQ(reading.Width, 40);
  EXPECT_EQ(reading.Value, 7u);
}

TEST(VeltoCounterValue, MalformedAnswersFail) {
  TCounterReading reading;
  reading.Value = 99;
  EXPECT_FALSE(ExtractCounterValue({}, 1, reading));
  EXPECT_FALSE(ExtractCounterValue({0x00, 0x01}, 1, reading));         // width 0
  EXPECT_FALSE(ExtractCounterValue({0x10, 0x01}, 1, reading));         // half a value
  EXPECT_FALSE(ExtractCounterValue({0x10, 0x01, 0x02}, 0, reading));   // no position 0
  EXPECT_FALSE(ExtractCounterValue({0x10, 0x01, 0x02}, -1, reading));  // nor negative
  EXPECT_FALSE(ExtractCounterValue({0x10, 0x01, 0x02, 0x03}, 2, reading));
  EXPECT_EQ(reading.Value, 99u);
}

// --- Temperature -------------------------------------------------------------

TEST(VeltoTemperature, TenthsOfADegree) {
  double degrees = 0;
  std::uint8_t status = 0xAA;
  ASSERT_TRUE(DecodeTemperature({0x00, 0x00, 0xE7}, degrees, status));
  EXPECT_DOUBLE_EQ(degrees, 23.1);
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(DecodeTemperature({0x07, 0xFF, 0x38}, degrees, status));
  EXPECT_DOUBLE_EQ(degrees, -20.0);
  EXPECT_EQ(status, 7);
  ASSERT_TRUE(DecodeTemperature({0x00, 0x00, 0xFA}, degrees, status));
  EXPECT_DOUBLE_EQ(degrees, 25.0);
  ASSERT_TRUE(DecodeTemperature({0x00, 0x80, 0x00}, degrees, status));
  EXPECT_DOUBLE_EQ(degrees, -3276.8);
}

TEST(VeltoTemperature, WrongLengthFails) {
  double degrees = 1.5;
  std::uint8_t status = 9;
  EXPECT_FALSE(DecodeTemperature({0x00, 0xE7}, degrees, status));
  EXPECT_FALSE(DecodeTemperature({0x00, 0x00, 0x00, 0xE7}, degrees, status));
  EXPECT_FALSE(DecodeTemperature({}, degrees, status));
  EXPECT_DOUBLE_EQ(degrees, 1.5);
  EXPECT_EQ(status, 9);
}

// --- Labels ------------------------------------------------------------------

TEST(VeltoLabel, DecodeStripsTrailingZeros) {
  TBytes answer(21, 0);
  const std::string text = "3Boiler";
  std::copy(text.begin(), text.end(), answer.begin());
  std::string decoded;
  ASSERT_TRUE(DecodeLabel(answer, decoded));
  EXPECT_EQ(decoded, "3Boiler");
}

TEST(VeltoLabel, DecodeKeepsInnerZeros) {
  TBytes answer(21, 0);
  answer[0] = 'A';
  answer[2] = 'B';
  std::string decoded;
  ASSERT_TRUE(DecodeLabel(answer, decoded));
  EXPECT_EQ(decoded, std::string("A\0B", 3));
}

TEST(VeltoLabel, DecodeNeedsExactlyTwentyOneBytes) {
  std::string decoded;
  EXPECT_FALSE(DecodeLabel(TBytes(20, 'a'), decoded));
  EXPECT_FALSE(DecodeLabel(TBytes(22, 'a'), decoded));
  EXPECT_TRUE(DecodeLabel(TBytes(21, 0), decoded));
  EXPECT_EQ(decoded, "");
}

TEST(VeltoLabel, EncodePadsWithZeros) {
  const TBytes bytes = EncodeLabel(0x04, "1Pump");
  ASSERT_EQ(bytes.size(), 22u);
  EXPECT_EQ(bytes[0], 0x04);
  EXPECT_EQ(TextOf(TBytes(bytes.begin() + 1, bytes.begin() + 6)), "1Pump");
  for (std::size_t i = 6; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 0) << i;
}

TEST(VeltoLabel, EncodeCutsLongText) {
  const TBytes bytes = EncodeLabel(0xFF, "0123456789abcdefghijKLMNOP");
  ASSERT_EQ(bytes.size(), 22u);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(TextOf(TBytes(bytes.begin() + 1, bytes.end())), "0123456789abcdefghijK");
}

TEST(VeltoLabel, EncodeThenDecodeGivesTheText) {
  const TBytes bytes = EncodeLabel(1, "7Gate");
  std::string decoded;
  ASSERT_TRUE(DecodeLabel(TBytes(bytes.begin() + 1, bytes.end()), decoded));
  EXPECT_EQ(decoded, "7Gate");
}

}  // namespace
