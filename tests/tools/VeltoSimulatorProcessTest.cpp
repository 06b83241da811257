// The simulator program run as a process and spoken to over loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "protocol/uTervan97.h"
#include "simulator/uSimServer.h"
#include "support/uSimulatorProcess.h"

namespace {

constexpr int kTimeoutMs = 5000;

TTervanFormat97 Parsed(const TBytes& packet) {
  if (CheckPacket(packet) != 0) {
    ADD_FAILURE() << "not a valid packet: " << HexOf(packet);
    return {};
  }
  return ParsePacket(packet);
}

TTervanFormat97 Ask(TLoopbackClient& client, std::uint8_t inst, const TBytes& data = {},
                    std::uint8_t adr = 0x31, std::uint8_t sig = 0) {
  EXPECT_TRUE(client.Send(BuildPacket(adr, sig, inst, data)));
  return Parsed(client.ReadPacket(kTimeoutMs));
}

// A new client gets an answer.
void ExpectServed(std::uint16_t port) {
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Ask(client, 0x11).INST, 0);
}

TEST(SimulatorProcess, ReportsItsPortAndAnswersIdentification) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  const auto answer = Ask(client, 0xF3, {}, 0x31, 2);
  EXPECT_EQ(answer.ADR, 0x31);
  EXPECT_EQ(answer.SIG, 2);
  EXPECT_EQ(answer.INST, 0);
  EXPECT_EQ(TextOf(answer.Data), "VELTO ETH 8/4;V1.02.03;F97");
}

TEST(SimulatorProcess, WorkedExampleBytesOnTheWire) {
  auto sim = StartSimulator({"--state-bytes", "2", "--inputs-on", "1,3"});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  ASSERT_TRUE(client.Send(BytesFromHex("2A 61 00 06 31 00 20 83 9A 0D")));
  EXPECT_EQ(HexOf(client.ReadPacket(kTimeoutMs)), "2A 61 00 05 31 00 00 3E 0D");
  ASSERT_TRUE(client.Send(BytesFromHex("2A 61 00 05 31 00 31 0D 0D")));
  EXPECT_EQ(HexOf(client.ReadPacket(kTimeoutMs)), "2A 61 00 07 31 00 00 00 05 37 0D");
  EXPECT_EQ(Ask(client, 0x30).Data, TBytes({0x00, 0x04}));
}

TEST(SimulatorProcess, ModuleSettingsFromOptions) {
  auto sim = StartSimulator({"--address", "#50", "--inputs", "16", "--outputs", "8", "--interface",
                             "RS", "--thermometers", "1", "--temp", "-20"});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  EXPECT_EQ(TextOf(Ask(client, 0xF3, {}, 0x32).Data), "VELTO RS 16/8;V1.02.03;F97;T1");
  EXPECT_EQ(Ask(client, 0x51, {0x01}, 0x32).Data, TBytes({0x00, 0xFF, 0x38}));
  EXPECT_EQ(Ask(client, 0x31, {}, 0x32).Data.size(), 2u);
}

TEST(SimulatorProcess, InputCommandSendsNotification) {
  auto sim = StartSimulator({"--notify"});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  Ask(client, 0x11);  // the client is being served once it has an answer
  ASSERT_TRUE(sim.Process.WriteStdin("in 3 on\n"));
  const auto notification = Parsed(client.ReadPacket(kTimeoutMs));
  EXPECT_EQ(notification.ADR, 0x31);
  EXPECT_EQ(notification.INST, 0x0D);
  EXPECT_EQ(notification.Data, TBytes({0x04}));
  ASSERT_TRUE(sim.Process.WriteStdin("temp 25\nin 3 off\nin 3 on\n"));
  EXPECT_EQ(Parsed(client.ReadPacket(kTimeoutMs)).Data, TBytes({0x00}));
  EXPECT_EQ(Parsed(client.ReadPacket(kTimeoutMs)).Data, TBytes({0x04}));
  EXPECT_EQ(Ask(client, 0x51, {0x01}).Data, TBytes({0x00, 0x00, 0xFA}));
  const auto counters = Ask(client, 0x60, {0x03});
  EXPECT_EQ(counters.Data, TBytes({0x20, 0x00, 0x00, 0x00, 0x02}));
}

TEST(SimulatorProcess, BadCommandIsReportedAndIgnored) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  ASSERT_TRUE(sim.Process.WriteStdin("in 99 on\n"));
  std::string line;
  ASSERT_TRUE(sim.Process.ReadErrorLine(line, kTimeoutMs));
  EXPECT_NE(line.find("no input 99"), std::string::npos) << line;
  ExpectServed(sim.Port);
}

