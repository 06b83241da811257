#include <gtest/gtest.h>

#include <string>

#include "protocol/uTervan97.h"

namespace {

TBytes Hex(const char* hex) {
  return BytesFromHex(hex);
}

// ---------------------------------------------------------------- checksum

TEST(PacketChecksumTest, IsFFMinusTheByteSum) {
  EXPECT_EQ(PacketChecksum(TBytes{}), 0xFF);
  EXPECT_EQ(PacketChecksum(Hex("2A 61 00 05 31 02 F3")), 0x49);
  // The sum wraps modulo 256.
  EXPECT_EQ(PacketChecksum(TBytes{0xFF, 0xFF, 0x03}), static_cast<std::uint8_t>(0xFF - 0x01));
}

TEST(PacketChecksumTest, WholePacketSumsToFF) {
  TBytes packet = BuildPacket(0x12, 0x34, 0x56, BytesOf("some data"));
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < packet.size(); ++i) sum += packet[i];
  EXPECT_EQ(sum & 0xFF, 0xFFu);
}

TEST(PacketChecksumTest, SpanLimit) {
  TBytes atLimit(0xFFFF, 0x01);
  EXPECT_EQ(PacketChecksum(atLimit), static_cast<std::uint8_t>(0xFF - (0xFFFF & 0xFF)));
  TBytes over(0x10000, 0x01);
  EXPECT_THROW(PacketChecksum(over), ETervanPacketError);
}

// ---------------------------------------------------------------- build

TEST(BuildPacketTest, KnownFrames) {
  EXPECT_EQ(HexOf(BuildPacket(0x31, 0x02, 0xF3, {})), "2A 61 00 05 31 02 F3 49 0D");
  EXPECT_EQ(HexOf(BuildPacket(0xFE, 0x00, 0xF0, {})), "2A 61 00 05 FE 00 F0 81 0D");
  EXPECT_EQ(HexOf(BuildPacket(0x31, 0x05, 0x00, BytesOf("abc"))),
            "2A 61 00 08 31 05 00 61 62 63 10 0D");
}

TEST(BuildPacketTest, OutputOnRequestOnTheWire) {
  EXPECT_EQ(HexOf(BuildPacket(0x31, 0, 0x20, {0x83})), "2A 61 00 06 31 00 20 83 9A 0D");
  EXPECT_EQ(HexOf(BuildPacket(0x31, 0, 0x31, {})), "2A 61 00 05 31 00 31 0D 0D");
}

TEST(BuildPacketTest, DataIsCarriedVerbatim) {
  TBytes data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<std::uint8_t>(i));
  TBytes packet = BuildPacket(1, 2, 3, data);
  ASSERT_EQ(packet.size(), data.size() + 9);
  EXPECT_EQ(packet[2], 0x01);  // 261 = 0x0105, high byte first
  EXPECT_EQ(packet[3], 0x05);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), packet.begin() + 7));
}

TEST(BuildPacketTest, LargestBuildablePacketChecksOut) {
  TBytes data(65528, 0xA5);
  TBytes packet = BuildPacket(0x31, 7, 0x20, data);
  EXPECT_EQ(packet.size(), 65537u);
  EXPECT_EQ(CheckPacket(packet), 0);
  EXPECT_EQ(ParsePacket(packet).Data, data);
}

TEST(BuildPacketTest, OversizedDataRaisesAndBuildsNothing) {
  for (std::size_t n : {65529u, 65530u, 65531u, 70000u}) {
    EXPECT_THROW(BuildPacket(0x31, 0, 0x20, TBytes(n, 0)), ETervanPacketError) << n;
  }
}

// ---------------------------------------------------------------- extract

TEST(ExtractPacketTest, WaitsForTheWholePacket) {
  TBytes buffer = Hex("2A 61 00 05 31 02 F3 49");
  EXPECT_TRUE(ExtractPacket(buffer, true).empty());
  EXPECT_EQ(buffer.size(), 8u);
  buffer.push_back(0x0D);
  EXPECT_EQ(HexOf(ExtractPacket(buffer, true)), "2A 61 00 05 31 02 F3 49 0D");
  EXPECT_TRUE(buffer.empty());
}

TEST(ExtractPacketTest, RemoveFalseLeavesTheBuffer) {
  TBytes buffer = Hex("2A 61 00 05 31 02 F3 49 0D 2A");
  EXPECT_EQ(ExtractPacket(buffer, false).size(), 9u);
  EXPECT_EQ(buffer.size(), 10u);
}

