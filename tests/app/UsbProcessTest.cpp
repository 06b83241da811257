// The console program over a USB adapter, run as a process: the stand-in
// D2XX library carries the adapter's bytes to the module simulator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/uChildProcess.h"
#include "support/uFakeSysfs.h"
#include "support/uSimulatorProcess.h"
#include "uRunLines.h"

namespace {

using namespace runlines;

class UsbRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSim = StartSimulator({"--inputs-on", "1,3", "--log"});
    ASSERT_NE(FSim.Port, 0);
    setenv("VELTO_D2XX_LIBRARY", ProgramPath("libfake_d2xx.so").c_str(), 1);
    setenv("FAKE_D2XX_DEVICE", ("SIM123@127.0.0.1:" + std::to_string(FSim.Port)).c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VELTO_D2XX_LIBRARY");
    unsetenv("FAKE_D2XX_DEVICE");
  }

  static TProgramResult Run(const std::vector<std::string>& args) {
    return RunProgram(ProgramPath("VeltoConsole"), args, 20000);
  }

  TSimulatorProcess FSim;
  // No serial devices of USB adapters, whatever this machine has.
  TFakeSysfs FSys;
};

TEST_F(UsbRunTest, WorkedExampleThroughTheAdapter) {
  // The command line upper-cases the serial number.
  TProgramResult r = Run({"/USB=sim123", "/Address=1", "/Out3=On", "/ErrorCode=In1,In2,In3"});
  EXPECT_EQ(r.ExitStatus, 5);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1, 3})));
  EXPECT_EQ(r.Stderr, "");
  EXPECT_EQ(StopAndTakeReceived(FSim), kWorkedExampleWire);
}

TEST_F(UsbRunTest, RefusedConnectionsSayWhy) {
  struct TCase {
    const char* Library;  // empty: the stand-in
    const char* Serial;
    const char* Reason;
  } cases[] = {
      {"", "/USB=SIM999",
       "VeltoConsole: USB adapter SIM999: the D2XX library lists no adapter with that serial "
       "number (found: SIM123); no serial device with that USB serial number (found: none)\n"},
      {"/nonexistent/libd2xx.so", "/USB=SIM123",
       "VeltoConsole: USB adapter SIM123: D2XX library not found (/nonexistent/libd2xx.so); no "
       "serial device with that USB serial number (found: none)\n"},
      {"libc.so.6", "/USB=SIM123",
       "VeltoConsole: USB adapter SIM123: the D2XX library libc.so.6 has no FT_OpenEx; no "
       "serial device with that USB serial number (found: none)\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Serial + std::string(" ") + c.Library);
    if (*c.Library != '\0') setenv("VELTO_D2XX_LIBRARY", c.Library, 1);
    TProgramResult r = Run({c.Serial, "/Address=1", "/Out3=On"});
    EXPECT_EQ(r.ExitStatus, 255);
    EXPECT_EQ(SplitLines(r.Stdout), Lines{"Connection refused!"});
    EXPECT_EQ(r.Stderr, c.Reason);
  }
  EXPECT_EQ(StopAndTakeReceived(FSim), Lines{});
}

// A stock box: no D2XX library, the adapter bound by the kernel's driver
// (here the simulator's pseudo-terminal, named by a sysfs tree of the
// kernel's layout), its serial number in mixed case.
TEST_F(UsbRunTest, WorkedExampleThroughTheKernelDevice) {
  TSimulatorProcess sim = StartSimulator({"--inputs-on", "1,3", "--log", "--pty"});
  ASSERT_NE(sim.Port, 0);
  ASSERT_FALSE(sim.PtyPath.empty());
  FSys.AddPort(FSys.AddAdapter("1-1", "Sim123"), 0, "ttyUSB0", DevNameOf(sim.PtyPath));
  setenv("VELTO_D2XX_LIBRARY", "/nonexistent/libd2xx.so", 1);
  TProgramResult r = Run({"/USB=SIM123", "/Address=1", "/Out3=On", "/ErrorCode=In1,In2,In3"});
  EXPECT_EQ(r.ExitStatus, 5);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1, 3})));
  EXPECT_EQ(r.Stderr, "");
  EXPECT_EQ(StopAndTakeReceived(sim), kWorkedExampleWire);
  // A wrong serial number lists what there is.
  r = Run({"/USB=SIM124", "/Address=1", "/Out3=On"});
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(SplitLines(r.Stdout), Lines{"Connection refused!"});
  EXPECT_EQ(r.Stderr,
            "VeltoConsole: USB adapter SIM124: D2XX library not found (/nonexistent/libd2xx.so); "
            "no serial device with that USB serial number (found: Sim123 on " +
                sim.PtyPath + ")\n");
  EXPECT_EQ(StopAndTakeReceived(FSim), Lines{});
}

}  // namespace
