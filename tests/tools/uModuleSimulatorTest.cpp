#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/uVelto.h"
#include "protocol/uTervan97.h"
#include "simulator/uModuleSimulator.h"

namespace {

constexpr std::uint8_t kAdr = 0x31;

TBytes Request(std::uint8_t inst, const TBytes& data = {}, std::uint8_t sig = 0,
               std::uint8_t adr = kAdr) {
  return BuildPacket(adr, sig, inst, data);
}

// Every packet in `bytes`; fails the test on bytes that are not whole valid packets.
std::vector<TTervanFormat97> Packets(TBytes bytes) {
  std::vector<TTervanFormat97> packets;
  while (!bytes.empty()) {
    const TBytes packet = ExtractPacket(bytes, true);
    if (packet.empty() || CheckPacket(packet) != 0) {
      ADD_FAILURE() << "not a whole packet: " << HexOf(bytes);
      break;
    }
    packets.push_back(ParsePacket(packet));
  }
  return packets;
}

// Sends one request and returns the packets the module wrote back.
std::vector<TTervanFormat97> Exchange(TModuleSimulator& sim, const TBytes& request,
                                      std::uint32_t now = 0) {
  sim.Receive(request, now);
  return Packets(sim.TakeBytes());
}

// The single answer to a request; fails the test when there is not exactly one.
TTervanFormat97 Answer(TModuleSimulator& sim, const TBytes& request, std::uint32_t now = 0) {
  const auto packets = Exchange(sim, request, now);
  if (packets.size() != 1) {
    ADD_FAILURE() << "expected one answer, got " << packets.size();
    return {};
  }
  return packets[0];
}

TSimConfig ConfigWithInputs(std::initializer_list<int> on, int count = 8) {
  TSimConfig config;
  config.InputCount = count;
  config.Inputs.assign(static_cast<std::size_t>(count), false);
  for (int n : on) config.Inputs[static_cast<std::size_t>(n - 1)] = true;
  return config;
}

// --- Identification ---------------------------------------------------------

TEST(SimIdentification, DefaultTextIsARecognisedModule) {
  TModuleSimulator sim;
  const auto answer = Answer(sim, Request(tervan::kInstIdentify, {}, 2));
  EXPECT_EQ(answer.ADR, kAdr);
  EXPECT_EQ(answer.SIG, 2);
  EXPECT_EQ(answer.INST, 0);
  EXPECT_EQ(TextOf(answer.Data), "VELTO ETH 8/4;V1.02.03;F97");
  TVeltoInfo info;
  ASSERT_TRUE(ParseVeltoInfo(TextOf(answer.Data), info));
  EXPECT_EQ(info.InputCount, 8);
  EXPECT_EQ(info.OutputCount, 4);
}

TEST(SimIdentification, MadeFromTheCounts) {
  TSimConfig config;
  config.InputCount = 16;
  config.OutputCount = 8;
  config.InterfaceWord = "USB";
  config.ThermometerCount = 2;
  EXPECT_EQ(SimIdentification(config), "VELTO USB 16/8;V1.02.03;F97;T2");
  config.Identification = "VELTO RS 2/2;V9.9.9;F97";
  EXPECT_EQ(SimIdentification(config), "VELTO RS 2/2;V9.9.9;F97");
}

// --- Addressing --------------------------------------------------------------

TEST(SimAddressing, OtherAddressesGetNothing) {
  TModuleSimulator sim;
  sim.Receive(Request(velto::kInstSetOutputs, {0x81}, 0, 0x32), 0);
  EXPECT_TRUE(sim.TakeBytes().empty());
  EXPECT_FALSE(sim.Outputs()[0]);
  EXPECT_EQ(sim.RequestCount(velto::kInstSetOutputs), 0);
}

TEST(SimAddressing, UniversalAddressIsAnsweredWithOwnAddress) {
  TModuleSimulator sim;
  const auto answer = Answer(sim, Request(velto::kInstReadInputs, {}, 9, 0xFE));
  EXPECT_EQ(answer.ADR, kAdr);
  EXPECT_EQ(answer.SIG, 9);
  EXPECT_EQ(answer.INST, 0);
}

TEST(SimAddressing, BroadcastIsCarriedOutButNotAnswered) {
  TModuleSimulator sim;
  sim.Receive(Request(velto::kInstSetOutputs, {0x82}, 0, 0xFF), 0);
  EXPECT_TRUE(sim.TakeBytes().empty());
  EXPECT_TRUE(sim.Outputs()[1]);
}

TEST(SimAddressing, AnswerRepeatsTheSignature) {
  TModuleSimulator sim;
  for (std::uint8_t sig : {0, 1, 0x7F, 0xFF}) {
    EXPECT_EQ(Answer(sim, Request(velto::kInstReadOption, {}, sig)).SIG, sig);
  }
}

TEST(SimAddressing, UnknownInstructionIsRefusedWithCodeTwo) {
  TModuleSimulator sim;
  const auto answer = Answer(sim, Request(0x99, {1, 2}));
  EXPECT_EQ(answer.INST, 2);
  EXPECT_TRUE(answer.Data.empty());
}

// --- Framing -----------------------------------------------------------------

TEST(SimFraming, GarbageBeforeARequestIsSkipped) {
  TModuleSimulator sim;
  TBytes bytes = {0x41, 0x42, 0x2A, 0x00};
  const TBytes request = Request(velto::kInstReadOption);
  bytes.insert(bytes.end(), request.begin(), request.end());
  EXPECT_EQ(Exchange(sim, bytes).size(), 1u);
}

TEST(SimFraming, RequestSplitOverSeveralReceives) {
  TModuleSimulator sim;
  const TBytes request = Request(velto::kInstReadOption);
  for (std::size_t i = 0; i + 1 < request.size(); ++i) {
    sim.Receive({request[i]}, 0);
    EXPECT_TRUE(sim.TakeBytes().empty()) << i;
  }
  sim.Receive({request.back()}, 0);
  EXPECT_EQ(Packets(sim.TakeBytes()).size(), 1u);
}

TEST(SimFraming, BadChecksumIsIgnoredAndTheNextRequestAnswered) {
  TModuleSimulator sim;
  TBytes bad = Request(velto::kInstSetOutputs, {0x81});
  bad[bad.size() - 2] ^= 0x01;
  const TBytes good = Request(velto::kInstReadOption, {}, 4);
  bad.insert(bad.end(), good.begin(), good.end());
  const auto packets = Exchange(sim, bad);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].SIG, 4);
  EXPECT_FALSE(sim.Outputs()[0]);
}

