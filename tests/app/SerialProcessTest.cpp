// The console program as a process over a serial line: a pseudo-terminal
// served by the module simulator, the same through a serial-to-network
// bridge (socat joining a pseudo-terminal to the simulator's TCP port), a
// noisy line and a line that goes away in the middle of a run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "support/uChildProcess.h"
#include "support/uEmulation.h"
#include "support/uSimulatorProcess.h"
#include "uRunLines.h"

namespace {

using namespace runlines;

constexpr int kHangGuardMs = 8000;

const std::vector<std::string> kWorkedExample{"/COM=9:9600", "/Address=1", "/Out3=On",
                                              "/ErrorCode=In1,In2,In3"};

// COM9 names `path` for the programs this test starts.
class TCom9 {
 public:
  explicit TCom9(const std::string& path) { setenv("VELTO_COM9", path.c_str(), 1); }
  ~TCom9() { unsetenv("VELTO_COM9"); }
  TCom9(const TCom9&) = delete;
  TCom9& operator=(const TCom9&) = delete;
};

class SerialRunTest : public ::testing::Test {
 protected:
  void StartModule(std::vector<std::string> args) {
    args.insert(args.end(), {"--log", "--pty", "--inputs-on", "1,3"});
    FSim = StartSimulator(args);
    ASSERT_NE(FSim.Port, 0);
    ASSERT_FALSE(FSim.PtyPath.empty());
  }

  TSimulatorProcess FSim;
};

// A clean line, and one with a packet-like fragment before every answer.
class SerialWorkedExampleTest : public SerialRunTest,
                                public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(SerialWorkedExampleTest, EndsWithFiveAndSendsExactlyTheRequests) {
  StartModule(GetParam());
  TCom9 com9(FSim.PtyPath);
  TProgramResult r = RunProgram(ProgramPath("VeltoConsole"), kWorkedExample, kHangGuardMs);
  EXPECT_FALSE(r.TimedOut);
  EXPECT_EQ(r.ExitStatus, 5);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1, 3})));
  EXPECT_EQ(StopAndTakeReceived(FSim), kWorkedExampleWire);
}

INSTANTIATE_TEST_SUITE_P(OverAPseudoTerminal, SerialWorkedExampleTest,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--garbage", "any",
                                                                    "--garbage-bytes",
                                                                    "2A 61 00 05"}));

// The module takes the output command and the line goes dead before an
// answer (as when an adapter is pulled): that exchange fails at once, the
// next finds the transport closed, and the run ends with its failure lines.
TEST_F(SerialRunTest, ALineThatGoesAwayMidRunFailsWhatIsLeftWithoutHanging) {
  StartModule({"--no-answer", "0x20"});
  TCom9 com9(FSim.PtyPath);
  TChildProcess console;
  ASSERT_TRUE(console.Start(ProgramPath("VeltoConsole"), kWorkedExample));
  std::string line;
  bool seen = false;
  while (!seen && FSim.Process.ReadErrorLine(line, kHangGuardMs))
    seen = line == std::string("RX ") + kOut3On;
  ASSERT_TRUE(seen) << FSim.Process.Stderr();
  FSim.Process.Kill();

  int status = 0;
  ASSERT_TRUE(console.Wait(kHangGuardMs, status)) << "the run did not end";
  EXPECT_EQ(status, 255);
  EXPECT_EQ(SplitLines(console.Stdout()),
            (Lines{"Connection established.", "Could not set Velto output 3!",
                   "Could not read inputs from Velto!"}));
  EXPECT_EQ(console.Stderr(), "VeltoConsole: " + FSim.PtyPath +
                                  ": the device has gone (unplugged or hung up)\n");
}

// A line that cannot be opened: the usual refusal, and the reason with the
// device path on standard error.
TEST_F(SerialRunTest, ALineThatCannotBeOpenedIsRefusedWithItsReason) {
  {
    TCom9 com9("/nonexistent/ttyUSB0");
    TProgramResult r = RunProgram(ProgramPath("VeltoConsole"), kWorkedExample, kHangGuardMs);
    EXPECT_EQ(r.ExitStatus, 255);
    EXPECT_EQ(SplitLines(r.Stdout), Lines{"Connection refused!"});
    EXPECT_EQ(r.Stderr, "VeltoConsole: /nonexistent/ttyUSB0: no such device\n");
  }
  // Another program holds the line (it locks it as this program does) past
  // the run's bound: the run names the holder.
  StartModule({});
  const int holder = open(FSim.PtyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  TCom9 com9(FSim.PtyPath);
  setenv("VELTO_PORT_WAIT_MS", "200", 1);
  TProgramResult r = RunProgram(ProgramPath("VeltoConsole"), kWorkedExample, kHangGuardMs);
  unsetenv("VELTO_PORT_WAIT_MS");
  close(holder);
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout), Lines{"Connection refused!"});
  EXPECT_EQ(r.Stderr, "VeltoConsole: " + FSim.PtyPath + " is held by process " +
                          std::to_string(getpid()) + " (" + KernelProcessName("test_app") +
                          "); waited 200 ms\n");
  EXPECT_TRUE(StopAndTakeReceived(FSim).empty());  // nothing reached the module
}

