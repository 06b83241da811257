#include "simulator/uSimCommands.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "framework/uStrUtils.h"
#include "simulator/uSimOptions.h"

namespace {

bool ParseOnOff(const std::string& text, bool& on) {
  if (SameText(text, "on") || text == "1") {
    on = true;
  } else if (SameText(text, "off") || text == "0") {
    on = false;
  } else {
    return false;
  }
  return true;
}

constexpr std::size_t kEchoLength = 40;

}  // namespace

std::string SimEcho(std::string_view text) {
  std::string echo;
  for (char c : text.substr(0, kEchoLength)) echo += c >= 0x20 && c < 0x7F ? c : '.';
  if (text.size() > kEchoLength) echo += "...";
  return echo;
}

TSimCommandResult ApplySimCommand(const std::string& line, TModuleSimulator& module,
                                  std::string& error) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  if (words.empty() || words[0][0] == '#') return TSimCommandResult::Done;

  const std::string command = LowerCase(words[0]);
  std::int32_t number = 0;
  bool on = false;
  if ((command == "quit" || command == "exit") && words.size() == 1) {
    return TSimCommandResult::Quit;
  }
  if (command == "in" && words.size() == 3 && TryParseInt(words[1], number) &&
      ParseOnOff(words[2], on)) {
    if (module.SetInput(number, on)) return TSimCommandResult::Done;
    error = "no input " + SimEcho(words[1]);
    return TSimCommandResult::Error;
  }
  if (command == "temp" && words.size() == 2) {
    char* end = nullptr;
    const double degrees = std::strtod(words[1].c_str(), &end);
    if (end != nullptr && *end == '\0' && std::isfinite(degrees)) {
      module.SetTemperature(degrees);
      return TSimCommandResult::Done;
    }
  }
  if (command == "notify" && words.size() == 2 && ParseOnOff(words[1], on)) {
    module.SetNotify(on);
    return TSimCommandResult::Done;
  }
  if (command == "counter" && words.size() == 3 && TryParseInt(words[1], number)) {
    std::int32_t value = 0;
    if (TryParseInt(words[2], value) && value >= 0 &&
        module.SetCounter(number, static_cast<std::uint64_t>(value))) {
      return TSimCommandResult::Done;
    }
  }
  error = "bad command '" + SimEcho(line) +
          "' (in N on|off, temp DEG, notify on|off, counter N VALUE, quit)";
  return TSimCommandResult::Error;
}

TSimCommandResult ApplySimBusCommand(const std::string& line, TSimBus& bus, std::string& error) {
  std::string command = line;
  std::optional<std::uint8_t> only;
  const std::size_t start = line.find_first_not_of(" \t");
  if (start != std::string::npos && line[start] == '@') {
    const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
    std::uint8_t address = 0;
    if (!ParseSimAddress(line.substr(start + 1, end - start - 1), address)) {
      error = "bad module address in '" + SimEcho(line) + "'";
      return TSimCommandResult::Error;
    }
    only = address;
    command = line.substr(end);
  }
  TSimCommandResult result = TSimCommandResult::Done;
  bool any = false;
  for (std::size_t i = 0; i < bus.Size(); ++i) {
    TModuleSimulator& module = bus.Module(i);
    if (only && module.Address() != *only) continue;
    any = true;
    result = ApplySimCommand(command, module, error);
    if (result != TSimCommandResult::Done) break;
  }
  if (only && result == TSimCommandResult::Quit) {
    error = "quit is for the whole simulator: '" + SimEcho(line) + "'";
    return TSimCommandResult::Error;
  }
  if (!any) {
    error = "no module at #" + std::to_string(*only) + ": '" + SimEcho(line) + "'";
    return TSimCommandResult::Error;
  }
  return result;
}