TEST(SimFraming, TwoRequestsInOneReceive) {
  TModuleSimulator sim;
  TBytes bytes = Request(velto::kInstReadOption, {}, 1);
  const TBytes second = Request(velto::kInstReadOption, {}, 2);
  bytes.insert(bytes.end(), second.begin(), second.end());
  const auto packets = Exchange(sim, bytes);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].SIG, 1);
  EXPECT_EQ(packets[1].SIG, 2);
}

TEST(SimFraming, CorruptedLengthDoesNotSwallowLaterRequests) {
  TModuleSimulator sim;
  TBytes bytes = {0x2A, 0x61, 0xFF, 0xF0, 0x31};
  const TBytes request = Request(velto::kInstReadOption, {}, 6);
  bytes.insert(bytes.end(), request.begin(), request.end());
  const auto packets = Exchange(sim, bytes);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].SIG, 6);
}

TEST(SimFraming, ChannelsFrameSeparately) {
  TModuleSimulator sim;
  const TBytes request = Request(velto::kInstReadOption);
  sim.Receive(1, TBytes(request.begin(), request.begin() + 4), 0);
  sim.Receive(2, TBytes(request.begin() + 4, request.end()), 0);
  EXPECT_TRUE(sim.TakeWrites().empty());
  sim.Receive(1, TBytes(request.begin() + 4, request.end()), 0);
  const auto writes = sim.TakeWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].Channel, 1);
}

// --- Outputs -----------------------------------------------------------------

TEST(SimOutputs, WorkedExampleOnTheWire) {
  TModuleSimulator sim;
  sim.Receive(BytesFromHex("2A 61 00 06 31 00 20 83 9A 0D"), 0);
  EXPECT_EQ(HexOf(sim.TakeBytes()), "2A 61 00 05 31 00 00 3E 0D");
  EXPECT_EQ(sim.Outputs(), std::vector<bool>({false, false, true, false}));
}

TEST(SimOutputs, SeveralCommandsAndReadBack) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(velto::kInstSetOutputs, {0x81, 0x02, 0x84})).INST, 0);
  EXPECT_EQ(sim.Outputs(), std::vector<bool>({true, false, false, true}));
  const auto answer = Answer(sim, Request(velto::kInstReadOutputs));
  EXPECT_EQ(answer.Data, TBytes({0x09}));
}

TEST(SimOutputs, OutOfRangeCommandRefusesTheWholeRequest) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(velto::kInstSetOutputs, {0x81, 0x85})).INST, 3);
  EXPECT_EQ(Answer(sim, Request(velto::kInstSetOutputs, {0x80})).INST, 3);
  EXPECT_EQ(Answer(sim, Request(velto::kInstSetOutputs)).INST, 3);
  EXPECT_EQ(sim.Outputs(), std::vector<bool>(4, false));
}

