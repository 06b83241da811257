// The bus scan program run against the simulator's bus, and the bus itself
// as a process.
#include <gtest/gtest.h>

#include "protocol/uTervan97.h"
#include "support/uSimulatorProcess.h"

namespace {

constexpr int kTimeoutMs = 5000;
constexpr int kScanTimeoutMs = 60000;

std::string Tcp(const TSimulatorProcess& sim) {
  return "/TCP=127.0.0.1:" + std::to_string(sim.Port);
}

TProgramResult Scan(const std::vector<std::string>& args) {
  return RunProgram(ProgramPath("VeltoScan"), args, kScanTimeoutMs);
}

TEST(VeltoScanProcess, FindsExactlyTheModulesOfTheBusInOrder) {
  auto sim = StartSimulator(
      {"--address", "#60,1,#40", "--ident@1", "VELTO ETH 8/8;V1.02.03;F97;T1"});
  ASSERT_NE(sim.Port, 0);
  const auto run = Scan({Tcp(sim), "/From=#30", "/To=#70", "/nolog"});
  EXPECT_EQ(run.ExitStatus, 3) << run.Stderr;
  EXPECT_EQ(run.Stdout,
            "#40\tVELTO ETH 8/4;V1.02.03;F97\n"
            "#49\tVELTO ETH 8/8;V1.02.03;F97;T1\n"
            "#60\tVELTO ETH 8/4;V1.02.03;F97\n");
  EXPECT_EQ(run.Stderr, "");
}

TEST(VeltoScanProcess, OverAPseudoTerminalAtTheLinesPace) {
  auto sim = StartSimulator({"--pty", "--wire-baud", "9600", "--address", "1,7"});
  ASSERT_FALSE(sim.PtyPath.empty());
  setenv("VELTO_COM7", sim.PtyPath.c_str(), 1);
  const auto run = Scan({"/COM=7:9600", "/From=#45", "/To=#60"});
  unsetenv("VELTO_COM7");
  EXPECT_EQ(run.ExitStatus, 2) << run.Stderr;
  EXPECT_EQ(run.Stdout,
            "Connection established.\n"
            "#49\tVELTO ETH 8/4;V1.02.03;F97\n"
            "#55\tVELTO ETH 8/4;V1.02.03;F97\n");
}

// An answer that pauses longer than the margin between its bytes is still
// one answer: neither a collision of its own turn nor of the next.
TEST(VeltoScanProcess, AnAnswerThatPausesMidwayIsStillOneAnswer) {
  auto sim = StartSimulator({"--pty", "--wire-baud", "9600", "--address", "1,7", "--ident", "V1",
                             "--split", "0xF3:40"});
  ASSERT_FALSE(sim.PtyPath.empty());
  setenv("VELTO_COM7", sim.PtyPath.c_str(), 1);
  const auto run = Scan({"/COM=7:9600", "/From=#48", "/To=#56", "/nolog"});
  unsetenv("VELTO_COM7");
  EXPECT_EQ(run.ExitStatus, 2) << run.Stderr;
  EXPECT_EQ(run.Stdout, "#49\tV1\n#55\tV1\n");
  EXPECT_EQ(run.Stderr, "");
}

TEST(VeltoScanProcess, ModulesSharingAnAddressAreACollisionNotAModule) {
  auto sim = StartSimulator({"--address", "1,7,7"});
  ASSERT_NE(sim.Port, 0);
  const auto run = Scan({Tcp(sim), "/From=#45", "/To=#60", "/nolog"});
  EXPECT_EQ(run.ExitStatus, 1);
  EXPECT_EQ(run.Stdout, "#49\tVELTO ETH 8/4;V1.02.03;F97\n");
  EXPECT_NE(run.Stderr.find("VeltoScan: #55: garbled answer"), std::string::npos) << run.Stderr;
}

// Every answer comes after the scan has moved on: it may count for the
// address that gave it, never for the one being asked when it arrives.
TEST(VeltoScanProcess, ALateAnswerIsNeverCreditedToTheNextAddress) {
  auto sim = StartSimulator({"--address", "1", "--answer-delay", "150"});
  ASSERT_NE(sim.Port, 0);
  const auto run = Scan({Tcp(sim), "/From=#45", "/To=#60", "/Timeout=20", "/nolog"});
  EXPECT_LE(run.ExitStatus, 1);
  EXPECT_TRUE(run.Stdout.empty() || run.Stdout == "#49\tVELTO ETH 8/4;V1.02.03;F97\n")
      << run.Stdout;
}

TEST(VeltoScanProcess, NoModuleGivesZero) {
  auto sim = StartSimulator({"--address", "1"});
  ASSERT_NE(sim.Port, 0);
  const auto run = Scan({Tcp(sim), "/From=#100", "/To=#103"});
  EXPECT_EQ(run.ExitStatus, 0);
  EXPECT_EQ(run.Stdout, "Connection established.\n");
}

TEST(VeltoScanProcess, ConnectionThatCannotBeMadeGivesMinusOne) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  const std::string target = Tcp(sim);
  sim.Process.Kill();
  const auto run = Scan({target});
  EXPECT_EQ(run.ExitStatus, 255);
  EXPECT_EQ(run.Stdout, "Connection refused!\n");
  EXPECT_NE(run.Stderr.find("VeltoScan: 127.0.0.1:"), std::string::npos) << run.Stderr;
}

