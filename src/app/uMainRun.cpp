#include "app/uMainRun.h"

#include <exception>
#include <string>

#include "app/uConsoleColor.h"
#include "app/uHelp.h"
#include "app/uLineEnv.h"
#include "app/uParams.h"
#include "app/uRunSignals.h"
#include "app/uTextOut.h"
#include "device/uVelto.h"
#include "device/ussVelto.h"
#include "protocol/uTervanStack.h"
#include "transport/serial/AfTty.h"
#include "transport/uConnectionString.h"

namespace {

// The exit code carries at most fifteen inputs (bits 0 to 14).
constexpr std::size_t kMaxCodeInputs = 15;

// A stop signal came: the run goes no further and prints nothing more (the
// process ends by the signal once the run's objects are released).
bool Stopped() {
  return StopSignal() != 0;
}

// The three objects of a run. Taking them apart (device detached, stack
// unbound, references dropped in the order device, stack, transport) happens
// on every path out of the run, also when something unexpected is raised.
class TRunObjects {
 public:
  TRunObjects() = default;
  TRunObjects(const TRunObjects&) = delete;
  TRunObjects& operator=(const TRunObjects&) = delete;
  ~TRunObjects() { CleanUp(); }

  void CleanUp() noexcept {
    try {
      if (Device) Device->SetStack(nullptr);
    } catch (...) {  // taking apart on the way out: the run's outcome is already decided
    }
    try {
      if (Stack) Stack->SetTransport(nullptr);
    } catch (...) {  // as above; the references are dropped all the same
    }
    Device = nullptr;
    Stack = nullptr;
    Transport = nullptr;
  }

  TIntf<IVelto> Device;
  TIntf<ITervanStack> Stack;
  TIntf<ICommunicationInterface> Transport;
};

class TRunLog {
 public:
  TRunLog(TTextOut& out, bool enabled) : FOut(out), FEnabled(enabled) {}
  void Line(const std::string& text) {
    if (FEnabled && !Stopped()) FOut << text << '\n';
  }