TEST(SimOutputs, StartingStates) {
  TSimConfig config;
  config.Outputs = {false, true};
  TModuleSimulator sim(config);
  EXPECT_EQ(sim.Outputs(), std::vector<bool>({false, true, false, false}));
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadOutputs)).Data, TBytes({0x02}));
}

// --- Timed outputs -----------------------------------------------------------

TEST(SimTimedOutputs, RevertWhenTheHalfSecondsHavePassed) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(velto::kInstSetTimedOutput, {0x0A, 0x83}), 1000).INST, 0);
  EXPECT_TRUE(sim.Outputs()[2]);
  ASSERT_TRUE(sim.NextDeadline().has_value());
  EXPECT_EQ(*sim.NextDeadline(), 6000u);
  sim.Tick(5999);
  EXPECT_TRUE(sim.Outputs()[2]);
  sim.Tick(6000);
  EXPECT_FALSE(sim.Outputs()[2]);
  EXPECT_FALSE(sim.NextDeadline().has_value());
}

TEST(SimTimedOutputs, RevertToTheStateBefore) {
  TSimConfig config;
  config.Outputs = {true};
  TModuleSimulator sim(config);
  Answer(sim, Request(velto::kInstSetTimedOutput, {0x02, 0x01}), 0);
  EXPECT_FALSE(sim.Outputs()[0]);
  sim.Tick(1000);
  EXPECT_TRUE(sim.Outputs()[0]);
}

TEST(SimTimedOutputs, SecondTimedCommandKeepsTheFirstState) {
  TModuleSimulator sim;
  Answer(sim, Request(velto::kInstSetTimedOutput, {0x04, 0x81}), 0);
  Answer(sim, Request(velto::kInstSetTimedOutput, {0x04, 0x81}), 1000);
  sim.Tick(2500);  // the first deadline no longer counts
  EXPECT_TRUE(sim.Outputs()[0]);
  sim.Tick(3000);  // back to the state from before both commands
  EXPECT_FALSE(sim.Outputs()[0]);
  EXPECT_FALSE(sim.NextDeadline().has_value());
}

TEST(SimTimedOutputs, PermanentCommandCancelsTheTimer) {
  TModuleSimulator sim;
  Answer(sim, Request(velto::kInstSetTimedOutput, {0x02, 0x81}), 0);
  Answer(sim, Request(velto::kInstSetOutputs, {0x81}), 100);
  sim.Tick(5000);
  EXPECT_TRUE(sim.Outputs()[0]);
}

TEST(SimTimedOutputs, RevertSeenByTheNextRequest) {
  TModuleSimulator sim;
  Answer(sim, Request(velto::kInstSetTimedOutput, {0x01, 0x84}), 0);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadOutputs), 499).Data, TBytes({0x08}));
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadOutputs), 500).Data, TBytes({0x00}));
}

TEST(SimTimedOutputs, SurvivesTheTickWrap) {
  TModuleSimulator sim;
  Answer(sim, Request(velto::kInstSetTimedOutput, {0x02, 0x81}), 0xFFFFFF00u);
  sim.Tick(0x00000010u);  // wrapped, 272 ms later
  EXPECT_TRUE(sim.Outputs()[0]);
  sim.Tick(0x00000300u);
  EXPECT_FALSE(sim.Outputs()[0]);
}

TEST(SimTimedOutputs, MalformedRequestsAreRefused) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(velto::kInstSetTimedOutput, {0x0A})).INST, 3);
  EXPECT_EQ(Answer(sim, Request(velto::kInstSetTimedOutput, {0x0A, 0x85})).INST, 3);
  EXPECT_EQ(Answer(sim, Request(velto::kInstSetTimedOutput, {0x0A, 0x81, 0x82})).INST, 3);
  EXPECT_FALSE(sim.NextDeadline().has_value());
}

// --- Inputs and notifications --------------------------------------------------

TEST(SimInputs, StateBytesLikeTheWorkedExample) {
  TSimConfig config = ConfigWithInputs({1, 3});
  config.StateBytes = 2;
  TModuleSimulator sim(config);
  sim.Receive(BytesFromHex("2A 61 00 05 31 00 31 0D 0D"), 0);
  EXPECT_EQ(HexOf(sim.TakeBytes()), "2A 61 00 07 31 00 00 00 05 37 0D");
}

TEST(SimInputs, OneByteForEveryEightInputs) {
  TModuleSimulator sim(ConfigWithInputs({1, 9, 16}, 16));
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadInputs)).Data, TBytes({0x81, 0x01}));
  TModuleSimulator none(ConfigWithInputs({}, 0));
  EXPECT_TRUE(Answer(none, Request(velto::kInstReadInputs)).Data.empty());
}