TEST(VeltoScanProcess, HelpMissingConnectionAndBadRange) {
  const auto help = Scan({"/?"});
  EXPECT_EQ(help.ExitStatus, 255);
  EXPECT_NE(help.Stdout.find("/From=[ADDRESS]"), std::string::npos);
  const auto none = Scan({"/From=1"});
  EXPECT_EQ(none.ExitStatus, 255);
  EXPECT_EQ(none.Stdout, "Not defined connection to Velto!\n");
  const auto range = Scan({"/TCP=127.0.0.1:1", "/From=#9", "/To=#8"});
  EXPECT_EQ(range.ExitStatus, 255);
  EXPECT_EQ(range.Stdout, "Bad address range!\n");
}

// --- the bus as a process ------------------------------------------------------

TTervanFormat97 Answer(TLoopbackClient& client) {
  const TBytes packet = client.ReadPacket(kTimeoutMs);
  EXPECT_EQ(CheckPacket(packet), 0) << HexOf(packet);
  return CheckPacket(packet) == 0 ? ParsePacket(packet) : TTervanFormat97{};
}

TEST(SimulatorBusProcess, ModulesOnOneLineEachWithItsOwnState) {
  auto sim = StartSimulator({"--address", "1,7,7", "--log"});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 1, 0x20, {0x81})));
  EXPECT_EQ(Answer(client).ADR, 0x31);
  ASSERT_TRUE(client.Send(BuildPacket(0xFF, 2, 0x20, {0x82})));  // broadcast: nobody answers
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 3, 0x30, {})));
  const auto outputs = Answer(client);
  EXPECT_EQ(outputs.SIG, 3) << "the broadcast was answered";
  EXPECT_EQ(outputs.Data, TBytes({0x03}));
  // The two modules at 0x37 answer at once.
  ASSERT_TRUE(client.Send(BuildPacket(0x37, 4, 0x30, {})));
  const TBytes garbled = client.ReadSome(kTimeoutMs);
  ASSERT_FALSE(garbled.empty());
  EXPECT_NE(CheckPacket(garbled), 0);
  std::string line;
  bool said = false;
  while (!said && sim.Process.ReadErrorLine(line, kTimeoutMs))
    said = line.find("(collision: 2 modules answered: #55 #55)") != std::string::npos;
  EXPECT_TRUE(said) << sim.Process.Stderr();
}

TEST(SimulatorBusProcess, CommandForOneModule) {
  auto sim = StartSimulator({"--address", "1,7"});
  ASSERT_NE(sim.Port, 0);
  ASSERT_TRUE(sim.Process.WriteStdin("@7 in 2 on\n"));
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  // The command and the request reach the same loop; ask until it has been read.
  TBytes inputs;
  for (int i = 0; i < 100 && inputs != TBytes({0x02}); ++i) {
    ASSERT_TRUE(client.Send(BuildPacket(0x37, 0, 0x31, {})));
    inputs = Answer(client).Data;
  }
  EXPECT_EQ(inputs, TBytes({0x02}));
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 0, 0x31, {})));
  EXPECT_EQ(Answer(client).Data, TBytes({0x00}));
}

}  // namespace