TEST(SimulatorProcess, TimedOutputReverts) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(client, 0x23, {0x02, 0x82}).INST, 0);  // one second
  EXPECT_EQ(Ask(client, 0x30).Data, TBytes({0x02}));
  bool reverted = false;
  while (!reverted && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
    reverted = Ask(client, 0x30).Data == TBytes({0x00});
    if (!reverted) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(reverted);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
}

TEST(SimulatorProcess, OneClientAfterAnother) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  {
    TLoopbackClient first;
    ASSERT_TRUE(first.Connect(sim.Port));
    EXPECT_EQ(Ask(first, 0x20, {0x81}).INST, 0);
  }
  TLoopbackClient second;
  ASSERT_TRUE(second.Connect(sim.Port));
  EXPECT_EQ(Ask(second, 0x30).Data, TBytes({0x01}));
}

TEST(SimulatorProcess, ClosesAfterTheGivenNumberOfAnswers) {
  auto sim = StartSimulator({"--close-after", "1"});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  EXPECT_EQ(Ask(client, 0x11).INST, 0);
  EXPECT_TRUE(client.WaitClosed(kTimeoutMs));
  ASSERT_TRUE(client.Connect(sim.Port));
  EXPECT_EQ(Ask(client, 0x11).INST, 0);
}

TEST(SimulatorProcess, ClosesOnAnInstruction) {
  auto sim = StartSimulator({"--close-on", "0x31"});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  EXPECT_EQ(Ask(client, 0x30).INST, 0);
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 0, 0x31, {})));
  EXPECT_TRUE(client.WaitClosed(kTimeoutMs));
}

TEST(SimulatorProcess, SplitAnswerArrivesInPieces) {
  auto sim = StartSimulator({"--split", "0x11:50"});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 0, 0x11, {})));
  const TBytes first = client.ReadSome(kTimeoutMs);
  EXPECT_LT(first.size(), BuildPacket(0x31, 0, 0, {0x00}).size());
  TBytes all = first;
  while (all.size() < 10) {
    const TBytes more = client.ReadSome(kTimeoutMs);
    if (more.empty()) break;
    all.insert(all.end(), more.begin(), more.end());
  }
  EXPECT_EQ(all, BuildPacket(0x31, 0, 0, {0x00}));
}

TEST(SimulatorProcess, FaultOptionsReachTheModule) {
  auto sim = StartSimulator({"--no-answer", "0xF3:1", "--refuse", "0x20:5", "--wrong-sig", "$30",
                             "--garbage", "0x11", "--garbage-bytes", "01 02"});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 0, 0xF3, {})));
  EXPECT_TRUE(client.ReadSome(300).empty());
  EXPECT_EQ(Ask(client, 0xF3).INST, 0);
  EXPECT_EQ(Ask(client, 0x20, {0x81}).INST, 5);
  EXPECT_EQ(Ask(client, 0x30, {}, 0x31, 7).SIG, 8);
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 0, 0x11, {})));
  const TBytes answer = BuildPacket(0x31, 0, 0, {0x00});
  TBytes expected = {0x01, 0x02};
  expected.insert(expected.end(), answer.begin(), answer.end());
  TBytes got;
  while (got.size() < expected.size()) {
    const TBytes more = client.ReadSome(kTimeoutMs);
    if (more.empty()) break;
    got.insert(got.end(), more.begin(), more.end());
  }
  EXPECT_EQ(got, expected);
}

TEST(SimulatorProcess, AddressChangeThenAnswersAtTheNewAddress) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  EXPECT_EQ(Ask(client, 0xE4).INST, 0);
  EXPECT_EQ(Ask(client, 0xE0, {0x32, 0x06}).INST, 0);
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 0, 0x11, {})));
  EXPECT_TRUE(client.ReadSome(300).empty());
  const auto answer = Ask(client, 0xF0, {}, 0x32);
  EXPECT_EQ(answer.ADR, 0x32);
  EXPECT_EQ(answer.Data, TBytes({0x32, 0x06}));
}