TEST(SimInputs, ChangedInputShowsInTheNextAnswer) {
  TModuleSimulator sim;
  EXPECT_TRUE(sim.SetInput(2, true));
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadInputs)).Data, TBytes({0x02}));
  EXPECT_FALSE(sim.SetInput(0, true));
  EXPECT_FALSE(sim.SetInput(9, true));
}

TEST(SimNotify, InputChangeSendsNotificationToEveryChannel) {
  TSimConfig config;
  config.Notify = true;
  TModuleSimulator sim(config);
  sim.SetInput(3, true);
  const auto writes = sim.TakeWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].Channel, TSimWrite::kAllChannels);
  const auto packets = Packets(writes[0].Bytes);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].ADR, kAdr);
  EXPECT_EQ(packets[0].INST, 0x0D);
  EXPECT_EQ(packets[0].Data, TBytes({0x04}));
}

TEST(SimNotify, NothingWhenOffOrUnchanged) {
  TModuleSimulator sim;
  sim.SetInput(3, true);
  EXPECT_TRUE(sim.TakeWrites().empty());
  sim.SetNotify(true);
  sim.SetInput(3, true);
  EXPECT_TRUE(sim.TakeWrites().empty());
  sim.SetInput(3, false);
  EXPECT_EQ(sim.TakeWrites().size(), 1u);
}

TEST(SimNotify, ListenerIsToldAboutNewWrites) {
  TSimConfig config;
  config.Notify = true;
  TModuleSimulator sim(config);
  int calls = 0;
  sim.SetOnWrites([&] { ++calls; });
  sim.SetInput(1, true);
  EXPECT_EQ(calls, 1);
  sim.Receive(Request(velto::kInstReadOption), 0);
  EXPECT_EQ(calls, 2);
  sim.Receive(Request(velto::kInstReadOption, {}, 0, 0x40), 0);
  EXPECT_EQ(calls, 2);
}

// --- Counters ----------------------------------------------------------------

TEST(SimCounters, CountOffToOnEdges) {
  TModuleSimulator sim;
  sim.SetInput(2, true);
  sim.SetInput(2, false);
  sim.SetInput(2, true);
  sim.SetInput(2, true);
  EXPECT_EQ(sim.Counter(2), 2u);
  const auto answer = Answer(sim, Request(velto::kInstReadCounters, {0x02}));
  EXPECT_EQ(answer.INST, 0);
  EXPECT_EQ(answer.Data, TBytes({0x20, 0x00, 0x00, 0x00, 0x02}));
}

TEST(SimCounters, AllCountersAndClear) {
  TSimConfig config;
  config.InputCount = 3;
  config.Counters = {1, 256, 0x01020304};
  TModuleSimulator sim(config);
  const auto all = Answer(sim, Request(velto::kInstReadCounters, {0x80}));
  EXPECT_EQ(all.Data, BytesFromHex("20 00 00 00 01 00 00 01 00 01 02 03 04"));
  EXPECT_EQ(sim.Counter(1), 0u);
  EXPECT_EQ(sim.Counter(3), 0u);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounters, {0x00})).Data,
            BytesFromHex("20 00 00 00 00 00 00 00 00 00 00 00 00"));
}

TEST(SimCounters, DecodedByTheDeviceHelpers) {
  TSimConfig config;
  config.CounterWidth = 16;
  config.Counters = {258, 5, 0x12345};
  TModuleSimulator sim(config);
  const auto answer =
      Answer(sim, Request(velto::kInstReadCounters, {PackCounterRequest(false, 0)}));
  TCounterReading reading;
  ASSERT_TRUE(ExtractCounterValue(answer.Data, 1, reading));
  EXPECT_EQ(reading.Value, 258u);
  ASSERT_TRUE(ExtractCounterValue(answer.Data, 3, reading));
  EXPECT_EQ(reading.Value, 0x2345u);  // 16-bit counters wrap
  ASSERT_TRUE(ExtractCounterValue(answer.Data, 8, reading));
  EXPECT_FALSE(ExtractCounterValue(answer.Data, 9, reading));
}

TEST(SimCounters, BadRequestsAreRefusedWithCodeThree) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounters, {0x09})).INST, 3);  // 8 counters
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounters, {0x41})).INST, 3);  // bit 6
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounters)).INST, 3);
  EXPECT_EQ(Answer(sim, Request(velto::kInstWriteCounterConfig, {0x89})).INST, 3);
  EXPECT_EQ(Answer(sim, Request(velto::kInstWriteCounterConfig, {0x80})).INST, 3);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounterConfig, {0x09})).INST, 3);
}