// Settings of the environment that cannot be used refuse the connection
// with a line that names the variable.
TEST_F(SerialRunTest, UnusableLineSettingsInTheEnvironmentAreRefusedByName) {
  StartModule({});
  TCom9 com9(FSim.PtyPath);
  const struct {
    const char* Variable;
    const char* Value;
    const char* Reason;
  } cases[] = {
      {"VELTO_PORT_WAIT_MS", "soon",
       "VELTO_PORT_WAIT_MS: 'soon' is not a number of milliseconds from 0 to 86400000"},
      {"VELTO_RS485", "auto",
       "VELTO_RS485: 'auto' is not off, kernel or rts (optionally with :BEFORE:AFTER "
       "milliseconds)"},
      // A pseudo-terminal, like a PC's UART, has no direction control of its
      // own (under user-mode emulation the call may not be known at all).
      {"VELTO_RS485", "kernel",
       DirectionControlCallMissing()
           ? "$PTY: the line does not switch its direction itself (function not "
             "implemented); choose rts or off"
           : "$PTY: the line does not switch its direction itself (inappropriate ioctl for "
             "device); choose rts or off"},
  };
  for (const auto& c : cases) {
    setenv(c.Variable, c.Value, 1);
    TProgramResult r = RunProgram(ProgramPath("VeltoConsole"), kWorkedExample, kHangGuardMs);
    unsetenv(c.Variable);
    std::string reason = c.Reason;
    if (reason.rfind("$PTY", 0) == 0) reason.replace(0, 4, FSim.PtyPath);
    EXPECT_EQ(r.ExitStatus, 255) << c.Value;
    EXPECT_EQ(SplitLines(r.Stdout), Lines{"Connection refused!"}) << c.Value;
    EXPECT_EQ(r.Stderr, "VeltoConsole: " + reason + "\n");
  }
  EXPECT_TRUE(StopAndTakeReceived(FSim).empty());
}

// With RTS direction control the program switches the line itself; over a
// pseudo-terminal (which has no RTS) the exchanges are those of the worked
// example.
TEST_F(SerialRunTest, TheWorkedExampleRunsWithRtsDirectionControl) {
  StartModule({});
  TCom9 com9(FSim.PtyPath);
  setenv("VELTO_RS485", "rts:1:1", 1);
  TProgramResult r = RunProgram(ProgramPath("VeltoConsole"), kWorkedExample, kHangGuardMs);
  unsetenv("VELTO_RS485");
  EXPECT_EQ(r.ExitStatus, 5) << r.Stderr;
  EXPECT_EQ(r.Stderr, "");
  EXPECT_EQ(StopAndTakeReceived(FSim), kWorkedExampleWire);
}

TEST(SerialBridgeRunTest, WorkedExampleThroughASerialToNetworkBridge) {
  const std::string socat = "/usr/bin/socat";  // Debian's package
  ASSERT_EQ(access(socat.c_str(), X_OK), 0) << "socat is missing: run scripts/install-deps.sh";
  TSimulatorProcess sim = StartSimulator({"--log", "--inputs-on", "1,3"});
  ASSERT_NE(sim.Port, 0);
  const std::string link = "/tmp/velto-serial-bridge-" + std::to_string(getpid());
  TChildProcess bridge;
  ASSERT_TRUE(bridge.Start(
      socat, {"PTY,link=" + link + ",rawer", "TCP:127.0.0.1:" + std::to_string(sim.Port)}));
  // socat makes the terminal before it connects: once the module sees the
  // connection, the whole bridge stands.
  std::string line;
  bool connected = false;
  while (!connected && sim.Process.ReadErrorLine(line, kHangGuardMs))
    connected = line == "client connected";
  struct stat st {};
  ASSERT_TRUE(connected && lstat(link.c_str(), &st) == 0) << "no bridge: " << bridge.Stderr();

  TCom9 com9(link);
  TProgramResult r = RunProgram(ProgramPath("VeltoConsole"), kWorkedExample, kHangGuardMs);
  EXPECT_FALSE(r.TimedOut);
  EXPECT_EQ(r.ExitStatus, 5);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1, 3})));
  bridge.Kill();
  unlink(link.c_str());
  EXPECT_EQ(StopAndTakeReceived(sim), kWorkedExampleWire);
}

}  // namespace