TEST(SimulatorProcess, LogShowsPacketsOnStandardError) {
  auto sim = StartSimulator({"--log"});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  Ask(client, 0x11);
  std::string line;
  bool sawRequest = false;
  bool sawAnswer = false;
  while ((!sawRequest || !sawAnswer) && sim.Process.ReadErrorLine(line, kTimeoutMs)) {
    sawRequest = sawRequest || line == "RX " + HexOf(BuildPacket(0x31, 0, 0x11, {}));
    sawAnswer = sawAnswer || line == "TX " + HexOf(BuildPacket(0x31, 0, 0, {0x00}));
  }
  EXPECT_TRUE(sawRequest);
  EXPECT_TRUE(sawAnswer);
}

// Sends `request` on the simulator's terminal and gives what came back once
// `count` bytes are in (or the time-out passed).
TBytes AskTerminal(const std::string& path, const TBytes& request, std::size_t count) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_GE(fd, 0) << path;
  if (fd < 0) return {};
  termios settings{};
  tcgetattr(fd, &settings);
  cfmakeraw(&settings);
  tcsetattr(fd, TCSANOW, &settings);
  EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  TBytes got;
  while (got.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kTimeoutMs) <= 0) break;
    std::uint8_t buffer[64];
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  close(fd);
  return got;
}

TEST(SimulatorProcess, PseudoTerminal) {
  auto sim = StartSimulator({"--pty"});
  ASSERT_NE(sim.Port, 0);
  ASSERT_FALSE(sim.PtyPath.empty());
  const TBytes expected = BuildPacket(0x31, 3, 0, {0x00});
  EXPECT_EQ(AskTerminal(sim.PtyPath, BuildPacket(0x31, 3, 0x31, {}), expected.size()), expected);
}

TEST(SimulatorProcess, EndsOnTerminationSignal) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  ASSERT_TRUE(sim.Process.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(sim.Process.Wait(kTimeoutMs, status));
  EXPECT_EQ(status, 0);
}

TEST(SimulatorProcess, EndsOnQuit) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  ASSERT_TRUE(sim.Process.WriteStdin("quit\n"));
  int status = -1;
  ASSERT_TRUE(sim.Process.Wait(kTimeoutMs, status));
  EXPECT_EQ(status, 0);
}

TEST(SimulatorProcess, EndOfInputEndsOnlyWhenAsked) {
  auto quitting = StartSimulator({"--stdin-quit"});
  ASSERT_NE(quitting.Port, 0);
  quitting.Process.CloseStdin();
  int status = -1;
  ASSERT_TRUE(quitting.Process.Wait(kTimeoutMs, status));
  EXPECT_EQ(status, 0);

  auto staying = StartSimulator();
  ASSERT_NE(staying.Port, 0);
  staying.Process.CloseStdin();
  ExpectServed(staying.Port);
  EXPECT_TRUE(staying.Process.Running());
}

TEST(SimulatorProcess, HelpAndBadOptions) {
  const auto help = RunProgram(ProgramPath("VeltoSimulator"), {"--help"});
  EXPECT_EQ(help.ExitStatus, 0);
  EXPECT_NE(help.Stdout.find("--no-answer CODE[:N]"), std::string::npos);
  EXPECT_NE(help.Stdout.find("--stdin-quit"), std::string::npos);

  const auto bad = RunProgram(ProgramPath("VeltoSimulator"), {"--outputs", "200"});
  EXPECT_EQ(bad.ExitStatus, 2);
  EXPECT_TRUE(bad.Stdout.empty());
  EXPECT_NE(bad.Stderr.find("--outputs"), std::string::npos) << bad.Stderr;

  const auto unknown = RunProgram(ProgramPath("VeltoSimulator"), {"--frobnicate"});
  EXPECT_EQ(unknown.ExitStatus, 2);
}

TEST(SimulatorProcess, PortInUseIsReported) {
  auto first = StartSimulator();
  ASSERT_NE(first.Port, 0);
  const auto second =
      RunProgram(ProgramPath("VeltoSimulator"), {"--port", std::to_string(first.Port)});
  EXPECT_EQ(second.ExitStatus, 1);
  EXPECT_TRUE(second.Stdout.empty());
  EXPECT_NE(second.Stderr.find("bind"), std::string::npos) << second.Stderr;
}

// --- Slow lines, greedy peers, hostile input -----------------------------------

using TClock = std::chrono::steady_clock;