TEST(SimCounters, ModuleWithoutCountersRefusesWithCodeTwo) {
  TSimConfig config;
  config.CountersSupported = false;
  TModuleSimulator sim(config);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounters, {0x01})).INST, 2);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounterConfig, {0x00})).INST, 2);
  EXPECT_EQ(Answer(sim, Request(velto::kInstWriteCounterConfig, {0x81})).INST, 2);
  EXPECT_EQ(sim.CounterCount(), 0);
}

TEST(SimCounters, AtMostSixtyCounters) {
  TSimConfig config;
  config.InputCount = 64;
  TModuleSimulator sim(config);
  EXPECT_EQ(sim.CounterCount(), 60);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounters, {0x3C})).INST, 0);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounters, {0x3D})).INST, 3);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounters, {0x00})).Data.size(), 1u + 60 * 4);
}

TEST(SimCounters, ConfigurationWrittenAndRead) {
  TModuleSimulator sim;
  EXPECT_EQ(
      Answer(sim, Request(velto::kInstWriteCounterConfig, {PackCounterConfig(5, true, false)}))
          .INST,
      0);
  EXPECT_EQ(
      Answer(sim, Request(velto::kInstWriteCounterConfig, {PackCounterConfig(2, false, true)}))
          .INST,
      0);
  bool first = false;
  bool second = false;
  ASSERT_TRUE(sim.CounterConfig(5, first, second));
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadCounterConfig, {0x05})).Data, TBytes({0x85}));
  const auto all = Answer(sim, Request(velto::kInstReadCounterConfig, {0x00})).Data;
  ASSERT_EQ(all.size(), 8u);
  ASSERT_TRUE(FindCounterConfig(all, 2, first, second));
  EXPECT_FALSE(first);
  EXPECT_TRUE(second);
  ASSERT_TRUE(FindCounterConfig(all, 8, first, second));
  EXPECT_FALSE(first);
  EXPECT_FALSE(second);
}

// --- Temperature, option byte, labels ------------------------------------------

TEST(SimTemperature, TenthsOfADegree) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadTemperature, {0x01})).Data,
            TBytes({0x00, 0x00, 0xE7}));
  sim.SetTemperature(-20.0);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadTemperature, {0x01})).Data,
            TBytes({0x00, 0xFF, 0x38}));
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadTemperature)).INST, 3);
}

TEST(SimTemperature, StatusByteFromTheConfiguration) {
  TSimConfig config;
  config.TemperatureStatus = 0x05;
  config.Temperature = 25.0;
  TModuleSimulator sim(config);
  double degrees = 0;
  std::uint8_t status = 0;
  ASSERT_TRUE(DecodeTemperature(Answer(sim, Request(velto::kInstReadTemperature, {0x01})).Data,
                                degrees, status));
  EXPECT_DOUBLE_EQ(degrees, 25.0);
  EXPECT_EQ(status, 5);
}

TEST(SimOptionByte, WrittenThenRead) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadOption)).Data, TBytes({0x00}));
  EXPECT_EQ(Answer(sim, Request(velto::kInstWriteOption, {0x61})).INST, 0);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadOption)).Data, TBytes({0x61}));
  EXPECT_EQ(Answer(sim, Request(velto::kInstWriteOption, {0x61, 0x62})).INST, 3);
  EXPECT_EQ(sim.OptionByte(), 0x61);
}

TEST(SimLabels, TwoSeparateTables) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(velto::kInstWriteLabelA, EncodeLabel(3, "1Pump"))).INST, 0);
  EXPECT_EQ(Answer(sim, Request(velto::kInstWriteLabelB, EncodeLabel(3, "2Fan"))).INST, 0);
  std::string text;
  ASSERT_TRUE(DecodeLabel(Answer(sim, Request(velto::kInstReadLabelA, {3})).Data, text));
  EXPECT_EQ(text, "1Pump");
  ASSERT_TRUE(DecodeLabel(Answer(sim, Request(velto::kInstReadLabelB, {3})).Data, text));
  EXPECT_EQ(text, "2Fan");
  EXPECT_EQ(sim.Label(true, 3), "1Pump");
}

TEST(SimLabels, UnwrittenLabelIsEmptyAndBadLengthsRefused) {
  TSimConfig config;
  config.LabelsB[7] = "9Door";
  TModuleSimulator sim(config);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadLabelA, {1})).Data, TBytes(21, 0));
  std::string text;
  ASSERT_TRUE(DecodeLabel(Answer(sim, Request(velto::kInstReadLabelB, {7})).Data, text));
  EXPECT_EQ(text, "9Door");
  EXPECT_EQ(Answer(sim, Request(velto::kInstWriteLabelA, TBytes(21, 0x31))).INST, 3);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadLabelA)).INST, 3);
}

// --- Standard instructions ---------------------------------------------------------