TEST(ExtractPacketTest, RemoveCutsOnlyTheFirstPacket) {
  TBytes buffer = BuildPacket(1, 1, 1, {});
  TBytes second = BuildPacket(2, 2, 2, {0x55});
  buffer.insert(buffer.end(), second.begin(), second.end());
  EXPECT_EQ(ExtractPacket(buffer, true), BuildPacket(1, 1, 1, {}));
  EXPECT_EQ(buffer, second);
}

TEST(ExtractPacketTest, NeedsThePrefixAtTheVeryFront) {
  TBytes buffer = Hex("00 2A 61 00 05 31 02 F3 49 0D");
  EXPECT_TRUE(ExtractPacket(buffer, true).empty());
  EXPECT_EQ(buffer.size(), 10u);
  buffer = Hex("2A 62 00 05 31 02 F3 49 0D");
  EXPECT_TRUE(ExtractPacket(buffer, true).empty());
}

TEST(ExtractPacketTest, ShortBuffers) {
  for (const char* hex : {"", "2A", "2A 61", "2A 61 00"}) {
    TBytes buffer = Hex(hex);
    EXPECT_TRUE(ExtractPacket(buffer, true).empty()) << hex;
    EXPECT_EQ(ExtractPacketLength(buffer.data(), buffer.size()), 0u) << hex;
  }
}

TEST(ExtractPacketTest, DoesNotCheckTheContent) {
  // Length 0 frames a 4-byte candidate; the check is a separate step.
  TBytes buffer = Hex("2A 61 00 00 FF");
  EXPECT_EQ(HexOf(ExtractPacket(buffer, true)), "2A 61 00 00");
  EXPECT_EQ(HexOf(buffer), "FF");
}

TEST(ExtractPacketTest, PointerFormWorksAtAnOffset) {
  TBytes buffer = Hex("EE EE 2A 61 00 05 31 02 F3 49 0D 2A 61");
  EXPECT_EQ(ExtractPacketLength(buffer.data() + 2, buffer.size() - 2), 9u);
  EXPECT_EQ(ExtractPacketLength(buffer.data() + 11, 2), 0u);
}

// ---------------------------------------------------------------- check

TEST(CheckPacketTest, EveryBuiltPacketIsValid) {
  EXPECT_EQ(CheckPacket(BuildPacket(0, 0, 0, {})), 0);
  EXPECT_EQ(CheckPacket(BuildPacket(0xFE, 0xFF, 0x0C, BytesOf("*a\r\n"))), 0);
  EXPECT_EQ(CheckPacket(Hex("2A 61 00 07 31 00 00 00 05 37 0D")), 0);
}

TEST(CheckPacketTest, AnyChangedByteBeforeTheChecksumIsCaught) {
  const TBytes good = BuildPacket(0x31, 0x05, 0x00, BytesOf("abc"));
  for (std::size_t i = 2; i + 2 < good.size(); ++i) {
    TBytes bad = good;
    bad[i] ^= 0x01;
    EXPECT_EQ(CheckPacket(bad), (i == 2 || i == 3) ? 4 : 5) << "offset " << i;
  }
}

TEST(CheckPacketTest, CodesInOrder) {
  EXPECT_EQ(CheckPacket(TBytes{}), 1);
  // An 8-byte frame with a correct checksum is still too short.
  TBytes eight = Hex("2A 61 00 04 01 02");
  eight.push_back(PacketChecksum(eight));
  eight.push_back(0x0D);
  ASSERT_EQ(eight.size(), 8u);
  EXPECT_EQ(CheckPacket(eight), 1);

  TBytes p = BuildPacket(0x31, 0, 0x31, {});
  TBytes bad = p;
  bad[0] = '#';
  EXPECT_EQ(CheckPacket(bad), 2);
  bad = p;
  bad[1] = 'b';
  EXPECT_EQ(CheckPacket(bad), 3);
  bad = p;
  bad.push_back(0);
  EXPECT_EQ(CheckPacket(bad), 4);
  bad = p;
  bad[7] ^= 0xFF;
  EXPECT_EQ(CheckPacket(bad), 5);
  bad = p;
  bad[8] = 0x0A;
  EXPECT_EQ(CheckPacket(bad), 6);
}

