#include "app/uMainRun.h"

#include <iostream>

#include "app/uConsoleColor.h"
#include "app/uHelp.h"
#include "app/uParams.h"

int RunVeltoConsole(const std::vector<std::string>& args, std::ostream& out) {
  TParamRec params;
  ParseCommandLine(args, params, out);

  if (params.ShowHelp) {
    PrintHelp(out, &out == &std::cout && StdoutIsTerminal());
    return kExitFailure;
  }
  if (!params.ConnectionDefined) {
    // Printed even under /nolog: without it a script could not tell why.
    out << "Not defined connection to Velto!\n";
    return kExitFailure;
  }

  // The connected run (device, stack and transport; identify, outputs,
  // inputs, exit code) is built on this record next.
  return kExitFailure;
}
