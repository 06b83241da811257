// The console program over a USB adapter whose D2XX library misbehaves, run
// as a process: the run must end, with its lines on a pipe and its reason on
// standard error.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/uChildProcess.h"
#include "support/uSimulatorProcess.h"
#include "uRunLines.h"

namespace {

using namespace runlines;

class UsbOddLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSim = StartSimulator({"--inputs-on", "1,3"});
    ASSERT_NE(FSim.Port, 0);
    setenv("VELTO_D2XX_LIBRARY", ProgramPath("libfake_d2xx.so").c_str(), 1);
    setenv("FAKE_D2XX_DEVICE", ("SIM123@127.0.0.1:" + std::to_string(FSim.Port)).c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VELTO_D2XX_LIBRARY");
    unsetenv("FAKE_D2XX_DEVICE");
    unsetenv("FAKE_D2XX_FAIL");
  }

  // Killed after the time-out: a run that never ends shows as TimedOut.
  static TProgramResult Run(const std::vector<std::string>& args) {
    return RunProgram(ProgramPath("VeltoConsole"), args, 20000);
  }

  TSimulatorProcess FSim;
};

// Opening a FIFO for reading waits for a writer that never comes: only a
// regular file is loaded.
TEST_F(UsbOddLibraryTest, LibraryPathNamingAFifoIsRefused) {
  char folder[] = "/tmp/velto-fifo-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string fifo = std::string(folder) + "/libd2xx.so";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  setenv("VELTO_D2XX_LIBRARY", fifo.c_str(), 1);
  // An empty device tree: the kernel path finds no adapter, whatever this machine has.
  const std::string ttys = std::string(folder) + "/class/tty";
  ASSERT_EQ(mkdir((std::string(folder) + "/class").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(ttys.c_str(), 0700), 0);
  setenv("VELTO_SYSFS_ROOT", folder, 1);
  TProgramResult r = Run({"/USB=SIM123", "/Address=1", "/Out3=On"});
  unsetenv("VELTO_SYSFS_ROOT");
  unlink(fifo.c_str());
  rmdir(ttys.c_str());
  rmdir((std::string(folder) + "/class").c_str());
  rmdir(folder);
  EXPECT_FALSE(r.TimedOut);
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout), Lines{"Connection refused!"});
  EXPECT_EQ(r.Stderr, "VeltoConsole: USB adapter SIM123: D2XX library not loadable (" + fifo +
                          ": not a regular file); no serial device with that USB serial number "
                          "(found: none)\n");
}

// A library whose FT_Close never returns: the run's lines reach the pipe, its
// exit code stands, and the given-up close is one line on standard error.
TEST_F(UsbOddLibraryTest, CloseThatNeverReturnsStillEndsTheRun) {
  setenv("FAKE_D2XX_FAIL", "close=hang", 1);
  TProgramResult r = Run({"/USB=SIM123", "/Address=1", "/Out3=On", "/ErrorCode=In1,In2,In3"});
  EXPECT_FALSE(r.TimedOut);
  EXPECT_EQ(r.ExitStatus, 5);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1, 3})));
  EXPECT_EQ(SplitLines(r.Stderr),
            Lines{"VeltoConsole: USB SIM123: FT_Close did not return within 2000 ms; the adapter "
                  "is left to it"});
}

}  // namespace