TEST(SimStandard, SimpleReadsAndWrites) {
  TSimConfig config;
  config.ValueF1 = 0x42;
  config.FirstId = 0x0001;
  config.SecondId = 0x0002;
  config.ThirdValue = 0x100;
  TModuleSimulator sim(config);
  EXPECT_EQ(Answer(sim, Request(tervan::kInstE3)).INST, 0);
  EXPECT_EQ(Answer(sim, Request(tervan::kInstReadByte)).Data, TBytes({0x42}));
  EXPECT_EQ(Answer(sim, Request(tervan::kInstWriteByte, {0x07})).INST, 0);
  EXPECT_EQ(Answer(sim, Request(tervan::kInstReadByte)).Data, TBytes({0x07}));
  EXPECT_EQ(Answer(sim, Request(tervan::kInstReadFlag)).Data, TBytes({0x00}));
  EXPECT_EQ(Answer(sim, Request(tervan::kInstWriteFlag, {0x01})).INST, 0);
  EXPECT_EQ(Answer(sim, Request(tervan::kInstReadFlag)).Data, TBytes({0x01}));
  EXPECT_EQ(Answer(sim, Request(tervan::kInstReadValues)).Data,
            BytesFromHex("00 01 00 02 00 00 01 00"));
}

TEST(SimStandard, TextWrittenWithItsFraming) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(tervan::kInstWriteText, BytesFromHex("00 61 62 63 00"))).INST, 0);
  EXPECT_EQ(TextOf(Answer(sim, Request(tervan::kInstReadText)).Data), "abc");
  TBytes longText = {0x00};
  for (char c : std::string("0123456789abcdef")) longText.push_back(static_cast<std::uint8_t>(c));
  EXPECT_EQ(Answer(sim, Request(tervan::kInstWriteText, longText)).INST, 0);
  EXPECT_EQ(sim.TextF2(), "0123456789abcdef");
  EXPECT_EQ(Answer(sim, Request(tervan::kInstWriteText)).INST, 3);
}

TEST(SimStandard, CommParamsRead) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(tervan::kInstReadCommParams)).Data, TBytes({0x31, 0x06}));
}

TEST(SimStandard, CommParamsWrittenOnlyRightAfterE4) {
  TModuleSimulator sim;
  EXPECT_EQ(Answer(sim, Request(tervan::kInstWriteCommParams, {0x32, 0x07})).INST, 2);
  EXPECT_EQ(Answer(sim, Request(tervan::kInstE4)).INST, 0);
  EXPECT_EQ(Answer(sim, Request(tervan::kInstReadCommParams)).INST, 0);
  EXPECT_EQ(Answer(sim, Request(tervan::kInstWriteCommParams, {0x32, 0x07})).INST, 2);
  EXPECT_EQ(sim.Address(), kAdr);
}

TEST(SimStandard, AddressChangeAnsweredAtTheOldAddressThenUsed) {
  TModuleSimulator sim;
  Answer(sim, Request(tervan::kInstE4));
  const auto answer = Answer(sim, Request(tervan::kInstWriteCommParams, {0x32, 0x08, 0xAA}));
  EXPECT_EQ(answer.ADR, 0x31);
  EXPECT_EQ(answer.INST, 0);
  EXPECT_EQ(sim.Address(), 0x32);
  EXPECT_EQ(sim.BaudCode(), 8);
  EXPECT_TRUE(Exchange(sim, Request(tervan::kInstReadCommParams)).empty());
  const auto read = Answer(sim, Request(tervan::kInstReadCommParams, {}, 0, 0x32));
  EXPECT_EQ(read.ADR, 0x32);
  EXPECT_EQ(read.Data, TBytes({0x32, 0x08, 0xAA}));
}

TEST(SimStandard, CommParamsWithBadValuesRefused) {
  TModuleSimulator sim;
  Answer(sim, Request(tervan::kInstE4));
  EXPECT_EQ(Answer(sim, Request(tervan::kInstWriteCommParams, {0x32, 0x0C})).INST, 3);
  Answer(sim, Request(tervan::kInstE4));
  EXPECT_EQ(Answer(sim, Request(tervan::kInstWriteCommParams, {0xFE, 0x06})).INST, 3);
  Answer(sim, Request(tervan::kInstE4));
  EXPECT_EQ(Answer(sim, Request(tervan::kInstWriteCommParams, {0x32})).INST, 3);
  EXPECT_EQ(sim.Address(), kAdr);
}

TEST(SimStandard, AddressChangeByIdentifiers) {
  TModuleSimulator sim;
  const auto answer = Answer(
      sim, Request(tervan::kInstChangeAddressByIds, BytesFromHex("35 12 34 56 78"), 0, 0xFE));
  EXPECT_EQ(answer.INST, 0);
  EXPECT_EQ(sim.Address(), 0x35);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadOption, {}, 0, 0x35)).ADR, 0x35);
}

