// The instructions every module understands: request bytes and the use of
// the answers.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "framework/uTick.h"
#include "uStackTestKit.h"

namespace {

using namespace stacktest;

// A module that answers by instruction code; unknown codes stay silent.
class DeviceInstructionsTest : public StackFixture {
 protected:
  void SetUp() override {
    StackFixture::SetUp();
    Device = Attach(0x31);
    Transport->SetResponder(Peer([this](const TTervanFormat97& r) {
      auto it = Rules.find(r.INST);
      return it == Rules.end() ? TAnswer{0, {}, true} : it->second;
    }));
  }

  void TearDown() override {
    Device.reset();
    StackFixture::TearDown();
  }

  std::vector<TTervanFormat97> Requests() {
    std::vector<TTervanFormat97> out;
    for (const TBytes& w : Transport->Written()) out.push_back(ParsePacket(w));
    return out;
  }
  TTervanFormat97 OnlyRequest() {
    auto r = Requests();
    EXPECT_EQ(r.size(), 1u);
    return r.empty() ? TTervanFormat97{} : r[0];
  }

  std::map<std::uint8_t, TAnswer> Rules;
  TIntf<TProbeDevice> Device;
};

TEST_F(DeviceInstructionsTest, SendE3) {
  Rules[0xE3] = TAnswer{};
  EXPECT_TRUE(Device->SendE3());
  auto r = OnlyRequest();
  EXPECT_EQ(r.ADR, 0x31);
  EXPECT_EQ(r.INST, 0xE3);
  EXPECT_TRUE(r.Data.empty());
  Rules[0xE3] = TAnswer{1, {}};
  EXPECT_FALSE(Device->SendE3());
  EXPECT_EQ(Device->GetLastResult(), 4);
  EXPECT_EQ(Device->GetLastAck(), 1);
}

TEST_F(DeviceInstructionsTest, SendE4WaitsHalfASecondWhateverTheDefault) {
  Device->SetTimeout(5000);
  std::int64_t allowed = -1;
  Transport->SetResponder([&](const TBytes&) -> TBytes {
    allowed = static_cast<std::int32_t>(Device->SigItem(0).Deadline - GetTickCount32());
    return BuildPacket(0x31, 0, 0x00, {});
  });
  EXPECT_TRUE(Device->SendE4());
  EXPECT_GT(allowed, 400);
  EXPECT_LE(allowed, 500);
  EXPECT_EQ(OnlyRequest().INST, 0xE4);
  EXPECT_TRUE(OnlyRequest().Data.empty());
}

TEST_F(DeviceInstructionsTest, ReadTypeText) {
  Rules[0xF3] = TAnswer{0, BytesOf("VELTO-8;V1.02.03;F97")};
  std::string text = "old";
  EXPECT_TRUE(Device->ReadTypeText(text));
  EXPECT_EQ(text, "VELTO-8;V1.02.03;F97");
  Rules[0xF3] = TAnswer{3, {}};
  EXPECT_FALSE(Device->ReadTypeText(text));
  EXPECT_EQ(text, "VELTO-8;V1.02.03;F97");
}

TEST_F(DeviceInstructionsTest, ReadTypeSplitsNameVersionAndExtra) {
  Rules[0xF3] = TAnswer{0, BytesOf("Name;V2.5 rev7;Extra")};
  ASSERT_TRUE(Device->ReadType());
  EXPECT_EQ(Device->GetName(), "Name");
  EXPECT_EQ(Device->GetTypeVersion(), "7");  // after the first lower-case v
  EXPECT_EQ(Device->GetTypeExtra(), "Extra");
  EXPECT_TRUE(Device->GetTypeRead());
}

TEST_F(DeviceInstructionsTest, ReadTypeTrimsAndStopsTheExtraAtTheNextSeparator) {
  Rules[0xF3] = TAnswer{0, BytesOf(" Box \t; version 3 ;\r\nExtra ;more")};
  ASSERT_TRUE(Device->ReadType());
  EXPECT_EQ(Device->GetName(), "Box");
  EXPECT_EQ(Device->GetTypeVersion(), "ersion 3");  // everything after the first "v"
  EXPECT_EQ(Device->GetTypeExtra(), "Extra");
}

TEST_F(DeviceInstructionsTest, ReadTypeWithFewerParts) {
  Rules[0xF3] = TAnswer{0, BytesOf("Box;V1")};
  ASSERT_TRUE(Device->ReadType());
  EXPECT_EQ(Device->GetName(), "Box");
  EXPECT_EQ(Device->GetTypeVersion(), "");   // no second separator: no version piece
  EXPECT_EQ(Device->GetTypeExtra(), "Box");  // counted from the start again
  Rules[0xF3] = TAnswer{0, BytesOf("Solo")};
  ASSERT_TRUE(Device->ReadType());
  EXPECT_EQ(Device->GetName(), "");
  EXPECT_EQ(Device->GetTypeVersion(), "");
  EXPECT_EQ(Device->GetTypeExtra(), "Solo");
}

TEST_F(DeviceInstructionsTest, FailedReadTypeClearsWhatWasRead) {
  Rules[0xF3] = TAnswer{0, BytesOf("Name;V2.5 rev7;Extra")};
  ASSERT_TRUE(Device->ReadType());
  Rules.erase(0xF3);
  Device->SetTimeout(30);
  EXPECT_FALSE(Device->ReadType());
  EXPECT_EQ(Device->GetName(), "");
  EXPECT_EQ(Device->GetTypeVersion(), "");
  EXPECT_EQ(Device->GetTypeExtra(), "");
  EXPECT_FALSE(Device->GetTypeRead());
  EXPECT_EQ(Device->GetLastResult(), 2);
}

TEST_F(DeviceInstructionsTest, ReadByteF1) {
  Rules[0xF1] = TAnswer{0, {0x5A, 0x01}};
  std::uint8_t value = 0xEE;
  EXPECT_TRUE(Device->ReadByteF1(value));
  EXPECT_EQ(value, 0x5A);
  EXPECT_EQ(Device->GetValueF1(), 0x5A);
  Rules[0xF1] = TAnswer{0, {}};
  value = 0xEE;
  EXPECT_TRUE(Device->ReadByteF1(value));
  EXPECT_EQ(value, 0);
  EXPECT_EQ(Device->GetValueF1(), 0x5A);
  Rules[0xF1] = TAnswer{1, {0x22}};
  value = 0xEE;
  EXPECT_FALSE(Device->ReadByteF1(value));
  EXPECT_EQ(value, 0);
}

TEST_F(DeviceInstructionsTest, WriteByteE1) {
  Rules[0xE1] = TAnswer{};
  EXPECT_TRUE(Device->WriteByteE1(0x42));
  EXPECT_EQ(OnlyRequest().Data, TBytes{0x42});
  EXPECT_EQ(Device->GetValueF1(), 0x42);
  Rules[0xE1] = TAnswer{2, {}};
  EXPECT_FALSE(Device->WriteByteE1(0x43));
  EXPECT_EQ(Device->GetValueF1(), 0x42);
}

TEST_F(DeviceInstructionsTest, ReadTextF2) {
  Rules[0xF2] = TAnswer{0, BytesOf("label")};
  std::string text;
  EXPECT_TRUE(Device->ReadTextF2(text));
  EXPECT_EQ(text, "label");
  EXPECT_EQ(OnlyRequest().INST, 0xF2);
}

TEST_F(DeviceInstructionsTest, WriteTextE2PadsShortTextsAndCutsLongOnes) {
  Rules[0xE2] = TAnswer{};
  EXPECT_TRUE(Device->WriteTextE2("abc"));
  EXPECT_TRUE(Device->WriteTextE2("abcdefghijklmnopqrst"));
  EXPECT_TRUE(Device->WriteTextE2("0123456789ABCDEF"));
  EXPECT_TRUE(Device->WriteTextE2(""));
  auto r = Requests();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(HexOf(r[0].Data), "00 61 62 63 00");
  EXPECT_EQ(r[1].Data, Concat({TBytes{0x00}, BytesOf("abcdefghijklmnop")}));
  EXPECT_EQ(r[2].Data, Concat({TBytes{0x00}, BytesOf("0123456789ABCDEF")}));
  EXPECT_EQ(HexOf(r[3].Data), "00 00");
}

TEST_F(DeviceInstructionsTest, ReadFlagFE) {
  bool flag = false;
  Rules[0xFE] = TAnswer{0, {0x02}};
  EXPECT_TRUE(Device->ReadFlagFE(flag));
  EXPECT_TRUE(flag);
  Rules[0xFE] = TAnswer{0, {0x00}};
  EXPECT_TRUE(Device->ReadFlagFE(flag));
  EXPECT_FALSE(flag);
  flag = true;
  Rules[0xFE] = TAnswer{0, {}};
  EXPECT_TRUE(Device->ReadFlagFE(flag));
  EXPECT_TRUE(flag);  // untouched
}

TEST_F(DeviceInstructionsTest, WriteFlagEE) {
  Rules[0xEE] = TAnswer{};
  EXPECT_TRUE(Device->WriteFlagEE(true));
  EXPECT_TRUE(Device->WriteFlagEE(false));
  auto r = Requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].Data, TBytes{0x01});
  EXPECT_EQ(r[1].Data, TBytes{0x00});
}

