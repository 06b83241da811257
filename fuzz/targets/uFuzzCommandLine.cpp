// An argument vector through the command-line parser, and the connection
// string it builds through the provider factory, without opening anything.
#include <stdexcept>
#include <string>
#include <vector>

#include "app/uParams.h"
#include "app/uTextOut.h"
#include "framework/uXmlNode.h"
#include "transport/uConnectionString.h"
#include "transport/uTransports.h"
#include "uFuzzKit.h"
#include "uFuzzTargets.h"

namespace {

using fuzzkit::Check;

constexpr std::size_t kMaxArgs = 64;

}  // namespace

int FuzzCommandLine(const std::uint8_t* data, std::size_t size) {
  static const bool registered = (InitTransports(0, nullptr), true);
  (void)registered;
  // Arguments are separated by zero bytes, as in the process's own vector.
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size && args.size() <= kMaxArgs; ++i) {
    if (data[i] == 0)
      args.emplace_back();
    else
      args.back().push_back(static_cast<char>(data[i]));
  }
  TParamRec params;
  TTextOut out;
  ParseCommandLine(args, params, out);  // never raises: a bad argument is one line
  Check(params.ConnectionDefined == !params.ConnectionString.empty(),
        "a connection without its string, or the reverse");
  for (const TQOutputItem& item : params.Outputs)
    Check(item.Time >= 0 && item.Time <= kMaxOutputTime && (item.Timed || item.Time == 0),
          "an output time the module cannot carry");
  if (!params.ConnectionDefined) return 0;

  TIntf<ICommunicationInterface> transport;
  try {
    if (!CreateTransport(fuzzkit::FactoryTextWithoutActive(params.ConnectionString), transport))
      return 0;
  } catch (const EConvertError&) {
    return 0;  // a value the transport cannot take: the run reports it
  } catch (const std::invalid_argument&) {
    return 0;
  }
  Check(!transport->GetActive(), "the factory opened a transport");
  return 0;
}
