// The monitor program, run as a process against a temporary socket path.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <tuple>

#include "framework/uBytes.h"
#include "support/uChildProcess.h"
#include "support/uScratchDir.h"
#include "support/uThreadState.h"

namespace {

class TervanMonitorProcess : public ::testing::Test {
 protected:

  bool Exists() const {
    struct stat info {};
    return lstat(FPath.c_str(), &info) == 0;
  }

  // Starts the monitor and waits for it to listen.
  void StartMonitor(TChildProcess& monitor, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--socket", FPath};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(monitor.Start(ProgramPath("TervanMonitor"), args));
    std::string line;
    ASSERT_TRUE(monitor.ReadLine(line, 5000));
    EXPECT_EQ(line, "TervanMonitor listening on " + FPath);
  }

  // One datagram to the monitor's socket, as the transports send it.
  bool SendBlock(std::uint8_t direction, const TBytes& bytes) {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int room = 1 << 20;  // room for datagrams larger than the monitor takes whole
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, FPath.c_str(), FPath.size() + 1);
    TBytes datagram{direction};
    datagram.insert(datagram.end(), bytes.begin(), bytes.end());
    ssize_t n = sendto(fd, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<sockaddr*>(&address), sizeof address);
    close(fd);
    return n == static_cast<ssize_t>(datagram.size());
  }

  TScratchDir FDir{"velto-monitor"};
  std::string FPath = FDir / "trace.sock";
};

TEST_F(TervanMonitorProcess, PrintsEachBlockWithTimeDirectionHexAndText) {
  TChildProcess monitor;
  StartMonitor(monitor, {"--count", "2"});
  ASSERT_TRUE(SendBlock(1, BytesFromHex("2A 61 00 06 31 00 20 83 9A 0D")));
  TBytes answer = BytesOf("0123456789ABCDEF!");
  ASSERT_TRUE(SendBlock(2, answer));
  int status = -1;
  ASSERT_TRUE(monitor.Wait(5000, status));
  EXPECT_EQ(status, 0);
  const std::string& out = monitor.Stdout();
  std::regex sent(R"(\n\d\d:\d\d:\d\d\.\d\d\d SENT 10 bytes\n)");
  EXPECT_TRUE(std::regex_search(out, sent)) << out;
  EXPECT_NE(out.find("  0000  2A 61 00 06 31 00 20 83 9A 0D                    *a..1. ...\n"),
            std::string::npos)
      << out;
  std::regex received(R"(\d\d:\d\d:\d\d\.\d\d\d RECEIVED 17 bytes\n)");
  EXPECT_TRUE(std::regex_search(out, received)) << out;
  EXPECT_NE(out.find("  0000  30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  0123456789ABCDEF\n"
                     "  0010  21"),
            std::string::npos)
      << out;
  EXPECT_FALSE(Exists());  // the socket file goes with the monitor
}

TEST_F(TervanMonitorProcess, CutDatagramIsShownAsCutWithItsWholeSize) {
  TChildProcess monitor;
  StartMonitor(monitor, {"--count", "1"});
  ASSERT_TRUE(SendBlock(2, TBytes(200000, 0x41)));
  int status = -1;
  ASSERT_TRUE(monitor.Wait(30000, status));  // some 600 KB of dump to write
  EXPECT_EQ(status, 0);
  const std::string& out = monitor.Stdout();
  const std::string header = out.substr(0, out.find('\n', out.find("RECEIVED")));
  EXPECT_NE(header.find("RECEIVED 200000 bytes (datagram cut: only the first"), std::string::npos)
      << header;
  // What was received is shown: its last row, and nothing past it.
  EXPECT_NE(out.find("\n  1FFF0 "), std::string::npos);
  EXPECT_EQ(out.find("\n  20000 "), std::string::npos);
}

TEST_F(TervanMonitorProcess, RemovesAStaleSocketFile) {
  {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, FPath.c_str(), FPath.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);  // the file stays, nobody listens
  }
  ASSERT_TRUE(Exists());
  TChildProcess monitor;
  StartMonitor(monitor, {"--count", "1"});
  ASSERT_TRUE(SendBlock(2, TBytes{0x0D}));
  int status = -1;
  ASSERT_TRUE(monitor.Wait(5000, status));
  EXPECT_EQ(status, 0);
  EXPECT_NE(monitor.Stdout().find("RECEIVED 1 byte\n"), std::string::npos);
}