TEST_F(DeviceInstructionsTest, ReadValuesFA) {
  Rules[0xFA] = TAnswer{0, Hex("00 01 00 02 00 00 01 00")};
  std::uint16_t first = 0, second = 0;
  std::uint32_t third = 0;
  EXPECT_TRUE(Device->ReadValuesFA(first, second, third));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(third, 256u);
  Rules[0xFA] = TAnswer{0, Hex("FF FE 80 01 89 AB CD EF 00")};
  EXPECT_TRUE(Device->ReadValuesFA(first, second, third));
  EXPECT_EQ(first, 0xFFFE);
  EXPECT_EQ(second, 0x8001);
  EXPECT_EQ(third, 0x89ABCDEFu);
  Rules[0xFA] = TAnswer{0, Hex("00 07 00 07 00 00 00")};
  EXPECT_FALSE(Device->ReadValuesFA(first, second, third));
  EXPECT_EQ(first, 0xFFFE);  // untouched
  EXPECT_EQ(Device->GetLastResult(), 1);
}

TEST_F(DeviceInstructionsTest, ReadAddressTakesTheModulesReport) {
  Rules[0xF0] = TAnswer{0, {0x33, 0x06}};
  std::uint8_t address = 0;
  EXPECT_TRUE(Device->ReadAddress(address));
  EXPECT_EQ(address, 0x33);
  EXPECT_EQ(Device->GetAddress(), 0x33);
  Rules[0xF0] = TAnswer{0, {0x44}};  // too short: nothing taken, still a success
  EXPECT_TRUE(Device->ReadAddress(address));
  EXPECT_EQ(address, 0x33);
  Rules[0xF0] = TAnswer{5, {0x55, 0x06}};
  address = 0;
  EXPECT_FALSE(Device->ReadAddress(address));
  EXPECT_EQ(address, 0x33);  // the device's address, also on failure
}

