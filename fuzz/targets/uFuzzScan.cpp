// The bus scan's two readers of outside bytes: its command line, and the
// sorting of what a line sends back while addresses are asked in turn.
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "scan/uScanParams.h"
#include "scan/uScanSorter.h"
#include "uFuzzKit.h"
#include "uFuzzTargets.h"

namespace {

using fuzzkit::Check;

constexpr std::size_t kMaxArgs = 64;

void CommandLine(fuzzkit::TInput& input) {
  std::vector<std::string> args(1);
  for (char c : input.RestText()) {
    if (c == 0 && args.size() < kMaxArgs)
      args.emplace_back();
    else
      args.back().push_back(c);
  }
  TScanParams params;
  std::ostringstream out;
  ParseScanCommandLine(args, params, out);
  Check(params.From <= kScanLastAddress && params.To <= kScanLastAddress,
        "a scan address that is no module's own");
  Check(params.TimeoutMs == -1 || (params.TimeoutMs >= 0 && params.TimeoutMs <= kScanMaxTimeoutMs),
        "a time-out out of range");
}

// Turns: an address, a signature and a few blocks of bytes each.
void Turns(fuzzkit::TInput& input) {
  TScanSorter sorter;
  std::set<std::uint8_t> asked;
  while (!input.Empty()) {
    const std::uint8_t adr = input.Byte();
    const std::uint8_t sig = input.Byte();
    sorter.Begin(adr, sig);
    asked.insert(adr);
    for (int blocks = input.Byte() % 4; blocks > 0 && !input.Empty(); --blocks)
      sorter.Feed(input.Bytes(input.Byte()));
    sorter.End();
  }
  for (const auto& [address, finding] : sorter.Findings())
    Check(asked.count(address) == 1, "a finding for an address never asked");
  Check(sorter.ModuleCount() <= asked.size(), "more modules than addresses asked");
}

}  // namespace

int FuzzScan(const std::uint8_t* data, std::size_t size) {
  fuzzkit::TInput input(data, size);
  if ((input.Byte() & 1) != 0) {
    CommandLine(input);
  } else {
    Turns(input);
  }
  return 0;
}
