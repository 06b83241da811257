// The console program run as a process against the module simulator over
// loopback TCP: what it prints, what it sends and the exit status it gives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
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

// One simulator, one console run against it, and the simulator's packet log.
class MainRunTest : public ::testing::Test {
 protected:
  void StartModule(std::vector<std::string> args) {
    args.push_back("--log");
    FSim = StartSimulator(args);
    ASSERT_NE(FSim.Port, 0);
  }

  TProgramResult Run(std::vector<std::string> args) {
    for (auto& a : args)
      if (a == "/TCP") a = "/TCP=127.0.0.1:" + std::to_string(FSim.Port);
    return RunProgram(ProgramPath("VeltoConsole"), args, 20000);
  }

  // Runs the program with its standard output on a pipe whose reader has
  // already gone (as after `| head -0`), standard error to /dev/null; gives
  // the exit status, or 128 + the signal number when a signal ended it.
  int RunWithReaderGone(std::vector<std::string> args) {
    for (auto& a : args)
      if (a == "/TCP") a = "/TCP=127.0.0.1:" + std::to_string(FSim.Port);
    TProgramCommand command(ProgramPath("VeltoConsole"), args);
    int p[2];
    if (pipe(p) != 0) return -1;
    close(p[0]);
    const pid_t pid = fork();
    if (pid == 0) {
      // The default action, whatever the test runner inherited.
      std::signal(SIGPIPE, SIG_DFL);
      dup2(p[1], STDOUT_FILENO);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDERR_FILENO);
      closefrom(STDERR_FILENO + 1);
      execve(command.File(), command.Argv(), command.Envp());
      _exit(127);
    }
    close(p[1]);
    if (pid < 0) return -1;
    int status = 0;
    if (!WaitForExit(pid, 20000, status)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Stops the simulator and gives every packet it received, as hex (its notes
  // on dropped requests left out).
  Lines Received() { return StopAndTakeReceived(FSim); }

  TSimulatorProcess FSim;
};

// Each waiting request carries the next signature: the second request of a
// run carries signature 1, the third 2.
const std::string kIdentifyAgain = WireRequest(1, {0xF3});
const std::string kReadInputsSecond = WireRequest(1, {0x31});
const std::string kReadInputsThird = WireRequest(2, {0x31});

TEST_F(MainRunTest, WorkedExampleOnTheWireAndExitCodeFive) {
  StartModule({"--inputs-on", "1,3"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/Out3=On", "/ErrorCode=In1,In2,In3"});
  EXPECT_EQ(r.ExitStatus, 5);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1, 3})));
  EXPECT_EQ(r.Stderr, "");
  EXPECT_EQ(Received(), kWorkedExampleWire);
}

TEST_F(MainRunTest, NothingAskedStillIdentifiesAndReadsInputs) {
  StartModule({"--inputs-on", "2"});
  TProgramResult r = Run({"/TCP", "/Address=1"});
  EXPECT_EQ(r.ExitStatus, 0);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({2})));
  EXPECT_EQ(Received(), (Lines{kIdentify, kReadInputsSecond}));
}

TEST_F(MainRunTest, HelpWithAConnectionMakesNoConnection) {
  StartModule({});
  TProgramResult r = Run({"/TCP", "/?", "/Out1=1"});
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_NE(r.Stdout.find("VELTO console"), std::string::npos);
  EXPECT_EQ(Received(), Lines{});
  EXPECT_EQ(FSim.Process.Stderr().find("client connected"), std::string::npos);
}

