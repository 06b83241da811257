// Runs of the console that share one line: three runs started together on
// one pseudo-terminal, each to another module of the simulator's bus, take
// turns on the line and each gives its own module's inputs. The bus is set up
// as in the test machine: inputs common to all, some modules with their own,
// and the inputs answer coming a byte at a time, so that a run may close
// while bytes are still on their way.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "support/uChildProcess.h"
#include "support/uSimulatorProcess.h"
#include "uRunLines.h"

namespace {

using namespace runlines;

// Each run waits for the others (up to the console's default 10 s); only a
// hang reaches this.
constexpr int kHangGuardMs = 60000;

struct TBusRun {
  const char* Address;
  int ExitCode;  // In1..In3 of that module, packed
  std::vector<int> OnInputs;
};

TEST(BusProcessTest, ThreeRunsStartedTogetherOnOneLineEachGiveTheirModulesCode) {
  TSimulatorProcess sim = StartSimulator({"--pty", "--address", "1,7,200", "--inputs-on", "1,3",
                                          "--inputs-on@7", "2", "--inputs-on@200", "2,3",
                                          "--split", "0x31:40"});
  ASSERT_NE(sim.Port, 0);
  ASSERT_FALSE(sim.PtyPath.empty());
  setenv("VELTO_COM5", sim.PtyPath.c_str(), 1);
  unsetenv("VELTO_PORT_WAIT_MS");
  const std::vector<TBusRun> runs{{"/Address=1", 5, {1, 3}},
                                  {"/Address=7", 2, {2}},
                                  {"/Address=#200", 6, {2, 3}}};
  std::vector<TChildProcess> children(runs.size());
  for (std::size_t i = 0; i < runs.size(); ++i)
    ASSERT_TRUE(children[i].Start(ProgramPath("VeltoConsole"),
                                  {"/COM=5:9600", runs[i].Address, "/ErrorCode=In1,In2,In3"}));
  for (std::size_t i = 0; i < runs.size(); ++i) {
    int status = -1;
    ASSERT_TRUE(children[i].Wait(kHangGuardMs, status)) << runs[i].Address;
    EXPECT_EQ(status, runs[i].ExitCode) << runs[i].Address << ": " << children[i].Stderr();
    EXPECT_EQ(SplitLines(children[i].Stdout()),
              Concat({"Connection established."}, InputLines(runs[i].OnInputs)))
        << runs[i].Address;
    EXPECT_EQ(children[i].Stderr(), "") << runs[i].Address;
  }
  unsetenv("VELTO_COM5");
}

}  // namespace
