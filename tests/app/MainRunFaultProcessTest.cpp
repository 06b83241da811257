// The console program run as a process against a simulator that misbehaves on
// the wire: noise around answers, answers cut into bytes, answers with another
// signature, refusals and a connection that goes away in the middle of a run.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "support/uChildProcess.h"
#include "support/uSimulatorProcess.h"
#include "uRunLines.h"

namespace {

using namespace runlines;

// Long enough for two unanswered exchanges and process start; a run that
// needs more than this has hung.
constexpr int kHangGuardMs = 8000;

// What a run of kTypicalRun sends to a module that answers everything: the
// worked example's first three requests, output 2 off for 10 half-seconds,
// the inputs.
const Lines kTypicalWire{kIdentify, kOut3On, kReadOutputs, WireRequest(3, {0x23, 0x0A, 0x02}),
                         WireRequest(4, {0x31})};

class MainRunFaultTest : public ::testing::Test {
 protected:
  void StartModule(std::vector<std::string> args) {
    args.push_back("--log");
    args.push_back("--inputs-on");
    args.push_back("1,3");
    FSim = StartSimulator(args);
    ASSERT_NE(FSim.Port, 0);
  }

  // The typical scripted run: one output on, one off for a while, three
  // inputs packed into the exit code.
  TProgramResult RunTypical(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"/TCP=127.0.0.1:" + std::to_string(FSim.Port), "/Address=1"};
    args.insert(args.end(), extra.begin(), extra.end());
    for (const char* a : {"/Out3=On", "/Out2=Off:5s", "/ErrorCode=In1,In2,In3"})
      args.emplace_back(a);
    TProgramResult r = RunProgram(ProgramPath("VeltoConsole"), args, kHangGuardMs);
    EXPECT_FALSE(r.TimedOut) << "the run did not end";
    return r;
  }

  // The standard-error line of a run whose connection the module closed.
  std::string ClosedLine() const {
    return "VeltoConsole: 127.0.0.1:" + std::to_string(FSim.Port) +
           ": connection closed by the module\n";
  }
  // The same when the run may have sent once more after the module closed,
  // which the module's side answers with a reset.
  void ExpectClosedOrResetLine(const std::string& err) const {
    const std::string reset = "VeltoConsole: 127.0.0.1:" + std::to_string(FSim.Port) +
                              ": connection reset\n";
    EXPECT_TRUE(err == ClosedLine() || err == reset) << err;
  }

  // Stops the simulator; every packet it received, as hex.
  Lines Received() { return StopAndTakeReceived(FSim); }

  // How many connections the simulator saw.
  int Connections() {
    int count = 0;
    const std::string& err = FSim.Process.Stderr();
    for (std::size_t at = err.find("client connected"); at != std::string::npos;
         at = err.find("client connected", at + 1))
      ++count;
    return count;
  }

  TSimulatorProcess FSim;
};

// --- faults that must not change the outcome ---

struct THarmlessFault {
  const char* Name;
  std::vector<std::string> Args;
};

class MainRunHarmlessFaultTest : public MainRunFaultTest,
                                 public ::testing::WithParamInterface<THarmlessFault> {};

TEST_P(MainRunHarmlessFaultTest, RunEndsAsWithAWellBehavedModule) {
  StartModule(GetParam().Args);
  TProgramResult r = RunTypical();
  EXPECT_EQ(r.ExitStatus, 5);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1, 3})));
  EXPECT_EQ(r.Stderr, "");
  // Nothing asked twice: every answer was taken at the first attempt.
  EXPECT_EQ(Received(), kTypicalWire);
}

INSTANTIATE_TEST_SUITE_P(
    Noise, MainRunHarmlessFaultTest,
    ::testing::Values(
        THarmlessFault{"GarbageBeforeEveryAnswer", {"--garbage", "any"}},
        // A lone packet start before the answer.
        THarmlessFault{"PacketStartBeforeEveryAnswer",
                       {"--garbage", "any", "--garbage-bytes", "2A"}},
        // A header whose length would take far more bytes than ever come.
        THarmlessFault{"UnfinishedHeaderBeforeEveryAnswer",
                       {"--garbage", "any", "--garbage-bytes", "2A 61 00 FF"}},
        // A whole packet that fails its checksum.
        THarmlessFault{"DamagedPacketBeforeEveryAnswer",
                       {"--garbage", "any", "--garbage-bytes", "2A 61 00 05 31 00 00 00 0D"}},
        // A short header whose packet would swallow the start of the answer.
        THarmlessFault{"ShortHeaderBeforeEveryAnswer",
                       {"--garbage", "any", "--garbage-bytes", "2A 61 00 05"}},
        THarmlessFault{"NotificationBeforeEveryAnswer", {"--notify-before", "any"}},
        THarmlessFault{"AnswersInSingleBytes", {"--split", "any:1"}},
        THarmlessFault{"AllTogether",
                       {"--garbage", "any", "--notify-before", "any", "--split", "any:1"}}),
    [](const ::testing::TestParamInfo<THarmlessFault>& info) { return info.param.Name; });

// --- answers that are not the answer ---

