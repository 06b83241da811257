// Entry point of the bus scan program: finds the modules on a line.
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "scan/uScanRun.h"
#include "transport/uTransports.h"

int main(int argc, char** argv) {
  // A reader of standard output that has gone away must not cost the exit code.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    InitTransports(argc, argv);
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int code = RunVeltoScan(args, std::cout, std::cerr);
    std::cout.flush();
    DoneTransports();
    return code;
  } catch (const std::exception& e) {
    std::cerr << "VeltoScan: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "VeltoScan: unknown error" << std::endl;
  }
  return -1;
}
