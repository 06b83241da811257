#include "scan/uScanRun.h"

#include <sys/random.h>

#include <ostream>

#include "scan/uBusScan.h"
#include "scan/uScanParams.h"
#include "transport/uConnectionString.h"

namespace {

constexpr int kExitFailure = -1;

// Each scan starts its signatures somewhere else, so that an answer left
// over from an earlier scan on the same line cannot pass for one of its own.
std::uint8_t FirstSignature() {
  std::uint8_t sig = 0;
  if (getrandom(&sig, 1, GRND_NONBLOCK) != 1) sig = 0;
  return sig;
}

// A failure's line on standard error, after what standard output holds.
void Report(std::ostream& out, std::ostream& err, const std::string& text) {
  out.flush();
  err << "VeltoScan: " << text << std::endl;
}

}  // namespace

std::string ScanPrintable(const std::string& text) {
  std::string line = text;
  for (char& c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '.';
  }
  return line;
}

int RunVeltoScan(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  TScanParams params;
  ParseScanCommandLine(args, params, out);
  const bool log = params.Connection.LogEnabled;
  if (params.Connection.ShowHelp) {
    PrintScanHelp(out);
    return kExitFailure;
  }
  if (!params.Connection.ConnectionDefined) {
    out << "Not defined connection to Velto!\n";
    return kExitFailure;
  }
  if (params.From > params.To) {
    out << "Bad address range!\n";
    return kExitFailure;
  }
  struct {
    TIntf<ICommunicationInterface> Transport;  // dropping the last reference closes it
  } run;
  if (!CreateTransport(params.Connection.ConnectionString, run.Transport) || !run.Transport) {
    if (log) out << "Connection refused!\n";
    return kExitFailure;
  }
  if (!run.Transport->Open()) {
    if (log) out << "Connection refused!\n";
    const std::string reason = run.Transport->GetLastError();
    if (!reason.empty()) Report(out, err, reason);
    return kExitFailure;
  }
  if (log) out << "Connection established.\n";

  const TScanLine line = ScanLineOf(params.Connection.ConnectionString);
  const TScanTiming timing = ScanTiming(line, run.Transport->GetByteTime(), params.TimeoutMs);
  TScanSorter sorter;
  const bool complete =
      RunBusScan(*run.Transport, timing, params.From, params.To, FirstSignature(), sorter);

  for (const auto& [address, finding] : sorter.Findings()) {
    const std::string name = "#" + std::to_string(address);
    if (finding.Kind == TScanFinding::TKind::Collision) {
      Report(out, err, name + ": garbled answer (several modules answered at once?)");
      continue;
    }
    out << name << '\t' << ScanPrintable(TextOf(finding.Identification)) << '\n';
    if (finding.Ack != 0) {
      Report(out, err, name + ": identification refused with acknowledge code " +
                           std::to_string(finding.Ack));
    }
  }
  if (!complete) {
    const std::string reason = run.Transport->GetLastError();
    Report(out, err, reason.empty() ? "connection lost during the scan" : reason);
    return kExitFailure;
  }
  return static_cast<int>(sorter.ModuleCount());
}
