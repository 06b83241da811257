// The simulator program's log with a reader that stalls, and the addresses
// it listens on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/uTervan97.h"
#include "support/uSimulatorProcess.h"

namespace {

constexpr int kTimeoutMs = 5000;

// Asks the identification over a connection of the test's own making and
// gives the answer's data (empty when none came).
std::string IdentOver(int fd) {
  const TBytes request = BuildPacket(0x31, 0, 0xF3, {});
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
    return {};
  TBytes got;
  while (got.size() < 4 || got.size() < 4u + (got[2] << 8 | got[3])) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kTimeoutMs) <= 0) return {};
    std::uint8_t buffer[512];
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) return {};
    got.insert(got.end(), buffer, buffer + n);
  }
  return CheckPacket(got) == 0 ? TextOf(ParsePacket(got).Data) : std::string();
}

TEST(SimulatorLog, AReaderThatStopsReadingNeverHoldsTheAnswersBack) {
  // Each answer logs some 180 KB of hex: a few fill any pipe.
  const std::string ident = "VELTO ETH 8/4;V1.02.03;F97;" + std::string(60000, 'x');
  auto sim = StartSimulator({"--log", "--ident", ident});
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  // Nobody reads the simulator's standard error meanwhile.
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(client.Send(BuildPacket(0x31, static_cast<std::uint8_t>(i), 0xF3, {})));
    const TBytes answer = client.ReadPacket(kTimeoutMs);
    ASSERT_EQ(CheckPacket(answer), 0) << "answer " << i << " did not come";
    EXPECT_EQ(answer[5], i);
  }
  // Reading again, the log says what it had to leave out.
  ASSERT_TRUE(sim.Process.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(sim.Process.Wait(2 * kTimeoutMs, status));
  EXPECT_EQ(status, 0);
  EXPECT_NE(sim.Process.Stderr().find(" log lines dropped (the reader of the log fell behind)"),
            std::string::npos);
  EXPECT_NE(sim.Process.Stderr().find("RX " + HexOf(BuildPacket(0x31, 0, 0xF3, {}))),
            std::string::npos)
      << "the first lines are kept";
}

TEST(SimulatorHost, ListensOnIPv6) {
  auto sim = StartSimulator({"--host", "::1"});
  ASSERT_NE(sim.Port, 0);
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(sim.Port);
  address.sin6_addr = in6addr_loopback;
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0)
      << sim.Process.Stderr();
  EXPECT_EQ(IdentOver(fd), "VELTO ETH 8/4;V1.02.03;F97");
  close(fd);
}

TEST(SimulatorHost, AcceptsAHostName) {
  auto sim = StartSimulator({"--host", "localhost"});
  ASSERT_NE(sim.Port, 0) << sim.Process.Stderr();
  TLoopbackClient client;  // 127.0.0.1, which localhost names everywhere
  ASSERT_TRUE(client.Connect(sim.Port));
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 0, 0x11, {})));
  EXPECT_EQ(client.ReadPacket(kTimeoutMs), BuildPacket(0x31, 0, 0, {0x00}));
}

TEST(SimulatorHost, UnknownHostIsReported) {
  const auto run = RunProgram(ProgramPath("VeltoSimulator"), {"--host", "no-such-host.invalid"});
  EXPECT_EQ(run.ExitStatus, 1);
  EXPECT_NE(run.Stderr.find("cannot resolve host no-such-host.invalid"), std::string::npos)
      << run.Stderr;
}

}  // namespace
