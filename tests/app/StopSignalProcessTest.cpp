// The console program stopped by a signal in the middle of a serial run: it
// releases the line, writes what it had printed and ends by that signal; the
// line is free for the next program at once, also after SIGKILL.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "support/uChildProcess.h"
#include "support/uEmulation.h"
#include "support/uSimulatorProcess.h"
#include "uRunLines.h"

namespace {

using namespace runlines;

constexpr int kHangGuardMs = 15000;

struct TSignalCase {
  int Signal;
  int Status;  // as a shell sees it
  bool Cleans;  // the program can act on it (not SIGKILL)
};

void PrintTo(const TSignalCase& c, std::ostream* out) {
  *out << "SIG" << sigabbrev_np(c.Signal);
}

class StopSignalTest : public ::testing::TestWithParam<TSignalCase> {};

// Whether the tty at `path` is marked for exclusive use; -1 when that cannot be asked.
int Exclusive(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  int exclusive = -1;
  if (fd >= 0 && ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
  if (fd >= 0) close(fd);
  return exclusive;
}

// Whether another program can lock the line at once.
bool LockableNow(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return locked;
}

TEST_P(StopSignalTest, ReleasesTheLineWritesItsLinesAndEndsByTheSignal) {
  const TSignalCase c = GetParam();
  // The module identifies itself and never answers the output command: the
  // run is waiting for that answer when the signal comes.
  TSimulatorProcess sim = StartSimulator({"--log", "--pty", "--no-answer", "0x20"});
  ASSERT_NE(sim.Port, 0);
  ASSERT_FALSE(sim.PtyPath.empty());
  setenv("VELTO_COM9", sim.PtyPath.c_str(), 1);
  TChildProcess console;
  const bool started = console.Start(ProgramPath("VeltoConsole"),
                                     {"/COM=9:9600", "/Address=1", "/Out3=On", "/ErrorCode=In1"});
  unsetenv("VELTO_COM9");
  ASSERT_TRUE(started);
  // The second request the module receives is the output command.
  int requests = 0;
  std::string line;
  while (requests < 2 && sim.Process.ReadErrorLine(line, kHangGuardMs))
    if (line.rfind("RX ", 0) == 0) ++requests;
  ASSERT_EQ(requests, 2) << sim.Process.Stderr();

  ASSERT_TRUE(console.Signal(c.Signal));
  int status = 0;
  ASSERT_TRUE(console.Wait(kHangGuardMs, status)) << "the run did not end";
  EXPECT_EQ(status, c.Status);
  if (c.Cleans) {
    EXPECT_EQ(SplitLines(console.Stdout()), Lines{"Connection established."});
    EXPECT_EQ(console.Stderr(), "");
  }
  // The simulator keeps its end of the terminal open: nothing of the run may
  // stay on the line.
  EXPECT_TRUE(LockableNow(sim.PtyPath));
  if (const std::string why = ExclusiveQuerySkipReason(); !why.empty()) GTEST_SKIP() << why;
  EXPECT_EQ(Exclusive(sim.PtyPath), 0);
}

// A signal that comes before any run begins is not lost: a program that only
// prints its help writes it and then ends by that signal, as it would have
// with the signal taken at once. The signal is made pending before the
// program starts (a shell with it blocked sends it to itself, and a pending
// signal outlives exec), since the help run may end before any sent later.
TEST(StopSignalBeforeRun, HelpIsWrittenAndTheProgramEndsByTheSignal) {
  if (UnderEmulation()) GTEST_SKIP() << "the emulator takes the start-up signal mask as its own";
  TChildProcess console;
  console.BlockAtStart(SIGTERM);
  ASSERT_TRUE(console.Start("/bin/sh", {"-c", "kill -TERM $$ && exec \"$0\" /?",
                                        ProgramPath("VeltoConsole")}));
  int status = 0;
  ASSERT_TRUE(console.Wait(kHangGuardMs, status)) << "the program did not end";
  EXPECT_EQ(status, 128 + SIGTERM) << console.Stderr();
  EXPECT_NE(console.Stdout().find("VELTO console"), std::string::npos) << console.Stdout();
}

// The longest wait of a run, for a line another program holds, is where the
// signal is taken: the run ends by it at once, neither after the ten minutes
// it was to wait nor with a refusal printed.
TEST(StopSignalInPortWait, ARunWaitingForAHeldLineEndsByTheSignal) {
  TSimulatorProcess sim = StartSimulator({"--pty"});
  ASSERT_FALSE(sim.PtyPath.empty());
  const int holder = open(sim.PtyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  // The run's first try to open the line tells that its wait has begun.
  const int opens = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(opens, 0);
  ASSERT_GE(inotify_add_watch(opens, sim.PtyPath.c_str(), IN_OPEN), 0);
  setenv("VELTO_COM9", sim.PtyPath.c_str(), 1);
  setenv("VELTO_PORT_WAIT_MS", "600000", 1);
  TChildProcess console;
  const bool started = console.Start(ProgramPath("VeltoConsole"),
                                     {"/COM=9:9600", "/Address=1", "/ErrorCode=In1"});
  unsetenv("VELTO_COM9");
  unsetenv("VELTO_PORT_WAIT_MS");
  ASSERT_TRUE(started);
  pollfd opened{opens, POLLIN, 0};
  EXPECT_EQ(poll(&opened, 1, kHangGuardMs), 1) << "the run never tried the line";
  close(opens);

  ASSERT_TRUE(console.Signal(SIGTERM));
  int status = 0;
  const bool ended = console.Wait(kHangGuardMs, status);
  close(holder);
  ASSERT_TRUE(ended) << "the run went on waiting";
  EXPECT_EQ(status, 128 + SIGTERM);
  EXPECT_EQ(console.Stdout(), "");
  EXPECT_EQ(console.Stderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest,
                         ::testing::Values(TSignalCase{SIGINT, 128 + SIGINT, true},
                                           TSignalCase{SIGTERM, 128 + SIGTERM, true},
                                           TSignalCase{SIGHUP, 128 + SIGHUP, true},
                                           TSignalCase{SIGKILL, 128 + SIGKILL, false}),
                         [](const ::testing::TestParamInfo<TSignalCase>& info) {
                           return std::string(sigabbrev_np(info.param.Signal));
                         });

}  // namespace
