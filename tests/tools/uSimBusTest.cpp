// Several simulated modules on one line, in-process.
#include <gtest/gtest.h>

#include "protocol/uTervan97.h"
#include "simulator/uSimBus.h"
#include "simulator/uSimCommands.h"
#include "simulator/uSimLineTiming.h"
#include "simulator/uSimOptions.h"

namespace {

constexpr int kChannel = 7;

std::vector<TSimConfig> Modules(std::initializer_list<std::uint8_t> addresses, bool log = false) {
  std::vector<TSimConfig> configs;
  for (std::uint8_t address : addresses) {
    TSimConfig config;
    config.Address = address;
    config.Log = log;
    configs.push_back(config);
  }
  return configs;
}

// What goes out on the channel for one request.
TBytes Ask(TSimBus& bus, std::uint8_t adr, std::uint8_t inst, const TBytes& data = {},
           std::uint8_t sig = 0) {
  bus.Receive(kChannel, BuildPacket(adr, sig, inst, data), 0);
  TBytes out;
  for (const TSimWrite& write : bus.TakeWrites()) {
    EXPECT_EQ(write.Channel, kChannel);
    out.insert(out.end(), write.Bytes.begin(), write.Bytes.end());
  }
  return out;
}

TEST(SimBus, OnlyTheAddressedModuleAnswers) {
  TSimBus bus(Modules({0x31, 0x37, 200}));
  bus.OpenChannel(kChannel);
  EXPECT_EQ(Ask(bus, 0x37, 0x11, {}, 4), BuildPacket(0x37, 4, 0, {0x00}));
  EXPECT_EQ(Ask(bus, 200, 0x30), BuildPacket(200, 0, 0, {0x00}));
  EXPECT_TRUE(Ask(bus, 0x32, 0x11).empty());
  EXPECT_EQ(bus.Module(1).RequestCount(velto::kInstReadOption), 1);
  EXPECT_EQ(bus.Module(0).RequestCount(velto::kInstReadOption), 0);
}

TEST(SimBus, EachModuleKeepsItsOwnState) {
  TSimBus bus(Modules({0x31, 0x37}));
  bus.OpenChannel(kChannel);
  EXPECT_EQ(Ask(bus, 0x37, 0x20, {0x82}), BuildPacket(0x37, 0, 0, {}));
  EXPECT_EQ(bus.Module(1).Outputs(), std::vector<bool>({false, true, false, false}));
  EXPECT_EQ(bus.Module(0).Outputs(), std::vector<bool>(4, false));
  EXPECT_EQ(Ask(bus, 0x31, 0x30), BuildPacket(0x31, 0, 0, {0x00}));
  EXPECT_EQ(Ask(bus, 0x37, 0x30), BuildPacket(0x37, 0, 0, {0x02}));
}

TEST(SimBus, BroadcastIsCarriedOutByAllAndAnsweredByNone) {
  TSimBus bus(Modules({0x31, 0x37, 0x37}));
  bus.OpenChannel(kChannel);
  EXPECT_TRUE(Ask(bus, 0xFF, 0x20, {0x81}).empty());
  for (std::size_t i = 0; i < bus.Size(); ++i) EXPECT_TRUE(bus.Module(i).Outputs()[0]) << i;
}

// Requests that more than one module answers.
struct TCollisionCase {
  const char* Name;
  std::vector<std::uint8_t> Addresses;
  std::uint8_t Adr;
  std::size_t Answering;
};

class SimBusCollisions : public ::testing::TestWithParam<TCollisionCase> {};

TEST_P(SimBusCollisions, AnswersCollideIntoAFrameThatIsNeverValid) {
  std::vector<TSimConfig> configs;
  for (std::uint8_t address : GetParam().Addresses) {
    configs.push_back({});
    configs.back().Address = address;
    configs.back().Log = true;
  }
  TSimBus bus(configs);
  bus.OpenChannel(kChannel);
  const TBytes line = Ask(bus, GetParam().Adr, 0xF3, {}, 5);
  ASSERT_FALSE(line.empty());
  EXPECT_NE(CheckPacket(line), 0) << HexOf(line);
  // Every module carried the request out.
  std::size_t carried = 0;
  for (std::size_t i = 0; i < bus.Size(); ++i)
    carried += bus.Module(i).RequestCount(tervan::kInstIdentify);
  EXPECT_EQ(carried, GetParam().Answering);
  bool said = false;
  for (const TSimLogEntry& entry : bus.TakeLog()) {
    said = said ||
           FormatSimLogEntry(entry).find("(collision: " + std::to_string(GetParam().Answering) +
                                         " modules answered:") != std::string::npos;
  }
  EXPECT_TRUE(said);
}

INSTANTIATE_TEST_SUITE_P(
    Bus, SimBusCollisions,
    ::testing::Values(
        // The same module twice gives the same answer twice: still no valid frame.
        TCollisionCase{"SharedAddress", {0x31, 0x37, 0x37}, 0x37, 2},
        TCollisionCase{"Universal", {0x31, 0x37, 200}, 0xFE, 3},
        TCollisionCase{"UniversalWithTwoModules", {0x31, 0x37}, 0xFE, 2}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(SimBus, UniversalAddressWithOneModuleIsAnsweredAsAlways) {
  TSimBus bus(Modules({0x31}));
  EXPECT_EQ(Ask(bus, 0xFE, 0x11, {}, 3), BuildPacket(0x31, 3, 0, {0x00}));
}

TEST(SimBus, CollideOrsTheAnswersAndSpoilsTheChecksum) {
  const TBytes a = BuildPacket(0x31, 1, 0, {0x01});
  const TBytes b = BuildPacket(0x37, 1, 0, {0x10, 0x20});
  const TBytes line = TSimBus::Collide({a, b});
  ASSERT_EQ(line.size(), b.size());
  EXPECT_EQ(line[4], 0x31 | 0x37);
  EXPECT_EQ(line[7], 0x01 | 0x10);
  EXPECT_EQ(CheckPacket(line), 5);  // framed whole, checksum wrong
  EXPECT_NE(CheckPacket(TSimBus::Collide({a, a})), 0);
}

TEST(SimBus, LogShowsEachReceivedPacketOnceAndWhoAnswered) {
  TSimBus bus(Modules({0x31, 0x37}, true));
  bus.OpenChannel(kChannel);
  const TBytes request = BuildPacket(0x37, 0, 0x11, {});
  Ask(bus, 0x37, 0x11);
  std::vector<std::string> lines;
  for (const TSimLogEntry& entry : bus.TakeLog()) lines.push_back(FormatSimLogEntry(entry));
  EXPECT_EQ(lines, std::vector<std::string>({"RX " + HexOf(request),
                                             "#55 TX " + HexOf(BuildPacket(0x37, 0, 0, {0x00}))}));
}

TEST(SimBus, TwoRequestsInOneReadAreEachAnsweredByTheirModule) {
  TSimBus bus(Modules({0x31, 0x37}));
  bus.OpenChannel(kChannel);
  TBytes both = BuildPacket(0x37, 1, 0x11, {});
  const TBytes second = BuildPacket(0x31, 2, 0x11, {});
  both.insert(both.end(), second.begin(), second.end());
  bus.Receive(kChannel, both, 0);
  const auto writes = bus.TakeWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].Bytes, BuildPacket(0x37, 1, 0, {0x00}));
  EXPECT_EQ(writes[1].Bytes, BuildPacket(0x31, 2, 0, {0x00}));
}

TEST(SimBus, CommandsReachOneModuleOrAll) {
  TSimBus bus(Modules({0x31, 0x37, 0x37}));
  std::string error;
  EXPECT_EQ(ApplySimBusCommand("@7 in 2 on", bus, error), TSimCommandResult::Done) << error;
  EXPECT_FALSE(bus.Module(0).Inputs()[1]);
  EXPECT_TRUE(bus.Module(1).Inputs()[1]);
  EXPECT_TRUE(bus.Module(2).Inputs()[1]);
  EXPECT_EQ(ApplySimBusCommand("in 3 on", bus, error), TSimCommandResult::Done);
  for (std::size_t i = 0; i < bus.Size(); ++i) EXPECT_TRUE(bus.Module(i).Inputs()[2]);
  EXPECT_EQ(ApplySimBusCommand("@9 in 1 on", bus, error), TSimCommandResult::Error);
  EXPECT_NE(error.find("no module at #57"), std::string::npos) << error;
  EXPECT_EQ(ApplySimBusCommand("@#300 in 1 on", bus, error), TSimCommandResult::Error);
  EXPECT_EQ(ApplySimBusCommand("@1 quit", bus, error), TSimCommandResult::Error);
  EXPECT_EQ(ApplySimBusCommand("quit", bus, error), TSimCommandResult::Quit);
}

TEST(SimBusOptions, AddressListAndOptionsForOneModule) {
  TSimOptions options;
  std::string error;
  ASSERT_TRUE(ParseSimOptions({"--address", "1,7,#200,7", "--inputs-on", "1", "--inputs-on@7", "3",
                               "--notify@#200", "--ident@1=VELTO RS 16/8;V2.00.00;F97"},
                              options, error))
      << error;
  const auto configs = SimModuleConfigs(options);
  ASSERT_EQ(configs.size(), 4u);
  EXPECT_EQ(configs[0].Address, 0x31);
  EXPECT_EQ(configs[1].Address, 0x37);
  EXPECT_EQ(configs[2].Address, 200);
  EXPECT_EQ(configs[3].Address, 0x37);
  EXPECT_EQ(configs[0].Identification, "VELTO RS 16/8;V2.00.00;F97");
  EXPECT_EQ(configs[1].Identification, "");
  EXPECT_EQ(configs[1].Inputs, std::vector<bool>({false, false, true}));
  EXPECT_EQ(configs[3].Inputs, std::vector<bool>({false, false, true}));
  EXPECT_EQ(configs[0].Inputs, std::vector<bool>({true}));
  EXPECT_EQ(configs[2].Inputs, std::vector<bool>({true}));
  EXPECT_TRUE(configs[2].Notify);
  EXPECT_FALSE(configs[0].Notify);
}

// A list of states that start on is the module's whole set: one given for a
// module alone stands instead of the common one, never on top of it (else the
// module at 7 below would answer inputs 1, 2 and 3, as if it were another).
TEST(SimBusOptions, OnListsForOneModuleReplaceTheCommonList) {
  struct TCase {
    std::vector<std::string> Args;
    std::vector<std::vector<bool>> Inputs;   // per module, in address order
    std::vector<std::vector<bool>> Outputs;
  };
  const std::vector<TCase> cases = {
      {{"--address", "1,7,200", "--inputs-on", "1,3", "--inputs-on@7", "2", "--inputs-on@200",
        "1,2,3"},
       {{true, false, true}, {false, true}, {true, true, true}},
       {{}, {}, {}}},
      {{"--address", "1,7", "--inputs-on@7", "2", "--inputs-on", "1,3"},
       {{true, false, true}, {false, true}},
       {{}, {}}},
      {{"--address", "1,7", "--outputs-on", "1,2", "--outputs-on@1", "4"},
       {{}, {}},
       {{false, false, false, true}, {true, true}}},
      {{"--address", "1,7", "--inputs-on", "1", "--inputs-on", "3"},
       {{false, false, true}, {false, false, true}},
       {{}, {}}},
  };
  for (const TCase& c : cases) {
    TSimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions(c.Args, options, error)) << error;
    const auto configs = SimModuleConfigs(options);
    ASSERT_EQ(configs.size(), c.Inputs.size()) << c.Args[1];
    for (std::size_t i = 0; i < configs.size(); ++i) {
      EXPECT_EQ(configs[i].Inputs, c.Inputs[i]) << c.Args[3] << ", module " << i;
      EXPECT_EQ(configs[i].Outputs, c.Outputs[i]) << c.Args[3] << ", module " << i;
    }
  }
}