TEST_F(TervanMonitorProcess, SecondMonitorOnTheSamePathRefusesToStart) {
  TChildProcess first;
  StartMonitor(first);
  TProgramResult second = RunProgram(ProgramPath("TervanMonitor"), {"--socket", FPath}, 5000);
  EXPECT_EQ(second.ExitStatus, 1);
  EXPECT_NE(second.Stderr.find("another monitor listens"), std::string::npos);
  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(first.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(first.Wait(5000, status));
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(Exists());
}

// Each stop signal ends the monitor as a plain exit, its socket file removed,
// what it was shown printed; also when it comes at once after the first line
// or while the monitor waits for more.
class TervanMonitorStop : public TervanMonitorProcess,
                          public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(TervanMonitorStop, StopSignalEndsItCleanly) {
  const auto [signal, afterABlock] = GetParam();
  TChildProcess monitor;
  StartMonitor(monitor);
  if (afterABlock) {
    ASSERT_TRUE(SendBlock(1, TBytes{0x2A}));
    std::string line;
    ASSERT_TRUE(monitor.ReadLine(line, 10000));
    EXPECT_NE(line.find("SENT 1 byte"), std::string::npos) << line;
  }
  ASSERT_TRUE(monitor.Signal(signal));
  int status = -1;
  ASSERT_TRUE(monitor.Wait(20000, status)) << "the monitor did not stop";
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(Exists());
}

INSTANTIATE_TEST_SUITE_P(Signals, TervanMonitorStop,
                         ::testing::Combine(::testing::Values(SIGINT, SIGTERM, SIGHUP),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           const int signal = std::get<0>(info.param);
                           return std::string(signal == SIGINT    ? "Int"
                                              : signal == SIGTERM ? "Term"
                                                                  : "Hup") +
                                  (std::get<1>(info.param) ? "AfterABlock" : "AtOnce");
                         });

// Output that nobody reads must not keep the monitor from stopping.
TEST_F(TervanMonitorProcess, StopSignalEndsItWhileItsReaderDoesNotRead) {
  TChildProcess monitor;
  StartMonitor(monitor);
  // Some 450 KB of dump: far more than the pipe holds.
  ASSERT_TRUE(SendBlock(2, TBytes(100000, 0x41)));
  std::string line;
  ASSERT_TRUE(monitor.ReadLine(line, 10000));
  EXPECT_NE(line.find("RECEIVED 100000 bytes"), std::string::npos) << line;
  // Reading stops here: the monitor soon waits for room in the pipe.
  ASSERT_TRUE(ProcessSleepsSoon(monitor.Pid(), 10000));
  ASSERT_TRUE(monitor.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(monitor.Wait(20000, status, false)) << "the monitor did not stop";
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(Exists());
  // What did get out is the dump's beginning, whole rows in order.
  const std::string& out = monitor.Stdout();
  EXPECT_NE(out.find("\n  0000  41 41 41"), std::string::npos);
  EXPECT_EQ(out.find("\n  18690 "), std::string::npos) << "the whole dump was written";
}

TEST_F(TervanMonitorProcess, ReaderOfItsOutputGoneEndsItCleanly) {
  TChildProcess monitor;
  StartMonitor(monitor);
  monitor.CloseStdout();
  ASSERT_TRUE(SendBlock(2, TBytes{0x0D}));
  int status = -1;
  ASSERT_TRUE(monitor.Wait(20000, status)) << "the monitor did not stop";
  EXPECT_EQ(status, 0) << "not ended by SIGPIPE";
  EXPECT_FALSE(Exists());
}

TEST_F(TervanMonitorProcess, PathThatIsNotASocketIsLeftAlone) {
  { std::ofstream(FPath) << "keep"; }
  TProgramResult result = RunProgram(ProgramPath("TervanMonitor"), {"--socket", FPath}, 5000);
  EXPECT_EQ(result.ExitStatus, 1);
  EXPECT_NE(result.Stderr.find("is not a socket"), std::string::npos);
  std::ifstream in(FPath);
  std::string text;
  in >> text;
  EXPECT_EQ(text, "keep");
}

TEST_F(TervanMonitorProcess, BadArgumentsGiveUsageAndExitTwo) {
  TProgramResult result = RunProgram(ProgramPath("TervanMonitor"), {"--count", "0"}, 5000);
  EXPECT_EQ(result.ExitStatus, 2);
  result = RunProgram(ProgramPath("TervanMonitor"), {"--bogus"}, 5000);
  EXPECT_EQ(result.ExitStatus, 2);
  EXPECT_NE(result.Stderr.find("Usage: TervanMonitor"), std::string::npos);
}

}  // namespace