 private:
  TTextOut& FOut;
  bool FEnabled;
};

// An identification counts only when the module said how many inputs and
// outputs it has; an unrecognised answer would otherwise pass for a module
// without inputs and end the run with 0.
bool Identify(IVelto& device, TVeltoInfo& info) {
  return device.GetInfo(info) && info.InputCount >= 0 && info.OutputCount >= 0;
}

// Sets every listed output in command-line order; false when any that was in
// range was refused or left unanswered.
bool SetOutputs(IVelto& device, const TParamRec& params, const TVeltoInfo& info, TRunLog& log) {
  bool allSet = true;
  for (const TQOutputItem& item : params.Outputs) {
    if (Stopped()) return false;
    if (item.Number < 1 || item.Number > info.OutputCount) {
      log.Line("The output number " + std::to_string(item.Number) + " is out of range!");
      continue;
    }
    // One byte of half-seconds on the wire; the parser keeps times within it.
    const auto time = static_cast<std::uint8_t>((item.Timed ? item.Time : 0) & 0xFF);
    if (!device.SetOutput(item.Number, item.Value, time, true)) {
      log.Line("Could not set Velto output " + std::to_string(item.Number) + "!");
      allSet = false;
    }
  }
  return allSet;
}

int PackInputs(const TParamRec& params, const TVeltoInfo& info, const TVeltoIOArray& states,
               TRunLog& log) {
  int code = 0;
  const std::size_t count = std::min(params.Inputs.size(), kMaxCodeInputs);
  for (std::size_t i = 0; i < count; ++i) {
    const std::int32_t n = params.Inputs[i].Number;
    if (n < 1 || n > info.InputCount || static_cast<std::size_t>(n) > states.size()) {
      log.Line("The input number " + std::to_string(n) + " is out of range!");
      continue;
    }
    if (states[static_cast<std::size_t>(n) - 1]) code |= 1 << i;
  }
  return code;
}

// The error line of the run: standard output's lines first, so that a log
// that takes both keeps their order.
void ReportError(TTextOut& out, const std::string& text) {
  out.Flush();
  ConsoleErr() << "VeltoConsole: " << text << '\n';
}

// Why the connection could not be made or was lost, once, when the transport
// knows it; a run that failed for another reason has nothing to add.
void ReportConnectionFailure(ICommunicationInterface& transport, TTextOut& out) {
  if (Stopped()) return;
  const std::string reason = transport.GetLastError();
  if (!reason.empty()) ReportError(out, reason);
}

int RunOpened(const TParamRec& params, TRunObjects& run, TRunLog& log) {
  log.Line("Connection established.");

  TVeltoInfo info;
  if (!Identify(*run.Device, info) && (Stopped() || !Identify(*run.Device, info))) {
    log.Line("Could not read data from Velto!");
    return kExitFailure;
  }

  const bool outputsSet = SetOutputs(*run.Device, params, info, log);
  if (Stopped()) return kExitFailure;

  int code = 0;
  if (info.InputCount > 0) {
    TVeltoIOArray states;
    if (!run.Device->ReadInputs(states, true) &&
        (Stopped() || !run.Device->ReadInputs(states, true))) {
      log.Line("Could not read inputs from Velto!");
      return kExitFailure;
    }
    for (std::size_t i = 0; i < states.size(); ++i)
      log.Line("Velto Innput" + std::to_string(i + 1) + ": " + (states[i] ? "On" : "Off"));
    code = PackInputs(params, info, states, log);
  }
  // A script must not be told an output was set when it was not.
  return outputsSet ? code : kExitFailure;
}

int RunConnected(const TParamRec& params, TTextOut& out) {
  TRunLog log(out, params.LogEnabled);
  TRunObjects run;
  // Destroyed before `run`: the lines reach their reader before the clean-up,
  // which a driver may hold up.
  struct TFlushFirst {
    TTextOut& Out;
    ~TFlushFirst() { Out.Flush(); }
  } flushFirst{out};
  run.Device = Make<TVelto>(params.Address);
  run.Stack = Make<TTervanStack>();
  std::string connection = params.ConnectionString;
  std::string problem;
  if (!AddLineEnvironment(connection, problem)) {
    log.Line("Connection refused!");
    ReportError(out, problem);
    return kExitFailure;
  }
  if (!CreateTransport(connection, run.Transport) || !run.Transport) {
    // The parser only builds strings of registered providers; should one ever
    // be missing, the connection cannot be made.
    log.Line("Connection refused!");
    return kExitFailure;
  }
  run.Stack->SetTransport(run.Transport);
  run.Device->SetStack(run.Stack);

  // A stop signal also ends a wait for a port that another program holds.
  SetTtyWaitAbandon(&Stopped);
  if (Stopped() || !run.Transport->Open()) {
    log.Line("Connection refused!");
    ReportConnectionFailure(*run.Transport, out);
    return kExitFailure;
  }
  if (Stopped()) return kExitFailure;
  const int code = RunOpened(params, run, log);
  // A connection lost on the way is the reason of a failed run.
  if (code == kExitFailure && !run.Transport->GetActive())
    ReportConnectionFailure(*run.Transport, out);
  return code;
}

}  // namespace

int RunVeltoConsole(const std::vector<std::string>& args, TTextOut& out) {
  TParamRec params;
  ParseCommandLine(args, params, out);

  if (params.ShowHelp) {
    PrintHelp(out, &out == &ConsoleOut() && StdoutIsTerminal());
    return kExitFailure;
  }
  if (!params.ConnectionDefined) {
    // Printed even under /nolog: without it a script could not tell why.
    out << "Not defined connection to Velto!\n";
    return kExitFailure;
  }
  try {
    return RunConnected(params, out);
  } catch (const std::exception& e) {
    // The run's objects are already taken apart when this is reached.
    ReportError(out, e.what());
  } catch (...) {
    ReportError(out, "unexpected error");
  }
  return kExitFailure;
}