long long MsSince(TClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

TEST(SimulatorProcess, AnswersHeldForTheDelayAndTheWireTimeKeepTheirOrder) {
  auto sim = StartSimulator({"--answer-delay", "100", "--wire-baud", "1200"});  // 8.3 ms a byte
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  // A long answer (35 bytes) asked first, a short one (10 bytes) right behind it.
  TBytes both = BuildPacket(0x31, 1, 0xF3, {});
  const TBytes status = BuildPacket(0x31, 2, 0x11, {});
  both.insert(both.end(), status.begin(), status.end());
  const auto start = TClock::now();
  ASSERT_TRUE(client.Send(both));
  EXPECT_EQ(Parsed(client.ReadPacket(kTimeoutMs)).SIG, 1);
  // At least the delay and the wire time (less a millisecond for rounding).
  EXPECT_GE(MsSince(start), 100 + (9 + 35) * 10000 / 1200 - 1);
  EXPECT_EQ(Parsed(client.ReadPacket(kTimeoutMs)).SIG, 2);
  EXPECT_GE(MsSince(start), 100 + (9 + 35 + 10) * 10000 / 1200 - 1);
}

TEST(SimulatorProcess, TerminalAnswersAreHeldBackToo) {
  auto sim = StartSimulator({"--pty", "--answer-delay", "300"});
  ASSERT_FALSE(sim.PtyPath.empty());
  const TBytes expected = BuildPacket(0x31, 0, 0, {0x00});
  const auto start = TClock::now();
  EXPECT_EQ(AskTerminal(sim.PtyPath, BuildPacket(0x31, 0, 0x31, {}), expected.size()), expected);
  EXPECT_GE(MsSince(start), 300);
}

TEST(SimulatorProcess, ClientThatDoesNotReadIsDroppedPastTheBacklogCap) {
  auto sim = StartSimulator({"--ident", std::string(60000, 'x')});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient greedy;
  ASSERT_TRUE(greedy.Connect(sim.Port));
  // 24 MB of answers: past the cap and whatever the sockets buffer.
  TBytes requests;
  for (int i = 0; i < 400; ++i) {
    const TBytes one = BuildPacket(0x31, 0, 0xF3, {});
    requests.insert(requests.end(), one.begin(), one.end());
  }
  ASSERT_TRUE(greedy.Send(requests));
  std::string line;
  bool dropped = false;
  // Megabytes to build and move: a generous bound for a loaded machine.
  while (!dropped && sim.Process.ReadErrorLine(line, 6 * kTimeoutMs))
    dropped = line.rfind("VeltoSimulator: client dropped", 0) == 0;
  EXPECT_TRUE(dropped) << sim.Process.Stderr();
  EXPECT_TRUE(greedy.WaitClosed(6 * kTimeoutMs));
  ExpectServed(sim.Port);
}

TEST(SimulatorProcess, ServesSeveralClientsAtOnceAndRefusesOneMore) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  std::vector<std::unique_ptr<TLoopbackClient>> clients;
  for (std::size_t i = 0; i < kSimMaxClients; ++i) {
    clients.push_back(std::make_unique<TLoopbackClient>());
    ASSERT_TRUE(clients.back()->Connect(sim.Port));
    EXPECT_EQ(Ask(*clients.back(), 0x11, {}, 0x31, static_cast<std::uint8_t>(i)).SIG, i);
  }
  EXPECT_EQ(Ask(*clients.front(), 0x20, {0x81}).INST, 0);  // the first is still served
  TLoopbackClient extra;
  ASSERT_TRUE(extra.Connect(sim.Port));
  EXPECT_TRUE(extra.WaitClosed(kTimeoutMs));
  std::string line;
  ASSERT_TRUE(sim.Process.ReadErrorLine(line, kTimeoutMs));
  EXPECT_EQ(line.rfind("VeltoSimulator: connection refused", 0), 0u) << line;
  clients.front()->Close();  // its place is free for the next one
  ASSERT_TRUE(extra.Connect(sim.Port));
  EXPECT_EQ(Ask(extra, 0x30).Data, TBytes({0x01}));
}

TEST(SimulatorProcess, OverlongCommandLineIsRefusedInOneShortLine) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  ASSERT_TRUE(sim.Process.WriteStdin(std::string(2 << 20, 'x') + "\nin 99 on\n"));
  std::string line;
  ASSERT_TRUE(sim.Process.ReadErrorLine(line, kTimeoutMs));
  EXPECT_NE(line.find("command line of 2097152 bytes ignored"), std::string::npos) << line;
  EXPECT_LT(line.size(), 200u);
  ASSERT_TRUE(sim.Process.ReadErrorLine(line, kTimeoutMs));
  EXPECT_NE(line.find("no input 99"), std::string::npos) << line;
}

}  // namespace
