#include <gtest/gtest.h>

#include "protocol/uTervan97.h"
#include "simulator/uSimCommands.h"
#include "simulator/uSimOptions.h"
#include "simulator/uSimServer.h"

namespace {

TSimOptions Parse(const std::vector<std::string>& args) {
  TSimOptions options;
  std::string error;
  EXPECT_TRUE(ParseSimOptions(args, options, error)) << error;
  return options;
}

std::string ParseError(const std::vector<std::string>& args) {
  TSimOptions options;
  std::string error;
  EXPECT_FALSE(ParseSimOptions(args, options, error));
  return error;
}

TEST(SimOptionsParse, DefaultsWithoutArguments) {
  const TSimOptions o = Parse({});
  EXPECT_EQ(o.Server.Host, "127.0.0.1");
  EXPECT_EQ(o.Server.Port, 10001);
  EXPECT_FALSE(o.Server.Pty);
  EXPECT_FALSE(o.StdinQuit);
  EXPECT_EQ(o.Module.Address, 0x31);
  EXPECT_EQ(SimIdentification(o.Module), "VELTO ETH 8/4;V1.02.03;F97");
  EXPECT_TRUE(o.Module.Faults.empty());
}

TEST(SimOptionsParse, AddressNotations) {
  std::uint8_t address = 0;
  ASSERT_TRUE(ParseSimAddress("1", address));
  EXPECT_EQ(address, 0x31);
  ASSERT_TRUE(ParseSimAddress("#49", address));
  EXPECT_EQ(address, 49);
  ASSERT_TRUE(ParseSimAddress("#$32", address));
  EXPECT_EQ(address, 0x32);
  ASSERT_TRUE(ParseSimAddress("0x41", address));
  EXPECT_EQ(address, 0x41);
  ASSERT_TRUE(ParseSimAddress("10", address));
  EXPECT_EQ(address, 10);
  EXPECT_FALSE(ParseSimAddress("#254", address));  // universal
  EXPECT_FALSE(ParseSimAddress("255", address));   // broadcast
  EXPECT_FALSE(ParseSimAddress("#256", address));
  EXPECT_FALSE(ParseSimAddress("ab", address));
  EXPECT_FALSE(ParseSimAddress("", address));
  EXPECT_EQ(address, 10);
}

TEST(SimOptionsParse, ValuesInlineOrSeparate) {
  const TSimOptions o = Parse({"--port=0", "--inputs", "16", "--outputs=2", "--pty", "--log"});
  EXPECT_EQ(o.Server.Port, 0);
  EXPECT_EQ(o.Module.InputCount, 16);
  EXPECT_EQ(o.Module.OutputCount, 2);
  EXPECT_TRUE(o.Server.Pty);
  EXPECT_TRUE(o.Server.Log);
}

TEST(SimOptionsParse, ModuleState) {
  const TSimOptions o = Parse({"--inputs-on", "1,3",           "--outputs-on", "2",
                               "--counters",  "5,0x100",       "--ids",        "0x0001,2",
                               "--label-a",   "3:1Pump",       "--label-b=0:", "--temp",
                               "-4.5",        "--no-counters", "--notify",     "--baud-code",
                               "8",           "--option",      "0x61",         "--fa-value",
                               "4294967295"});
  EXPECT_EQ(o.Module.Inputs, std::vector<bool>({true, false, true}));
  EXPECT_EQ(o.Module.Outputs, std::vector<bool>({false, true}));
  EXPECT_EQ(o.Module.Counters, std::vector<std::uint64_t>({5, 256}));
  EXPECT_EQ(o.Module.FirstId, 1);
  EXPECT_EQ(o.Module.SecondId, 2);
  EXPECT_EQ(o.Module.LabelsA.at(3), "1Pump");
  EXPECT_EQ(o.Module.LabelsB.at(0), "");
  EXPECT_DOUBLE_EQ(o.Module.Temperature, -4.5);
  EXPECT_FALSE(o.Module.CountersSupported);
  EXPECT_TRUE(o.Module.Notify);
  EXPECT_EQ(o.Module.BaudCode, 8);
  EXPECT_EQ(o.Module.OptionByte, 0x61);
  EXPECT_EQ(o.Module.ThirdValue, 0xFFFFFFFFu);
}

TEST(SimOptionsParse, Faults) {
  const TSimOptions o =
      Parse({"--no-answer",     "0xF3:2", "--no-answer", "$31",    "--refuse",   "any",
             "--refuse",        "0x20:7", "--split",     "17",     "--split",    "0x30:0",
             "--close-after",   "3",      "--bad-ident", "always", "--close-on", "0x51",
             "--garbage-bytes", "2A 00"});
  EXPECT_EQ(o.Module.Faults.at(0xF3).NoAnswer, 2);
  EXPECT_EQ(o.Module.Faults.at(0x31).NoAnswer, -1);
  EXPECT_EQ(o.Module.Faults.at(kSimAnyInstruction).RefuseAck, 2);
  EXPECT_EQ(o.Module.Faults.at(0x20).RefuseAck, 7);
  EXPECT_EQ(o.Module.Faults.at(17).SplitDelayMs, 10);
  EXPECT_EQ(o.Module.Faults.at(0x30).SplitDelayMs, 0);
  EXPECT_TRUE(o.Module.Faults.at(0x51).CloseOn);
  EXPECT_EQ(o.Module.CloseAfterAnswers, 3);
  EXPECT_EQ(o.Module.BadIdentCount, -1);
  EXPECT_EQ(o.Module.GarbageBytes, TBytes({0x2A, 0x00}));
}

TEST(SimOptionsParse, ClearErrors) {
  EXPECT_NE(ParseError({"--port"}).find("needs a value"), std::string::npos);
  EXPECT_NE(ParseError({"--port", "70000"}).find("--port"), std::string::npos);
  EXPECT_NE(ParseError({"--bogus"}).find("unknown option --bogus"), std::string::npos);
  EXPECT_NE(ParseError({"--pty=1"}).find("takes no value"), std::string::npos);
  EXPECT_NE(ParseError({"stray"}).find("unexpected argument"), std::string::npos);
  ParseError({"--inputs-on", "1,x"});
  ParseError({"--inputs-on", "0"});
  ParseError({"--counters", "-1"});
  ParseError({"--counter-width", "65"});
  ParseError({"--no-answer", "0x100"});
  ParseError({"--no-answer", "0xF3:0"});
  ParseError({"--refuse", "0x20:256"});
  ParseError({"--label-a", "3"});
  ParseError({"--label-a", "3:0123456789012345678901"});
  ParseError({"--ids", "1"});
  ParseError({"--ids", "1,65536"});
  ParseError({"--temp", "warm"});
  ParseError({"--garbage-bytes", "zz"});
  ParseError({"--text-f2", "01234567890123456"});
  ParseError({"--fa-value", "4294967296"});
  ParseError({"--answer-delay", "-1"});
  ParseError({"--wire-baud", "fast"});
}

TEST(SimOptionsParse, IdentificationThatNoPacketCarriesIsRefusedAtStart) {
  // Refused here rather than ending the program at the first identification.
  // The longest text accepted must still make an answer packet.
  const std::string longest(65528, 'V');
  EXPECT_EQ(Parse({"--ident", longest}).Module.Identification.size(), 65528u);
  EXPECT_NO_THROW(BuildPacket(0x31, 0, 0, BytesOf(longest)));
  for (std::size_t extra : {1u, 2u, 3u}) {
    const std::string text = longest + std::string(extra, 'X');
    EXPECT_NE(ParseError({"--ident", text}).find("identification"), std::string::npos) << extra;
    EXPECT_NE(ParseError({"--bad-ident-text", text}).find("identification"), std::string::npos);
  }
  EXPECT_NE(ParseError({"--interface", longest}).find("identification"), std::string::npos);
}

TEST(SimOptionsParse, HelpListsEveryOption) {
  EXPECT_TRUE(Parse({"--help"}).Help);
  EXPECT_TRUE(Parse({"-h"}).Help);
  const std::string usage = SimUsage();
  // The limits it states are the server's.
  for (const std::string& limit : {"Up to " + std::to_string(kSimMaxClients) + " TCP clients",
                                   std::to_string(kSimBacklogLimit >> 20) + " MiB",
                                   std::to_string(kSimMaxCommandLine) + " characters"})
    EXPECT_NE(usage.find(limit), std::string::npos) << limit;
  for (const char* name :
       {"--host",          "--port",        "--pty",           "--log",
        "--stdin-quit",    "--address",     "--ident",         "--interface",
        "--inputs",        "--outputs",     "--inputs-on",     "--outputs-on",
        "--state-bytes",   "--counters",    "--counter-width", "--no-counters",
        "--temp",          "--temp-status", "--thermometers",  "--option",
        "--label-a",       "--label-b",     "--baud-code",     "--ids",
        "--fa-value",      "--value-f1",    "--text-f2",       "--flag-fe",
        "--notify",        "--no-answer",   "--garbage",       "--garbage-bytes",
        "--notify-before", "--split",       "--wrong-sig",     "--refuse",
        "--close-after",   "--close-on",    "--bad-ident",     "--bad-ident-text",
        "--answer-delay",  "--wire-baud"}) {
    EXPECT_NE(usage.find(std::string(name) + " "), std::string::npos) << name;
    TSimOptions o;
    std::string error;
    ParseSimOptions({name}, o, error);
    EXPECT_EQ(error.find("unknown option"), std::string::npos) << name;
  }
}

// --- Commands on standard input ------------------------------------------------

TEST(SimCommands, InputTemperatureNotifyCounter) {
  TModuleSimulator module;
  std::string error;
  EXPECT_EQ(ApplySimCommand("in 3 on", module, error), TSimCommandResult::Done);
  EXPECT_TRUE(module.Inputs()[2]);
  EXPECT_EQ(ApplySimCommand("  IN 3 0 ", module, error), TSimCommandResult::Done);
  EXPECT_FALSE(module.Inputs()[2]);
  EXPECT_EQ(ApplySimCommand("temp -20", module, error), TSimCommandResult::Done);
  module.Receive(BuildPacket(0x31, 0, 0x51, {0x01}), 0);
  EXPECT_EQ(ParsePacket(module.TakeBytes()).Data, TBytes({0x00, 0xFF, 0x38}));
  EXPECT_EQ(ApplySimCommand("notify on", module, error), TSimCommandResult::Done);
  EXPECT_EQ(ApplySimCommand("in 1 on", module, error), TSimCommandResult::Done);
  EXPECT_EQ(module.TakeWrites().size(), 1u);
  EXPECT_EQ(ApplySimCommand("counter 2 77", module, error), TSimCommandResult::Done);
  EXPECT_EQ(module.Counter(2), 77u);
  EXPECT_EQ(ApplySimCommand("", module, error), TSimCommandResult::Done);
  EXPECT_EQ(ApplySimCommand("# a comment", module, error), TSimCommandResult::Done);
  EXPECT_EQ(ApplySimCommand("quit", module, error), TSimCommandResult::Quit);
}

TEST(SimCommands, BadCommandsSayWhy) {
  TModuleSimulator module;
  std::string error;
  EXPECT_EQ(ApplySimCommand("in 9 on", module, error), TSimCommandResult::Error);
  EXPECT_NE(error.find("no input 9"), std::string::npos);
  for (const char* line : {"in 3", "in 3 maybe", "temp hot", "notify", "counter 99 1",
                           "counter 1 -1", "jump", "quit now"}) {
    error.clear();
    EXPECT_EQ(ApplySimCommand(line, module, error), TSimCommandResult::Error) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
  EXPECT_EQ(module.Inputs(), std::vector<bool>(8, false));
}

}  // namespace
