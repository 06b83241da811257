// What the bus scan makes of the bytes that come back, and its timing.
#include <gtest/gtest.h>

#include <sstream>

#include "protocol/uTervan97.h"
#include "scan/uBusScan.h"
#include "scan/uScanParams.h"
#include "scan/uScanRun.h"
#include "scan/uScanSorter.h"

namespace {

TBytes Ident(std::uint8_t adr, std::uint8_t sig, const std::string& text = "VELTO ETH 8/8") {
  return BuildPacket(adr, sig, 0, BytesOf(text));
}

TBytes Join(const std::vector<TBytes>& parts) {
  TBytes all;
  for (const TBytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string Summary(const TScanSorter& sorter) {
  std::string text;
  for (const auto& [address, finding] : sorter.Findings()) {
    if (!text.empty()) text += " ";
    text += std::to_string(address) +
            (finding.Kind == TScanFinding::TKind::Collision ? "!" : "=" + TextOf(finding.Identification));
  }
  return text;
}

// One turn per address: the bytes that come while it is asked.
struct TTurn {
  std::uint8_t Adr;
  std::uint8_t Sig;
  TBytes Arrives;
};

struct TSortCase {
  const char* Name;
  std::vector<TTurn> Turns;
  std::string Expected;
};

class ScanSorterCases : public ::testing::TestWithParam<TSortCase> {};

TEST_P(ScanSorterCases, Sorts) {
  TScanSorter sorter;
  for (const TTurn& turn : GetParam().Turns) {
    sorter.Begin(turn.Adr, turn.Sig);
    sorter.Feed(turn.Arrives);
    sorter.End();
  }
  EXPECT_EQ(Summary(sorter), GetParam().Expected);
}

const TBytes kGarbled = [] {
  TBytes frame = Ident(49, 1);
  frame[frame.size() - 2] ^= 0xFF;  // checksum spoiled
  return frame;
}();

INSTANTIATE_TEST_SUITE_P(
    Scan, ScanSorterCases,
    ::testing::Values(
        TSortCase{"Answer", {{49, 1, Ident(49, 1, "A")}}, "49=A"},
        TSortCase{"Silence", {{49, 1, {}}, {50, 2, {}}}, ""},
        // Late: 49's answer comes while 50 is asked; it is 49's.
        TSortCase{"LateAnswerIsCreditedToItsOwnAddress",
                  {{49, 1, {}}, {50, 2, Ident(49, 1, "A")}},
                  "49=A"},
        // A module at 50 that answers with 49's signature answers nothing asked of it.
        TSortCase{"AnswerWithAnotherRequestsSignatureCountsForNobody",
                  {{49, 1, {}}, {50, 2, Ident(50, 1, "B")}},
                  ""},
        TSortCase{"AnswerWithASignatureNeverUsedCountsForNobody", {{49, 1, Ident(49, 9)}}, ""},
        // A repeating bridge: the copy of 49's answer comes in 50's turn.
        TSortCase{"CopyOfAnAnswerChangesNothing",
                  {{49, 1, Ident(49, 1, "A")}, {50, 2, Ident(49, 1, "A")}},
                  "49=A"},
        TSortCase{"EchoOfTheRequestIsNoAnswer",
                  {{49, 1, BuildPacket(49, 1, 0xF3, {})}},
                  ""},
        TSortCase{"EchoThenAnswer",
                  {{49, 1, Join({BuildPacket(49, 1, 0xF3, {}), Ident(49, 1, "A")})}},
                  "49=A"},
        TSortCase{"NotificationIsNoAnswer", {{49, 1, BuildPacket(49, 1, 0x0D, {0x01})}}, ""},
        TSortCase{"GarbledFrameIsACollision", {{49, 1, kGarbled}, {50, 2, {}}}, "49!"},
        TSortCase{"UnfinishedFrameIsACollision",
                  {{49, 1, TBytes(kGarbled.begin(), kGarbled.begin() + 10)}, {50, 2, Ident(50, 2, "B")}},
                  "49! 50=B"},
        TSortCase{"NoiseBeforeTheAnswerIsForgiven",
                  {{49, 1, Join({{0x00, 0x55}, Ident(49, 1, "A")})}},
                  "49=A"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ScanSorter, RefusedIdentificationIsStillAModule) {
  TScanSorter sorter;
  sorter.Begin(7, 3);
  EXPECT_TRUE(sorter.Feed(BuildPacket(7, 3, 2, {})));
  sorter.End();
  ASSERT_EQ(sorter.Findings().count(7), 1u);
  EXPECT_EQ(sorter.Findings().at(7).Ack, 2);
  EXPECT_EQ(sorter.ModuleCount(), 1u);
}

TEST(ScanSorter, AnswerSplitOverReadsIsTakenWhenWhole) {
  TScanSorter sorter;
  sorter.Begin(49, 1);
  const TBytes answer = Ident(49, 1, "A");
  EXPECT_FALSE(sorter.Feed(TBytes(answer.begin(), answer.begin() + 5)));
  EXPECT_TRUE(sorter.Receiving());
  EXPECT_TRUE(sorter.Feed(TBytes(answer.begin() + 5, answer.end())));
  sorter.End();
  EXPECT_EQ(Summary(sorter), "49=A");
}

TEST(ScanTiming, FollowsTheLine) {
  const double c = 10000.0 / 9600;  // one character at 9600 baud
  const TScanTiming serial = ScanTiming(TScanLine::Serial, c, -1);
  EXPECT_DOUBLE_EQ(serial.MarginMs, 10 + 5 * c);
  EXPECT_DOUBLE_EQ(serial.ByteTimeMs, c);
  EXPECT_DOUBLE_EQ(serial.MaxAnswerMs, 1024 * c + serial.MarginMs);
  EXPECT_DOUBLE_EQ(ScanTiming(TScanLine::Usb, c, -1).MarginMs, 26 + 5 * c);
  const TScanTiming tcp = ScanTiming(TScanLine::Tcp, 10, -1);
  EXPECT_DOUBLE_EQ(tcp.MarginMs, 50);
  EXPECT_DOUBLE_EQ(tcp.ByteTimeMs, 0);
  EXPECT_DOUBLE_EQ(ScanTiming(TScanLine::Serial, c, 200).MarginMs, 200);
  EXPECT_DOUBLE_EQ(ScanTiming(TScanLine::Tcp, 0, 0).MarginMs, 0);
  EXPECT_EQ(ScanLineOf("provider=TCP_CLIENT;host=1.2.3.4;port=1"), TScanLine::Tcp);
  EXPECT_EQ(ScanLineOf("provider=FTD_USB;serial_number=A;baudrate=9600"), TScanLine::Usb);
  EXPECT_EQ(ScanLineOf("provider=SERIAL_PORT;comport=1;baudrate=9600"), TScanLine::Serial);
}

struct TParamCase {
  const char* Name;
  std::vector<std::string> Args;
  std::string Said;
  int From;
  int To;
  int Timeout;
  std::string Connection;
};

class ScanParamCases : public ::testing::TestWithParam<TParamCase> {};

TEST_P(ScanParamCases, Parse) {
  TScanParams params;
  std::ostringstream said;
  ParseScanCommandLine(GetParam().Args, params, said);
  EXPECT_EQ(said.str(), GetParam().Said);
  EXPECT_EQ(params.From, GetParam().From);
  EXPECT_EQ(params.To, GetParam().To);
  EXPECT_EQ(params.TimeoutMs, GetParam().Timeout);
  EXPECT_EQ(params.Connection.ConnectionString, GetParam().Connection);
}

INSTANTIATE_TEST_SUITE_P(
    Scan, ScanParamCases,
    ::testing::Values(
        TParamCase{"Defaults", {}, "", 0, 253, -1, ""},
        TParamCase{"EveryForm", {"/TCP=10.0.0.1:5000", "/From=1", "-to=#$40", "/timeout=30"},
                   "",
                   49,
                   64,
                   30,
                   "provider=TCP_CLIENT;host=10.0.0.1;port=5000"},
        TParamCase{"BadValuesAreDropped", {"/COM3:19200", "/From=#254", "/To=12", "/Timeout=x", "/Timeout=60001"},
                   "Bad device address!\nBad device address!\nBad time-out!\nBad time-out!\n",
                   0,
                   253,
                   -1,
                   "provider=SERIAL_PORT;comport=3;baudrate=19200"},
        TParamCase{"ConsoleMessagesForConsoleSwitches", {"/TCP=1.2.3", "/Address=1", "abc"},
                   "Bad IP address!\nBad argument:'/Address=1'!\nBad argument:'abc'!\n",
                   0,
                   253,
                   -1,
                   ""},
        TParamCase{"FirstConnectionStays", {"/COM=1", "/USB=AB"}, "Connection redeclared!\n", 0,
                   253, -1, "provider=SERIAL_PORT;comport=1;baudrate=9600"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ScanParams, NologAndHelp) {
  TScanParams params;
  std::ostringstream said;
  ParseScanCommandLine({"/NoLog", "-?"}, params, said);
  EXPECT_FALSE(params.Connection.LogEnabled);
  EXPECT_TRUE(params.Connection.ShowHelp);
}

TEST(ScanOutput, ControlCharactersCannotMakeLinesOfTheirOwn) {
  EXPECT_EQ(ScanPrintable("VELTO\n#50\tFAKE\r\x1b[2J"), "VELTO.#50.FAKE..[2J");
  EXPECT_EQ(ScanPrintable("VELTO ETH 8/8;V1.02.03;F97;T1"), "VELTO ETH 8/8;V1.02.03;F97;T1");
}

}  // namespace
