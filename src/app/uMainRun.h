// One run of the console program: from the command line to the exit code.
#pragma once

#include <string>
#include <vector>

class TTextOut;

// Exit code of help and of every failure.
constexpr int kExitFailure = -1;

// Runs the program on `args` (the arguments after the program name), writing
// every line to `out`; returns the exit code. The help banner is coloured
// only when `out` is standard output and that is a terminal. Once a stop
// signal came (StopSignal), the run goes no further than the step under way
// and prints nothing more.
int RunVeltoConsole(const std::vector<std::string>& args, TTextOut& out);