TEST(CheckPacketTest, FirstFailingTestDecides) {
  // Wrong prefix and wrong terminator: the prefix is reported.
  TBytes p = BuildPacket(0x31, 0, 0x31, {});
  p[0] = 0;
  p[8] = 0;
  EXPECT_EQ(CheckPacket(p), 2);
}

TEST(CheckPacketTest, LargestLengthFieldsAreInvalidNotAnError) {
  for (std::size_t length : {0xFFFEu, 0xFFFFu}) {
    TBytes p(length + 4, 0x00);
    p[0] = '*';
    p[1] = 'a';
    p[2] = static_cast<std::uint8_t>(length >> 8);
    p[3] = static_cast<std::uint8_t>(length & 0xFF);
    p.back() = 0x0D;
    int code = -1;
    EXPECT_NO_THROW(code = CheckPacket(p)) << length;
    EXPECT_NE(code, 0) << length;
    EXPECT_NO_THROW(code = CheckPacket(p.data(), p.size()));
    EXPECT_NE(code, 0);
  }
}

// ---------------------------------------------------------------- parse

TEST(ParsePacketTest, FieldsOfAnAnswer) {
  TTervanFormat97 rec = ParsePacket(Hex("2A 61 00 07 31 00 00 00 05 37 0D"));
  EXPECT_EQ(rec.Prefix, '*');
  EXPECT_EQ(rec.Format, 'a');
  EXPECT_EQ(rec.Length, 7);
  EXPECT_EQ(rec.ADR, 0x31);
  EXPECT_EQ(rec.SIG, 0x00);
  EXPECT_EQ(rec.INST, 0x00);
  EXPECT_EQ(HexOf(rec.Data), "00 05");
  EXPECT_EQ(rec.SUM, 0x37);
  EXPECT_EQ(rec.CR, 0x0D);
}

TEST(ParsePacketTest, RoundTripWithBuild) {
  TBytes data = BytesOf(std::string("\0\r\n*a", 5));
  TTervanFormat97 rec = ParsePacket(BuildPacket(0xFE, 0x7F, 0x0D, data));
  EXPECT_EQ(rec.ADR, 0xFE);
  EXPECT_EQ(rec.SIG, 0x7F);
  EXPECT_EQ(rec.INST, 0x0D);
  EXPECT_EQ(rec.Data, data);
  EXPECT_EQ(rec.Length, 10);
}

TEST(ParsePacketTest, DoesNotTestPrefixChecksumOrTerminator) {
  TTervanFormat97 rec = ParsePacket(Hex("00 00 00 05 01 02 03 99 77"));
  EXPECT_EQ(rec.Prefix, 0);
  EXPECT_EQ(rec.SUM, 0x99);
  EXPECT_EQ(rec.CR, 0x77);
}

void ExpectIncorrect(const TBytes& bytes) {
  try {
    ParsePacket(bytes);
    ADD_FAILURE() << "no error for " << HexOf(bytes);
  } catch (const ETervanPacketError& e) {
    EXPECT_STREQ(e.what(), "Incorrect PACKET (Tervan format 97)!");
  }
}

TEST(ParsePacketTest, FailuresCarryTheOneMessage) {
  ExpectIncorrect({});
  ExpectIncorrect(Hex("2A 61 00 05 31 02 F3 49"));     // too short
  ExpectIncorrect(Hex("2A 61 00 09 31 02 F3 49 0D"));  // length beyond the end
  ExpectIncorrect(Hex("2A 61 FF FF 31 02 F3 49 0D"));  // length far beyond the end
  ExpectIncorrect(Hex("2A 61 00 04 31 02 F3 49 0D"));  // length below the fixed fields
}

TEST(ParsePacketTest, PointerFormReadsAtAnOffset) {
  TBytes buffer = Hex("EE 2A 61 00 06 31 00 20 83 9A 0D");
  TTervanFormat97 rec = ParsePacket(buffer.data() + 1, buffer.size() - 1);
  EXPECT_EQ(rec.INST, 0x20);
  EXPECT_EQ(HexOf(rec.Data), "83");
}

TEST(PacketRecordTest, CopiesOwnTheirData) {
  TTervanFormat97 a = ParsePacket(BuildPacket(1, 2, 3, {9, 8, 7}));
  TTervanFormat97 b = a;
  b.Data[0] = 0;
  EXPECT_EQ(a.Data[0], 9);
  EXPECT_NE(a, b);
}

}  // namespace