TEST_F(DeviceInstructionsTest, ReadCommParams) {
  Rules[0xF0] = TAnswer{0, {0x31, 0x06}};
  std::uint8_t address = 0;
  std::int32_t baud = -5;
  EXPECT_TRUE(Device->ReadCommParams(address, baud));
  EXPECT_EQ(address, 0x31);
  EXPECT_EQ(baud, 9600);
  Rules[0xF0] = TAnswer{0, {0x31, 0x0C}};
  EXPECT_TRUE(Device->ReadCommParams(address, baud));
  EXPECT_EQ(baud, 0);
  Rules[0xF0] = TAnswer{0, {0x31, 0x0B, 0x99}};
  EXPECT_TRUE(Device->ReadCommParams(address, baud));
  EXPECT_EQ(baud, 230400);
  baud = -5;
  Rules[0xF0] = TAnswer{0, {0x32}};
  EXPECT_TRUE(Device->ReadCommParams(address, baud));
  EXPECT_EQ(baud, -5);
  EXPECT_EQ(address, 0x31);
}

TEST_F(DeviceInstructionsTest, ChangeAddressSequence) {
  Device->SetAddress(0xFE);  // the module reports where it really is
  Rules[0xF0] = TAnswer{0, {0x31, 0x06}};
  Rules[0xE4] = TAnswer{};
  Rules[0xE0] = TAnswer{};
  EXPECT_TRUE(Device->ChangeAddress(0x32));
  auto r = Requests();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].ADR, 0xFE);
  EXPECT_EQ(r[0].INST, 0xF0);
  EXPECT_EQ(r[1].ADR, 0x31);
  EXPECT_EQ(r[1].INST, 0xE4);
  EXPECT_TRUE(r[1].Data.empty());
  EXPECT_EQ(r[2].ADR, 0x31);
  EXPECT_EQ(r[2].INST, 0xE0);
  EXPECT_EQ(HexOf(r[2].Data), "32 06");
  EXPECT_EQ(Device->GetAddress(), 0x32);
}

TEST_F(DeviceInstructionsTest, ChangeAddressCarriesFurtherSettingBytesBack) {
  Rules[0xF0] = TAnswer{0, {0x31, 0x07, 0xAB, 0xCD}};
  Rules[0xE4] = TAnswer{};
  Rules[0xE0] = TAnswer{};
  EXPECT_TRUE(Device->ChangeAddress(0x40));
  EXPECT_EQ(HexOf(Requests().back().Data), "40 07 AB CD");
}