TEST(SimBusOptions, BadFormsSayWhy) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--address", "1,,7"}, "bad value '1,,7' for --address"},
      {{"--address", "1,#254"}, "bad value '1,#254' for --address"},
      {{"--address", "1,7", "--notify@2"}, "no module at #50 for --notify@50"},
      {{"--wire-baud@1", "9600"}, "option --wire-baud applies to the whole simulator"},
      {{"--inputs@#999", "4"}, "bad module address in --inputs@#999"},
      {{"--address", "1,7", "--outputs@7", "200"}, "bad value '200' for --outputs"},
  };
  for (const auto& [args, expected] : cases) {
    TSimOptions options;
    std::string error;
    EXPECT_FALSE(ParseSimOptions(args, options, error)) << args[0];
    EXPECT_NE(error.find(expected), std::string::npos) << error;
  }
}

TEST(SimLineTiming, BytesLeaveOneAfterTheOther) {
  TSimLineTiming timing(0, 1000);  // 10 ms a byte
  const TSimLineTiming::TTime start{};
  EXPECT_EQ(timing.BytesBy(start, start, 5), 0u);
  EXPECT_EQ(timing.BytesBy(start, start + std::chrono::milliseconds(9), 5), 0u);
  EXPECT_EQ(timing.BytesBy(start, start + std::chrono::milliseconds(10), 5), 1u);
  EXPECT_EQ(timing.BytesBy(start, start + std::chrono::milliseconds(35), 5), 3u);
  EXPECT_EQ(timing.BytesBy(start, start + std::chrono::hours(24 * 365), 5), 5u);
  EXPECT_EQ(timing.BytesBy(start + std::chrono::seconds(1), start, 5), 0u);
  EXPECT_EQ(TSimLineTiming(0, 0).BytesBy(start, start, 5), 5u);
}

}  // namespace