TEST(SimStandard, AddressChangeByOtherIdentifiersIsIgnored) {
  TModuleSimulator sim;
  EXPECT_TRUE(Exchange(sim, Request(tervan::kInstChangeAddressByIds, BytesFromHex("35 12 34 56 79"),
                                    0, 0xFE))
                  .empty());
  EXPECT_EQ(sim.Address(), kAdr);
}

TEST(SimStandard, AddressChangeByIdentifiersOnBroadcastIsSilent) {
  TModuleSimulator sim;
  EXPECT_TRUE(Exchange(sim, Request(tervan::kInstChangeAddressByIds, BytesFromHex("36 12 34 56 78"),
                                    0, 0xFF))
                  .empty());
  EXPECT_EQ(sim.Address(), 0x36);
}

// --- Faults ------------------------------------------------------------------

TEST(SimFaults, NoAnswerToTheFirstOccurrences) {
  TSimConfig config;
  config.Faults[tervan::kInstIdentify].NoAnswer = 2;
  TModuleSimulator sim(config);
  EXPECT_TRUE(Exchange(sim, Request(tervan::kInstIdentify)).empty());
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadOption)).INST, 0);
  EXPECT_TRUE(Exchange(sim, Request(tervan::kInstIdentify)).empty());
  EXPECT_EQ(Answer(sim, Request(tervan::kInstIdentify)).INST, 0);
  EXPECT_EQ(sim.RequestCount(tervan::kInstIdentify), 3);
}

TEST(SimFaults, DroppedRequestIsNotCarriedOut) {
  TSimConfig config;
  config.Faults[velto::kInstSetOutputs].NoAnswer = -1;
  TModuleSimulator sim(config);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(Exchange(sim, Request(velto::kInstSetOutputs, {0x81})).empty());
  EXPECT_FALSE(sim.Outputs()[0]);
}

TEST(SimFaults, AnyInstructionUnlessItHasItsOwn) {
  TSimConfig config;
  config.Faults[kSimAnyInstruction].RefuseAck = 5;
  config.Faults[velto::kInstReadOption] = TSimFault{};
  TModuleSimulator sim(config);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadInputs)).INST, 5);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadOption)).INST, 0);
}

TEST(SimFaults, RefusedInstructionIsNotCarriedOut) {
  TSimConfig config;
  config.Faults[velto::kInstSetOutputs].RefuseAck = 4;
  TModuleSimulator sim(config);
  const auto answer = Answer(sim, Request(velto::kInstSetOutputs, {0x81}, 3));
  EXPECT_EQ(answer.INST, 4);
  EXPECT_EQ(answer.SIG, 3);
  EXPECT_FALSE(sim.Outputs()[0]);
}

TEST(SimFaults, GarbageBeforeTheAnswer) {
  TSimConfig config;
  config.Faults[velto::kInstReadInputs].Garbage = true;
  config.GarbageBytes = {0x13, 0x2A, 0x00};
  TModuleSimulator sim(config);
  sim.Receive(Request(velto::kInstReadInputs), 0);
  const auto writes = sim.TakeWrites();
  ASSERT_EQ(writes.size(), 1u);
  TBytes expected = {0x13, 0x2A, 0x00};
  const TBytes answer = BuildPacket(kAdr, 0, 0, {0x00});
  expected.insert(expected.end(), answer.begin(), answer.end());
  EXPECT_EQ(writes[0].Bytes, expected);
}

TEST(SimFaults, NotificationInTheSameWriteBeforeTheAnswer) {
  TSimConfig config = ConfigWithInputs({2});
  config.Faults[velto::kInstSetOutputs].NotifyBefore = true;
  TModuleSimulator sim(config);
  sim.Receive(Request(velto::kInstSetOutputs, {0x81}, 7), 0);
  const auto writes = sim.TakeWrites();
  ASSERT_EQ(writes.size(), 1u);
  const auto packets = Packets(writes[0].Bytes);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].INST, 0x0D);
  EXPECT_EQ(packets[0].Data, TBytes({0x02}));
  EXPECT_EQ(packets[1].INST, 0);
  EXPECT_EQ(packets[1].SIG, 7);
}

TEST(SimFaults, AnswerSplitIntoSingleBytes) {
  TSimConfig config;
  config.Faults[velto::kInstReadOption].SplitDelayMs = 15;
  TModuleSimulator sim(config);
  sim.Receive(Request(velto::kInstReadOption), 0);
  const auto writes = sim.TakeWrites();
  const TBytes answer = BuildPacket(kAdr, 0, 0, {0x00});
  ASSERT_EQ(writes.size(), answer.size());
  for (std::size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i].Bytes, TBytes({answer[i]})) << i;
    EXPECT_EQ(writes[i].DelayMs, i == 0 ? 0u : 15u) << i;
  }
}