TEST_F(MainRunTest, OutputsOutOfRangeAreSkippedAndTheOthersSet) {
  StartModule({"--outputs", "8"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/Out9=1", "/Out0=1", "/Out2=On"});
  EXPECT_EQ(r.ExitStatus, 0);
  Lines out = SplitLines(r.Stdout);
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(out[1], "The output number 9 is out of range!");
  EXPECT_EQ(out[2], "The output number 0 is out of range!");
  Lines rx = Received();
  ASSERT_GE(rx.size(), 2u);
  EXPECT_EQ(rx[1], WireRequest(1, {0x20, 0x82}));  // output 2 on
}

TEST_F(MainRunTest, TimedOutputSendsItsHalfSeconds) {
  StartModule({});
  TProgramResult r = Run({"/TCP", "/Address=1", "/Out3=Off:5s"});
  EXPECT_EQ(r.ExitStatus, 0);
  Lines rx = Received();
  ASSERT_GE(rx.size(), 2u);
  EXPECT_EQ(rx[1], WireRequest(1, {0x23, 0x0A, 0x03}));  // 10 half-seconds, output 3 off
}

TEST_F(MainRunTest, ExitCodeBitsFollowTheListedOrder) {
  StartModule({"--inputs-on", "1"});
  EXPECT_EQ(Run({"/TCP", "/Address=1", "/ErrorCode=In2,In1"}).ExitStatus, 2);
  EXPECT_EQ(Run({"/TCP", "/Address=1", "/ErrorCode=In1,In1"}).ExitStatus, 3);
  // Input 9 is beyond the module's 8 inputs: its bit stays 0, the line says so.
  TProgramResult r = Run({"/TCP", "/Address=1", "/ErrorCode=In9,In1"});
  EXPECT_EQ(r.ExitStatus, 2);
  EXPECT_NE(r.Stdout.find("The input number 9 is out of range!\n"), std::string::npos);
}

TEST_F(MainRunTest, TheSixteenthListedInputHasNoEffect) {
  StartModule({"--inputs", "16", "--inputs-on", "1"});
  std::string list = "/ErrorCode=";
  for (int i = 0; i < 15; ++i) list += "In2,";
  list += "In1";  // sixteenth entry, input on
  TProgramResult r = Run({"/TCP", "/Address=1", list});
  EXPECT_EQ(r.ExitStatus, 0);
  EXPECT_EQ(SplitLines(r.Stdout).size(), 1u + 16u);  // every received state is printed
  // The same input as eighth entry lands in bit 7.
  EXPECT_EQ(Run({"/TCP", "/Address=1", "/ErrorCode=In2,In2,In2,In2,In2,In2,In2,In1"}).ExitStatus,
            128);
}

// The answer carries whole bytes of states: every one is printed, but only
// the inputs the module counts may fill a bit of the exit code.
TEST_F(MainRunTest, StatesBeyondTheInputCountArePrintedButNotCounted) {
  StartModule({"--ident", "VELTO ETH 4/4;V1.02.03;F97", "--inputs-on", "1,5"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/ErrorCode=In5,In1"});
  EXPECT_EQ(r.ExitStatus, 2);
  EXPECT_EQ(SplitLines(r.Stdout), Concat(Concat({"Connection established."}, InputLines({1, 5})),
                                         {"The input number 5 is out of range!"}));
}

TEST_F(MainRunTest, ModuleWithoutInputsGivesZeroWithoutReadingThem) {
  StartModule({"--inputs", "0", "--ident", "VELTO ETH 0/4;V1.02.03;F97"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/ErrorCode=In1"});
  EXPECT_EQ(r.ExitStatus, 0);
  EXPECT_EQ(SplitLines(r.Stdout), (Lines{"Connection established."}));
  EXPECT_EQ(Received(), (Lines{kIdentify}));
}

TEST_F(MainRunTest, FirstIdentificationUnansweredSecondAnswered) {
  StartModule({"--no-answer", "0xF3:1", "--inputs-on", "1"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/ErrorCode=In1"});
  EXPECT_EQ(r.ExitStatus, 1);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1})));
  EXPECT_EQ(Received(), (Lines{kIdentify, kIdentifyAgain, kReadInputsThird}));
}

TEST_F(MainRunTest, IdentificationNeverAnswered) {
  StartModule({"--no-answer", "0xF3"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/Out1=1"});
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout),
            (Lines{"Connection established.", "Could not read data from Velto!"}));
  EXPECT_EQ(Received(), (Lines{kIdentify, kIdentifyAgain}));  // no output touched
}

TEST_F(MainRunTest, UnrecognisedIdentificationCountsAsNotRead) {
  StartModule({"--bad-ident", "always"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/Out1=1", "/ErrorCode=In1"});
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout),
            (Lines{"Connection established.", "Could not read data from Velto!"}));
  EXPECT_EQ(Received(), (Lines{kIdentify, kIdentifyAgain}));
}

TEST_F(MainRunTest, UnrecognisedFirstIdentificationIsRetried) {
  StartModule({"--bad-ident", "1", "--inputs-on", "1"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/ErrorCode=In1"});
  EXPECT_EQ(r.ExitStatus, 1);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1})));
}

TEST_F(MainRunTest, RefusedOutputIsReportedAndFailsTheRun) {
  StartModule({"--refuse", "0x20:2", "--inputs-on", "1"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/Out3=On", "/Out4=Off", "/ErrorCode=In1"});
  EXPECT_EQ(r.ExitStatus, 255);
  // Both outputs are tried, the inputs are still read and printed.
  EXPECT_EQ(SplitLines(r.Stdout),
            Concat({"Connection established.", "Could not set Velto output 3!",
                    "Could not set Velto output 4!"},
                   InputLines({1})));
}

TEST_F(MainRunTest, UnansweredOutputIsReportedAndFailsTheRun) {
  StartModule({"--no-answer", "0x23"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/Out1=1:4", "/Out2=1"});
  EXPECT_EQ(r.ExitStatus, 255);
  Lines out = SplitLines(r.Stdout);
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[1], "Could not set Velto output 1!");
  EXPECT_EQ(out.size(), 2u + 8u);
  Lines rx = Received();
  ASSERT_GE(rx.size(), 3u);
  EXPECT_EQ(rx[2], WireRequest(2, {0x20, 0x82}));  // output 2 still set
}

TEST_F(MainRunTest, InputsNeverAnswered) {
  StartModule({"--no-answer", "0x31"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/ErrorCode=In1"});
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout),
            (Lines{"Connection established.", "Could not read inputs from Velto!"}));
  EXPECT_EQ(Received(), (Lines{kIdentify, kReadInputsSecond, kReadInputsThird}));  // asked twice
}

TEST_F(MainRunTest, FirstInputReadUnansweredSecondAnswered) {
  StartModule({"--no-answer", "0x31:1", "--inputs-on", "2"});
  TProgramResult r = Run({"/TCP", "/Address=1", "/ErrorCode=In1,In2"});
  EXPECT_EQ(r.ExitStatus, 2);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({2})));
  EXPECT_EQ(Received(), (Lines{kIdentify, kReadInputsSecond, kReadInputsThird}));
}

// A script that stops reading the lines must still get the inputs as the
// exit code: the lines are written at the end, after the run's work is done.
TEST_F(MainRunTest, ReaderOfTheLinesGoneKeepsTheExitCode) {
  StartModule({"--inputs-on", "1,3"});
  EXPECT_EQ(RunWithReaderGone({"/TCP", "/Address=1", "/Out3=On", "/ErrorCode=In1,In2,In3"}), 5);
  Lines rx = Received();
  ASSERT_GE(rx.size(), 3u);
  EXPECT_EQ(rx[1], kOut3On);
  EXPECT_EQ(rx.back(), kReadInputs);
}

TEST_F(MainRunTest, NologSilencesTheRunButNotItsExitCode) {
  StartModule({"--inputs-on", "1,3"});
  TProgramResult r =
      Run({"/TCP", "/Address=1", "/nolog", "/Out3=On", "/Out9=1", "/ErrorCode=In1,In2,In3,In20"});
  EXPECT_EQ(r.ExitStatus, 5);
  EXPECT_EQ(r.Stdout, "");
}

TEST_F(MainRunTest, NologKeepsTheParserLines) {
  StartModule({});
  TProgramResult r = Run({"/TCP", "/nolog", "/Address=12", "/Address=1"});
  EXPECT_EQ(r.ExitStatus, 0);
  EXPECT_EQ(r.Stdout, "Bad device address!\n");
}

TEST_F(MainRunTest, ClosedPortIsConnectionRefused) {
  StartModule({});
  const std::uint16_t port = FSim.Port;
  Received();  // the simulator is gone: nothing listens on its port now
  TProgramResult r = RunProgram(ProgramPath("VeltoConsole"),
                                {"/TCP=127.0.0.1:" + std::to_string(port), "/Address=1"}, 20000);
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(r.Stdout, "Connection refused!\n");
  EXPECT_EQ(r.Stderr, "VeltoConsole: 127.0.0.1:" + std::to_string(port) + ": connection refused\n");
}

TEST_F(MainRunTest, OtherAddressGetsNoAnswer) {
  StartModule({"--address", "2"});
  TProgramResult r = Run({"/TCP", "/Address=1"});
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout),
            (Lines{"Connection established.", "Could not read data from Velto!"}));
  // The universal address reaches any module.
  StartModule({"--address", "2", "--inputs-on", "4"});
  EXPECT_EQ(Run({"/TCP", "/ErrorCode=In4"}).ExitStatus, 1);
}

}  // namespace