TEST_F(MainRunFaultTest, AnswerWithAnotherSignatureFailsThatOutputOnly) {
  StartModule({"--wrong-sig", "0x20"});
  TProgramResult r = RunTypical();
  EXPECT_EQ(r.Stderr, "") << "the connection stayed up: nothing to add";
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(
      SplitLines(r.Stdout),
      Concat({"Connection established.", "Could not set Velto output 3!"}, InputLines({1, 3})));
  // The failed output is not read back; the timed one and the inputs still go
  // out, each with the next signature.
  EXPECT_EQ(Received(), (Lines{kIdentify, kOut3On, WireRequest(2, {0x23, 0x0A, 0x02}),
                               WireRequest(3, {0x31})}));
}

TEST_F(MainRunFaultTest, RefusedIdentificationIsAskedTwiceAndNoOutputTouched) {
  StartModule({"--refuse", "0xF3"});
  TProgramResult r = RunTypical();
  EXPECT_EQ(r.Stderr, "") << "the connection stayed up: nothing to add";
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout),
            (Lines{"Connection established.", "Could not read data from Velto!"}));
  EXPECT_EQ(Received(), (Lines{kIdentify, WireRequest(1, {0xF3})}));
}

TEST_F(MainRunFaultTest, RefusedInputReadIsAskedTwice) {
  StartModule({"--refuse", "0x31"});
  TProgramResult r = RunTypical();
  EXPECT_EQ(r.Stderr, "") << "the connection stayed up: nothing to add";
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout),
            (Lines{"Connection established.", "Could not read inputs from Velto!"}));
  EXPECT_EQ(Received(), Concat(kTypicalWire, {WireRequest(5, {0x31})}));
}

TEST_F(MainRunFaultTest, RefusedTimedOutputIsReportedAndTheInputsStillRead) {
  StartModule({"--refuse", "0x23:3"});
  TProgramResult r = RunTypical();
  EXPECT_EQ(r.Stderr, "") << "the connection stayed up: nothing to add";
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(
      SplitLines(r.Stdout),
      Concat({"Connection established.", "Could not set Velto output 2!"}, InputLines({1, 3})));
  EXPECT_EQ(Received(), kTypicalWire);
}

// --- the connection goes away in the middle of a run ---
// Each case ends at once with the failures it caused: no exchange waits out
// its time-out on a connection that is gone, and nothing is reconnected.

TEST_F(MainRunFaultTest, ConnectionClosedInsteadOfTheIdentification) {
  StartModule({"--close-on", "0xF3"});
  TProgramResult r = RunTypical();
  EXPECT_EQ(r.Stderr, ClosedLine());
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout),
            (Lines{"Connection established.", "Could not read data from Velto!"}));
  EXPECT_EQ(Received(), (Lines{kIdentify}));
  EXPECT_EQ(Connections(), 1);
}

TEST_F(MainRunFaultTest, ConnectionClosedInsteadOfTheFirstOutput) {
  StartModule({"--close-on", "0x20"});
  TProgramResult r = RunTypical();
  EXPECT_EQ(r.Stderr, ClosedLine());
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout),
            (Lines{"Connection established.", "Could not set Velto output 3!",
                   "Could not set Velto output 2!", "Could not read inputs from Velto!"}));
  EXPECT_EQ(Received(), (Lines{kIdentify, kOut3On}));
  EXPECT_EQ(Connections(), 1);
}

TEST_F(MainRunFaultTest, ConnectionClosedAfterTheFirstOutputWasSet) {
  // Answers the identification and output 3, then closes.
  StartModule({"--close-after", "2"});
  TProgramResult r = RunTypical();
  ExpectClosedOrResetLine(r.Stderr);
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout), (Lines{"Connection established.", "Could not set Velto output 2!",
                                         "Could not read inputs from Velto!"}));
  Lines rx = Received();
  ASSERT_GE(rx.size(), 2u);
  EXPECT_EQ(rx[0], kIdentify);
  EXPECT_EQ(rx[1], kOut3On);
  EXPECT_EQ(Connections(), 1);
}

TEST_F(MainRunFaultTest, ConnectionClosedInsteadOfTheInputs) {
  StartModule({"--close-on", "0x31"});
  TProgramResult r = RunTypical();
  EXPECT_EQ(r.Stderr, ClosedLine());
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout),
            (Lines{"Connection established.", "Could not read inputs from Velto!"}));
  EXPECT_EQ(Received(), kTypicalWire);
}

TEST_F(MainRunFaultTest, ConnectionClosedUnderNologPrintsOnlyTheReason) {
  StartModule({"--close-on", "0x20"});
  TProgramResult r = RunTypical({"/nolog"});
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(r.Stdout, "");
  EXPECT_EQ(r.Stderr, ClosedLine()) << "standard error is not a logging message";
}

// Split answers that arrive while the connection closes after them are still
// taken whole.
TEST_F(MainRunFaultTest, SplitAnswersThenClosedConnection) {
  StartModule({"--split", "any:1", "--close-after", "3"});
  TProgramResult r = RunTypical();
  ExpectClosedOrResetLine(r.Stderr);
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout), (Lines{"Connection established.", "Could not set Velto output 2!",
                                         "Could not read inputs from Velto!"}));
  Lines rx = Received();
  ASSERT_GE(rx.size(), 3u);
  EXPECT_EQ(rx[2], kReadOutputs);
}

}  // namespace
