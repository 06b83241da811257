// A VELTO I/O module on a TCP port (and optionally a pseudo-terminal), for
// tests, demonstrations and trying scripts without hardware.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "simulator/uSimBus.h"
#include "simulator/uSimCommands.h"
#include "simulator/uSimLogWriter.h"
#include "simulator/uSimOptions.h"
#include "simulator/uSimServer.h"
#include "simulator/uStopSignals.h"

namespace {

int Run(const std::vector<std::string>& args) {
  // First of all, so that whoever reads the port may signal right away. The
  // one thread the simulator starts (the writer of standard error) inherits
  // the mask, so the signals reach the loop alone.
  TStopSignals stopSignals;
  if (stopSignals.Fd() < 0) {
    std::cerr << "VeltoSimulator: cannot take the stop signals: " << stopSignals.Error()
              << std::endl;
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  TSimOptions options;
  std::string error;
  if (!ParseSimOptions(args, options, error)) {
    std::cerr << "VeltoSimulator: " << error << " (see --help)" << std::endl;
    return 2;
  }
  if (options.Help) {
    std::cout << SimUsage();
    return 0;
  }
  TSimBus bus(SimModuleConfigs(options));
  // Everything the loop says on standard error goes through a writer that
  // never makes the loop wait for a reader who has stopped reading.
  TSimLogWriter errors(STDERR_FILENO);
  std::ostream& err = errors.Stream();
  TSimServer server(bus, options.Server, options.Server.Log ? &err : nullptr, &err);
  if (!server.Open(error)) {
    err << "VeltoSimulator: " << error << std::endl;
    return 1;
  }
  server.SetStopInput(stopSignals.Fd());
  // Scripts and tests read the port from this first line.
  std::cout << "Listening on " << options.Server.Host << ":" << server.Port() << "\n";
  if (options.Server.Pty) std::cout << "PTY " << server.PtyPath() << "\n";
  std::cout.flush();

  server.SetLineInput(
      0,
      [&](const std::string& line) {
        std::string reason;
        switch (ApplySimBusCommand(line, bus, reason)) {
          case TSimCommandResult::Quit:
            server.Stop();
            break;
          case TSimCommandResult::Error:
            err << "VeltoSimulator: " << reason << std::endl;
            break;
          case TSimCommandResult::Done:
            break;
        }
      },
      [&] {
        if (options.StdinQuit) server.Stop();
      });
  server.Run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "VeltoSimulator: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "VeltoSimulator: unexpected error" << std::endl;
  }
  return 1;
}
