// Tests that run under user-mode emulation: a cross build's test programs run
// on the build machine through the emulator (CMake's
// CMAKE_CROSSCOMPILING_EMULATOR), with its library root for the target's
// shared libraries.
//
// - The programs a test starts must go through the same emulator: the
//   machine cannot run them directly (no binary-format handler is registered
//   for them). ProgramCommand gives the command line and environment that do.
// - Every program runs several times slower, so each bound on a wait for an
//   event grows by one factor (ScaledMs). Natively the factor is 1.
// - The emulator answers some terminal calls the kernel serves with ENOSYS;
//   tests that need them skip (ArbitraryRateSkipReason, ExclusiveQuerySkipReason).
// - The kernel names the emulator's process, not the program it runs
//   (KernelProcessName).
#pragma once

#include <string>
#include <vector>

// The factor: VELTO_TEST_TIME_SCALE from the environment when it is a whole
// number from 1 to 100, else the build's (CMake's VELTO_TEST_TIME_SCALE).
int TestTimeScale();

// `ms` grown by the factor (saturating; 0 and negative stay as they are).
int ScaledMs(int ms);

// True when the tests were built to run under an emulator.
bool UnderEmulation();

// A command line and environment ready for execve or posix_spawn, built before
// a fork so that the child only calls execve.
class TProgramCommand {
 public:
  // `path` with `args` (not including the program name). A program built for
  // the emulated machine is started as `<emulator> path args...` with
  // QEMU_LD_PREFIX naming the library root; anything else (a shell, a tool of
  // the build machine) as it is.
  TProgramCommand(const std::string& path, const std::vector<std::string>& args);
  TProgramCommand(const TProgramCommand&) = delete;
  TProgramCommand& operator=(const TProgramCommand&) = delete;

  const char* File() const { return FArgvText.front().c_str(); }
  char* const* Argv() { return FArgv.data(); }
  char* const* Envp() { return FEnvp.data(); }
  bool Emulated() const { return FEmulated; }

 private:
  bool FEmulated = false;
  std::vector<std::string> FArgvText;
  std::vector<std::string> FEnvText;
  std::vector<char*> FArgv;
  std::vector<char*> FEnvp;
};

// Why tests of a terminal call cannot run here: non-empty when the call on a
// pseudo-terminal answers ENOSYS, as user-mode emulation does for calls it
// does not pass on to the kernel (natively they work on every kernel we
// support). The first is the call that reads and sets any bit rate
// (TCGETS2/TCSETS2), the second the query of the exclusive-use flag.
std::string ArbitraryRateSkipReason();
std::string ExclusiveQuerySkipReason();
// True when the call that hands a line's direction to the driver
// (TIOCSRS485) answers ENOSYS, not ENOTTY, on a pseudo-terminal: a line
// without it is then refused with that reason.
bool DirectionControlCallMissing();

// The name the kernel gives this process, as a program that names the
// holder of a port reads it: `programName` natively; under user-mode
// emulation the process is the emulator's, and so is the name.
std::string KernelProcessName(const std::string& programName);