TEST(SimFaults, WrongSignature) {
  TSimConfig config;
  config.Faults[velto::kInstReadInputs].WrongSig = true;
  TModuleSimulator sim(config);
  EXPECT_NE(Answer(sim, Request(velto::kInstReadInputs, {}, 4)).SIG, 4);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadOutputs, {}, 4)).SIG, 4);
}

TEST(SimFaults, CloseAfterAnswersOnEachConnection) {
  TSimConfig config;
  config.CloseAfterAnswers = 2;
  TModuleSimulator sim(config);
  sim.OpenChannel(1);
  sim.Receive(1, Request(velto::kInstReadOption), 0);
  sim.Receive(1, Request(velto::kInstReadOption), 0);
  sim.Receive(1, Request(velto::kInstReadOption), 0);
  auto writes = sim.TakeWrites();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_FALSE(writes[1].Close);
  EXPECT_TRUE(writes[2].Close);
  EXPECT_TRUE(writes[2].Bytes.empty());
  sim.OpenChannel(1);
  sim.Receive(1, Request(velto::kInstReadOption), 0);
  writes = sim.TakeWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_FALSE(writes[0].Close);
}

TEST(SimFaults, CloseOnAnInstruction) {
  TSimConfig config;
  config.Faults[velto::kInstReadInputs].CloseOn = true;
  TModuleSimulator sim(config);
  EXPECT_EQ(Answer(sim, Request(velto::kInstReadOutputs)).INST, 0);
  sim.Receive(Request(velto::kInstReadInputs), 0);
  const auto writes = sim.TakeWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_TRUE(writes[0].Close);
  EXPECT_TRUE(writes[0].Bytes.empty());
}

TEST(SimFaults, UnrecognisedIdentificationFirst) {
  TSimConfig config;
  config.BadIdentCount = 1;
  TModuleSimulator sim(config);
  TVeltoInfo info;
  const auto first = Answer(sim, Request(tervan::kInstIdentify));
  EXPECT_EQ(first.INST, 0);
  EXPECT_FALSE(ParseVeltoInfo(TextOf(first.Data), info));
  EXPECT_TRUE(ParseVeltoInfo(TextOf(Answer(sim, Request(tervan::kInstIdentify)).Data), info));
}

// --- Log ---------------------------------------------------------------------

TEST(SimLog, PacketsReceivedAndSent) {
  TSimConfig config;
  config.Log = true;
  TModuleSimulator sim(config);
  TBytes bytes = {0x41};
  const TBytes request = Request(velto::kInstReadOption);
  bytes.insert(bytes.end(), request.begin(), request.end());
  sim.Receive(bytes, 0);
  sim.Receive(Request(velto::kInstReadOption, {}, 0, 0x40), 0);
  const auto log = sim.TakeLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(FormatSimLogEntry(log[0]), "RX 41 (garbage)");
  EXPECT_EQ(FormatSimLogEntry(log[1]), "RX " + HexOf(request));
  EXPECT_EQ(FormatSimLogEntry(log[2]), "TX " + HexOf(BuildPacket(kAdr, 0, 0, {0x00})));
  EXPECT_EQ(log[3].Note, "other address");
  EXPECT_TRUE(sim.TakeLog().empty());
}

TEST(SimLog, NothingKeptUnlessAsked) {
  TModuleSimulator sim;
  sim.Receive(Request(velto::kInstReadOption), 0);
  EXPECT_TRUE(sim.TakeLog().empty());
}

// --- Threads -----------------------------------------------------------------

TEST(SimThreaded, InputChangesWhileRequestsArrive) {
  TSimConfig config;
  config.Notify = true;
  TModuleSimulator sim(config);
  std::atomic<int> notified{0};
  sim.SetOnWrites([&] { ++notified; });
  std::thread toggler([&] {
    for (int i = 0; i < 200; ++i) sim.SetInput(1, i % 2 == 0);
  });
  std::size_t answers = 0;
  for (int i = 0; i < 200; ++i) {
    sim.Receive(Request(velto::kInstReadInputs), static_cast<std::uint32_t>(i));
    for (const auto& packet : Packets(sim.TakeBytes())) answers += packet.INST == 0 ? 1 : 0;
  }
  toggler.join();
  for (const auto& packet : Packets(sim.TakeBytes())) answers += packet.INST == 0 ? 1 : 0;
  EXPECT_EQ(answers, 200u);
  EXPECT_EQ(sim.Counter(1), 100u);
  EXPECT_GE(notified.load(), 200);
}

}  // namespace