TEST_F(DeviceInstructionsTest, ChangeAddressStopsWhenE4IsRefused) {
  Device->SetAddress(0xFE);
  Rules[0xF0] = TAnswer{0, {0x31, 0x06}};
  Rules[0xE4] = TAnswer{1, {}};
  Rules[0xE0] = TAnswer{};
  EXPECT_FALSE(Device->ChangeAddress(0x32));
  EXPECT_EQ(Requests().size(), 2u);
  EXPECT_EQ(Device->GetAddress(), 0x31);
}

TEST_F(DeviceInstructionsTest, ChangeAddressNeedsTwoSettingBytes) {
  Rules[0xF0] = TAnswer{0, {0x31}};
  EXPECT_FALSE(Device->ChangeAddress(0x32));
  EXPECT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Device->GetAddress(), 0x31);
}

TEST_F(DeviceInstructionsTest, ChangeAddressKeepsTheOldAddressWhenE0IsRefused) {
  Rules[0xF0] = TAnswer{0, {0x31, 0x06}};
  Rules[0xE4] = TAnswer{};
  Rules[0xE0] = TAnswer{3, {}};
  EXPECT_FALSE(Device->ChangeAddress(0x32));
  EXPECT_EQ(Device->GetAddress(), 0x31);
}

TEST_F(DeviceInstructionsTest, WriteCommParams) {
  Rules[0xE4] = TAnswer{};
  Rules[0xE0] = TAnswer{};
  EXPECT_TRUE(Device->WriteCommParams(0x33, 19200));
  auto r = Requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].INST, 0xE4);
  EXPECT_EQ(r[1].INST, 0xE0);
  EXPECT_EQ(r[1].ADR, 0x31);
  EXPECT_EQ(HexOf(r[1].Data), "33 07");
  EXPECT_EQ(Device->GetAddress(), 0x33);
}

TEST_F(DeviceInstructionsTest, WriteCommParamsWithAnUnknownRateSendsNothing) {
  Rules[0xE4] = TAnswer{};
  Rules[0xE0] = TAnswer{};
  EXPECT_THROW(Device->WriteCommParams(0x31, 14400), std::invalid_argument);
  EXPECT_EQ(Transport->WriteCount(), 0u);
}

TEST_F(DeviceInstructionsTest, WriteCommParamsStopsWhenE4IsRefused) {
  Rules[0xE4] = TAnswer{2, {}};
  Rules[0xE0] = TAnswer{};
  EXPECT_FALSE(Device->WriteCommParams(0x33, 9600));
  EXPECT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Device->GetAddress(), 0x31);
}

TEST_F(DeviceInstructionsTest, ChangeAddressEBGoesToTheUniversalAddress) {
  Rules[0xEB] = TAnswer{};
  EXPECT_TRUE(Device->ChangeAddressEB(0x1234, 0xABCD, 0x35));
  auto r = OnlyRequest();
  EXPECT_EQ(r.ADR, 0xFE);
  EXPECT_EQ(r.INST, 0xEB);
  EXPECT_EQ(HexOf(r.Data), "35 12 34 AB CD");
  EXPECT_EQ(Device->GetAddress(), 0x35);
}

TEST_F(DeviceInstructionsTest, ChangeAddressEBFailureRestoresTheAddress) {
  Rules[0xEB] = TAnswer{1, {}};
  EXPECT_FALSE(Device->ChangeAddressEB(1, 2, 0x35));
  EXPECT_EQ(Device->GetAddress(), 0x31);
}

TEST_F(DeviceInstructionsTest, ChangeAddressEBToTheSameAddressStaysThere) {
  Rules[0xEB] = TAnswer{};
  EXPECT_TRUE(Device->ChangeAddressEB(1, 2, 0x31));
  EXPECT_EQ(OnlyRequest().ADR, 0x31);
}

TEST_F(DeviceInstructionsTest, ChangeAddressEBFromTheBroadcastAddressDoesNotWait) {
  Device->SetAddress(0xFF);
  Device->SetTimeout(5000);
  const std::uint32_t start = GetTickCount32();
  EXPECT_TRUE(Device->ChangeAddressEB(1, 2, 0x36));  // nothing answers; the send is the result
  EXPECT_LT(GetTickCount32() - start, 2500u);
  auto r = OnlyRequest();
  EXPECT_EQ(r.ADR, 0xFF);
  EXPECT_EQ(Device->GetAddress(), 0x36);
  EXPECT_EQ(Device->GetLastResult(), 0);
}

TEST_F(DeviceInstructionsTest, ChangeAddressEBFromTheBroadcastAddressOnAClosedLine) {
  Device->SetAddress(0xFF);
  Transport->SetActiveFlag(false);
  EXPECT_FALSE(Device->ChangeAddressEB(1, 2, 0x36));
  EXPECT_EQ(Device->GetAddress(), 0xFF);
}

}  // namespace
