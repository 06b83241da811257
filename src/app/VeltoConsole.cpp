// Entry point of the console program.
#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include "app/uMainRun.h"
#include "app/uRunSignals.h"
#include "app/uTextOut.h"
#include "transport/uTransports.h"

int main(int argc, char** argv) {
  // First, before any thread starts: SIGINT, SIGTERM and SIGHUP end the run
  // at its next step, so that the line is released and what was printed is
  // written before the process ends by the same signal.
  TRunSignals runSignals;
  // A reader of standard output that has gone away (a pipeline that stopped
  // reading) must not cost the run its exit code: the write fails quietly.
  std::signal(SIGPIPE, SIG_IGN);
  // No exception may end the process silently: one line on standard error
  // (standard output belongs to the run) and the failure exit code.
  try {
    InitTransports(argc, argv);
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int code = RunVeltoConsole(args, ConsoleOut());
    ConsoleOut().Flush();
    DoneTransports();
    runSignals.EndBySignal();
    return code;
  } catch (const std::exception& e) {
    ConsoleErr() << "VeltoConsole: " << e.what() << '\n';
  } catch (...) {
    ConsoleErr() << "VeltoConsole: unknown error" << '\n';
  }
  ConsoleOut().Flush();
  runSignals.EndBySignal();
  return kExitFailure;
}
