#include "scan/uScanParams.h"

#include <ostream>

#include "app/uTextOut.h"
#include "framework/uStrUtils.h"

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

void ParseAddress(const std::string& text, std::uint8_t& address, std::ostream& out) {
  std::uint8_t parsed = 0;
  if (!ParseDeviceAddress(text, parsed) || parsed > kScanLastAddress) {
    out << "Bad device address!\n";
    return;
  }
  address = parsed;
}

// The console's own reading of a connection switch; its lines go on to `out`.
bool ParseConsoleConnectionSwitch(const std::string& keyword, TParamRec& params,
                                  std::ostream& out) {
  TTextOut said;
  const bool taken = ParseConnectionSwitch(keyword, params, said);
  out << said.Text();
  return taken;
}

void ParseArgument(const std::string& arg, TScanParams& params, std::ostream& out) {
  const std::string typed = TrimControl(arg);
  if (typed.empty()) return;
  const std::string body = TrimControl(std::string_view(typed).substr(1));
  const std::string keyword = UpperCase(body);
  if ((typed[0] != '/' && typed[0] != '-') || keyword.empty()) {
    out << "Bad argument:'" << typed << "'!\n";
  } else if (keyword[0] == '?' || keyword == "HELP") {
    params.Connection.ShowHelp = true;
  } else if (ParseConsoleConnectionSwitch(keyword, params.Connection, out)) {
    // read by the console's own parser
  } else if (StartsWith(keyword, "FROM=")) {
    ParseAddress(body.substr(5), params.From, out);
  } else if (StartsWith(keyword, "TO=")) {
    ParseAddress(body.substr(3), params.To, out);
  } else if (StartsWith(keyword, "TIMEOUT=")) {
    std::int32_t ms = 0;
    if (!TryParseInt(std::string_view(keyword).substr(8), ms) || ms < 0 || ms > kScanMaxTimeoutMs) {
      out << "Bad time-out!\n";
    } else {
      params.TimeoutMs = ms;
    }
  } else if (keyword == "NOLOG") {
    params.Connection.LogEnabled = false;
  } else {
    out << "Bad argument:'" << typed << "'!\n";
  }
}

}  // namespace

void ParseScanCommandLine(const std::vector<std::string>& args, TScanParams& params,
                          std::ostream& out) {
  params = TScanParams{};
  for (const std::string& arg : args) ParseArgument(arg, params, out);
}

void PrintScanHelp(std::ostream& out) {
  out << "\n"
         "  VeltoScan - find the modules on a line\n"
         "\n"
         "   /? or /help\n"
         "           - Show this help.\n"
         "\n"
         "   /COM=[N]:[BAUDRATE]  /USB=[SERIAL]  /TCP=[IP]:[PORT]\n"
         "           - The line, as for VeltoConsole.\n"
         "\n"
         "   /From=[ADDRESS]  /To=[ADDRESS]\n"
         "           - Addresses to ask, as for VeltoConsole's /Address\n"
         "             (default #0 to #253).\n"
         "\n"
         "   /Timeout=[MS]\n"
         "           - How long each address may take to begin its answer once the\n"
         "             request is out (default: 10 ms and five character times on a\n"
         "             serial line, 16 ms more over USB, 50 ms over TCP).\n"
         "\n"
         "   /nolog\n"
         "           - Disable logging messages.\n"
         "\n"
         " Each module that answers is one line: its address, a tab and its\n"
         " identification. The exit code is the number of modules found, -1 when\n"
         " the connection cannot be made.\n"
         "\n"
         " Example:\n"
         "\n"
         "VeltoScan /COM=1:9600 /From=#1 /To=#100\n";
}
