#include "simulator/uSimOptions.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>

#include "framework/uStrUtils.h"
#include "protocol/uTervanCore.h"

namespace {

// Options that set up the simulator as a whole, never one module of the bus.
bool IsServerOption(const std::string& name) {
  static const char* const names[] = {"host", "port",         "pty",       "log",    "stdin-quit",
                                      "help", "answer-delay", "wire-baud", "address"};
  for (const char* n : names) {
    if (name == n) return true;
  }
  return false;
}

// Longer data makes no packet.
constexpr std::size_t kMaxAnswerData = tervan::kMaxDataSize;

template <class T>
bool ParseRange(const std::string& text, int min, int max, T& value) {
  std::int32_t parsed = 0;
  if (!TryParseInt(text, parsed) || parsed < min || parsed > max) return false;
  value = static_cast<T>(parsed);
  return true;
}

// Unsigned value up to 64 bits, decimal or hexadecimal after "0x" or "$".
bool ParseUnsigned(const std::string& text, std::uint64_t& value) {
  std::string digits = text;
  int base = 10;
  if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) {
    digits = digits.substr(2);
    base = 16;
  } else if (digits.rfind('$', 0) == 0) {
    digits = digits.substr(1);
    base = 16;
  }
  if (digits.empty() || digits[0] == '-' || digits[0] == '+' || digits[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(digits.c_str(), &end, base);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  value = parsed;
  return true;
}

// Instruction code 0..255, or "any".
bool ParseCode(const std::string& text, int& code) {
  if (SameText(text, "any")) {
    code = kSimAnyInstruction;
    return true;
  }
  return ParseRange(text, 0, 255, code);
}

// "CODE" or "CODE:VALUE"; `value` keeps its default when no value is given.
bool ParseCodeWithValue(const std::string& text, int& code, int& value, int min, int max) {
  std::string head;
  std::string tail;
  SplitFirst(text, ":", head, tail);
  if (!ParseCode(head, code)) return false;
  return text.find(':') == std::string::npos || ParseRange(tail, min, max, value);
}

// Comma-separated numbers from 1 to `max`, marked on in `states`.
bool ParseOnList(const std::string& text, int max, std::vector<bool>& states) {
  std::string rest = text;
  while (!rest.empty()) {
    std::string head;
    std::string tail;
    SplitFirst(rest, ",", head, tail);
    int number = 0;
    if (!ParseRange(head, 1, max, number)) return false;
    if (states.size() < static_cast<std::size_t>(number)) states.resize(number, false);
    states[static_cast<std::size_t>(number - 1)] = true;
    rest = tail;
  }
  return true;
}

bool ParseLabel(const std::string& text, std::map<std::uint8_t, std::string>& labels) {
  std::string head;
  std::string tail;
  int index = 0;
  if (text.find(':') == std::string::npos || !SplitFirst(text, ":", head, tail) ||
      !ParseRange(head, 0, 255, index) || tail.size() > 21) {
    return false;
  }
  labels[static_cast<std::uint8_t>(index)] = tail;
  return true;
}

// One address, or a comma-separated list of them (one module each; an
// address given twice stands for two modules that share it).
bool ParseAddressList(const std::string& text, TSimOptions& o) {
  std::vector<std::uint8_t> list;
  if (text.size() == 1) {
    list.push_back(0);
    if (!ParseSimAddress(text, list.back())) return false;
  } else {
    std::string rest = text;
    for (;;) {
      std::string head;
      std::string tail;
      const bool more = rest.find(',') != std::string::npos;
      SplitFirst(rest, ",", head, tail);
      list.push_back(0);
      if (head.empty() || !ParseSimAddress(head, list.back())) return false;
      if (!more) break;
      rest = tail;
    }
  }
  if (list.size() > kSimMaxModules) return false;
  o.Module.Address = list.front();
  o.Addresses = list;
  return true;
}

using TValueHandler = std::function<bool(const std::string&, TSimOptions&)>;
using TFlagHandler = std::function<void(TSimOptions&)>;

const std::map<std::string, TFlagHandler>& Flags() {
  static const std::map<std::string, TFlagHandler> flags = {
      {"pty", [](TSimOptions& o) { o.Server.Pty = true; }},
      {"log", [](TSimOptions& o) { o.Server.Log = true; }},
      {"notify", [](TSimOptions& o) { o.Module.Notify = true; }},
      {"no-counters", [](TSimOptions& o) { o.Module.CountersSupported = false; }},
      {"stdin-quit", [](TSimOptions& o) { o.StdinQuit = true; }},
      {"help", [](TSimOptions& o) { o.Help = true; }},
  };
  return flags;
}

TSimFault& FaultOf(TSimOptions& o, int code) {
  return o.Module.Faults[code];
}

const std::map<std::string, TValueHandler>& ValueOptions() {
  static const std::map<std::string, TValueHandler> options = {
      {"host", [](const std::string& v, TSimOptions& o) { return !(o.Server.Host = v).empty(); }},
      {"port",
       [](const std::string& v, TSimOptions& o) { return ParseRange(v, 0, 65535, o.Server.Port); }},
      {"answer-delay",
       [](const std::string& v, TSimOptions& o) {
         return ParseRange(v, 0, 3600000, o.Server.AnswerDelayMs);
       }},
      {"wire-baud", [](const std::string& v,
                       TSimOptions& o) { return ParseRange(v, 0, 100000000, o.Server.WireBaud); }},
      {"address", [](const std::string& v, TSimOptions& o) { return ParseAddressList(v, o); }},
      {"ident",
       [](const std::string& v, TSimOptions& o) { return !(o.Module.Identification = v).empty(); }},
      {"interface",
       [](const std::string& v, TSimOptions& o) {
         o.Module.InterfaceWord = v;
         return true;
       }},
      {"inputs", [](const std::string& v,
                    TSimOptions& o) { return ParseRange(v, 0, 1024, o.Module.InputCount); }},
      {"outputs", [](const std::string& v,
                     TSimOptions& o) { return ParseRange(v, 0, 127, o.Module.OutputCount); }},
      // Each list is the whole set that starts on: "--inputs-on@7 2" after a
      // common "--inputs-on 1,3" leaves module 7 with input 2 alone on.
      {"inputs-on",
       [](const std::string& v, TSimOptions& o) {
         o.Module.Inputs.clear();
         return ParseOnList(v, 1024, o.Module.Inputs);
       }},
      {"outputs-on",
       [](const std::string& v, TSimOptions& o) {
         o.Module.Outputs.clear();
         return ParseOnList(v, 127, o.Module.Outputs);
       }},
      {"state-bytes", [](const std::string& v,
                         TSimOptions& o) { return ParseRange(v, 0, 128, o.Module.StateBytes); }},
      {"counters",
       [](const std::string& v, TSimOptions& o) {
         o.Module.Counters.clear();
         std::string rest = v;
         while (!rest.empty()) {
           std::string head;
           std::string tail;
           SplitFirst(rest, ",", head, tail);
           std::uint64_t value = 0;
           if (!ParseUnsigned(head, value)) return false;
           o.Module.Counters.push_back(value);
           rest = tail;
         }
         return true;
       }},
      {"counter-width", [](const std::string& v,
                           TSimOptions& o) { return ParseRange(v, 1, 64, o.Module.CounterWidth); }},
      {"temp",
       [](const std::string& v, TSimOptions& o) {
         char* end = nullptr;
         const double t = std::strtod(v.c_str(), &end);
         if (v.empty() || end == nullptr || *end != '\0' || !std::isfinite(t)) return false;
         o.Module.Temperature = t;
         return true;
       }},
      {"temp-status",
       [](const std::string& v, TSimOptions& o) {
         return ParseRange(v, 0, 255, o.Module.TemperatureStatus);
       }},
      {"thermometers",
       [](const std::string& v, TSimOptions& o) {
         return ParseRange(v, 0, 255, o.Module.ThermometerCount);
       }},
      {"option", [](const std::string& v,
                    TSimOptions& o) { return ParseRange(v, 0, 255, o.Module.OptionByte); }},
      {"label-a",
       [](const std::string& v, TSimOptions& o) { return ParseLabel(v, o.Module.LabelsA); }},
      {"label-b",
       [](const std::string& v, TSimOptions& o) { return ParseLabel(v, o.Module.LabelsB); }},
      {"baud-code", [](const std::string& v,
                       TSimOptions& o) { return ParseRange(v, 0, 11, o.Module.BaudCode); }},
      {"ids",
       [](const std::string& v, TSimOptions& o) {
         std::string head;
         std::string tail;
         int first = 0;
         int second = 0;
         if (!SplitFirst(v, ",", head, tail) || !ParseRange(head, 0, 0xFFFF, first) ||
             !ParseRange(tail, 0, 0xFFFF, second)) {
           return false;
         }
         o.Module.FirstId = static_cast<std::uint16_t>(first);
         o.Module.SecondId = static_cast<std::uint16_t>(second);
         return true;
       }},
      {"fa-value",
       [](const std::string& v, TSimOptions& o) {
         std::uint64_t n = 0;
         if (!ParseUnsigned(v, n) || n > 0xFFFFFFFFu) return false;
         o.Module.ThirdValue = static_cast<std::uint32_t>(n);
         return true;
       }},
      {"value-f1", [](const std::string& v,
                      TSimOptions& o) { return ParseRange(v, 0, 255, o.Module.ValueF1); }},
      {"text-f2",
       [](const std::string& v, TSimOptions& o) {
         o.Module.TextF2 = v;
         return v.size() <= 16;
       }},
      {"flag-fe",
       [](const std::string& v, TSimOptions& o) {
         int n = 0;
         if (!ParseRange(v, 0, 1, n)) return false;
         o.Module.FlagFE = n != 0;
         return true;
       }},
      {"no-answer",
       [](const std::string& v, TSimOptions& o) {
         int code = 0;
         int count = -1;
         if (!ParseCodeWithValue(v, code, count, 1, 1000000)) return false;
         FaultOf(o, code).NoAnswer = count;
         return true;
       }},
      {"garbage",
       [](const std::string& v, TSimOptions& o) {
         int code = 0;
         if (!ParseCode(v, code)) return false;
         FaultOf(o, code).Garbage = true;
         return true;
       }},
      {"garbage-bytes",
       [](const std::string& v, TSimOptions& o) {
         try {
           o.Module.GarbageBytes = BytesFromHex(v);
         } catch (const std::exception&) {
           return false;
         }
         return !o.Module.GarbageBytes.empty();
       }},
      {"notify-before",
       [](const std::string& v, TSimOptions& o) {
         int code = 0;
         if (!ParseCode(v, code)) return false;
         FaultOf(o, code).NotifyBefore = true;
         return true;
       }},
      {"split",
       [](const std::string& v, TSimOptions& o) {
         int code = 0;
         int delay = 10;
         if (!ParseCodeWithValue(v, code, delay, 0, 10000)) return false;
         FaultOf(o, code).SplitDelayMs = delay;
         return true;
       }},
      {"wrong-sig",
       [](const std::string& v, TSimOptions& o) {
         int code = 0;
         if (!ParseCode(v, code)) return false;
         FaultOf(o, code).WrongSig = true;
         return true;
       }},
      {"refuse",
       [](const std::string& v, TSimOptions& o) {
         int code = 0;
         int ack = tervan::kAckUnsupported;
         if (!ParseCodeWithValue(v, code, ack, 0, 255)) return false;
         FaultOf(o, code).RefuseAck = ack;
         return true;
       }},
      {"close-after",
       [](const std::string& v, TSimOptions& o) {
         return ParseRange(v, 1, 1000000, o.Module.CloseAfterAnswers);
       }},
      {"close-on",
       [](const std::string& v, TSimOptions& o) {
         int code = 0;
         if (!ParseCode(v, code)) return false;
         FaultOf(o, code).CloseOn = true;
         return true;
       }},
      {"bad-ident",
       [](const std::string& v, TSimOptions& o) {
         if (SameText(v, "always")) {
           o.Module.BadIdentCount = -1;
           return true;
         }
         return ParseRange(v, 1, 1000000, o.Module.BadIdentCount);
       }},
      {"bad-ident-text",
       [](const std::string& v, TSimOptions& o) { return !(o.Module.BadIdentText = v).empty(); }},
  };
  return options;
}

}  // namespace

bool ParseSimAddress(const std::string& text, std::uint8_t& address) {
  int value = 0;
  if (text.size() == 1) {
    value = static_cast<unsigned char>(text[0]);
  } else if (!ParseRange(text[0] == '#' ? text.substr(1) : text, 0, 255, value)) {
    return false;
  }
  if (value >= 0xFE) return false;  // universal and broadcast are no module's own
  address = static_cast<std::uint8_t>(value);
  return true;
}

bool ParseSimOptions(const std::vector<std::string>& args, TSimOptions& options,
                     std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h") {
      options.Help = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string name = arg.substr(2);
    std::string value;
    const bool inlineValue = name.find('=') != std::string::npos;
    if (inlineValue) {
      value = name.substr(name.find('=') + 1);
      name = name.substr(0, name.find('='));
    }
    std::optional<std::uint8_t> only;  // "--name@A": for the module(s) at A alone
    if (const std::size_t at = name.find('@'); at != std::string::npos) {
      std::uint8_t address = 0;
      if (!ParseSimAddress(name.substr(at + 1), address)) {
        error = "bad module address in --" + name;
        return false;
      }
      name = name.substr(0, at);
      if (IsServerOption(name)) {
        error = "option --" + name + " applies to the whole simulator, not to one module";
        return false;
      }
      only = address;
    }
    if (const auto flag = Flags().find(name); flag != Flags().end()) {
      if (inlineValue) {
        error = "option --" + name + " takes no value";
        return false;
      }
      if (only) {
        options.PerModule.push_back({*only, name, {}});
      } else {
        flag->second(options);
      }
      continue;
    }
    const auto option = ValueOptions().find(name);
    if (option == ValueOptions().end()) {
      error = "unknown option --" + name;
      return false;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        error = "option --" + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    // A value for one module is checked now, on a copy, and applied later.
    TSimOptions scratch;
    if (!option->second(value, only ? scratch : options)) {
      error = "bad value '" + value + "' for --" + name;
      return false;
    }
    if (only) options.PerModule.push_back({*only, name, value});
  }
  const std::vector<std::uint8_t> addresses =
      options.Addresses.empty() ? std::vector<std::uint8_t>{options.Module.Address}
                                : options.Addresses;
  for (const TSimModuleOption& one : options.PerModule) {
    if (std::find(addresses.begin(), addresses.end(), one.Address) == addresses.end()) {
      error = "no module at #" + std::to_string(one.Address) + " for --" + one.Name + "@" +
              std::to_string(one.Address);
      return false;
    }
  }
  // Both texts go out as the data of one answer packet.
  for (const TSimConfig& config : SimModuleConfigs(options)) {
    if (SimIdentification(config).size() > kMaxAnswerData ||
        config.BadIdentText.size() > kMaxAnswerData) {
      error = "identification text longer than one packet carries (" +
              std::to_string(kMaxAnswerData) + " bytes)";
      return false;
    }
  }
  return true;
}

std::vector<TSimConfig> SimModuleConfigs(const TSimOptions& options) {
  const std::vector<std::uint8_t> addresses =
      options.Addresses.empty() ? std::vector<std::uint8_t>{options.Module.Address}
                                : options.Addresses;
  std::vector<TSimConfig> configs;
  for (std::uint8_t address : addresses) {
    TSimOptions one = options;
    one.Module.Address = address;
    for (const TSimModuleOption& option : options.PerModule) {
      if (option.Address != address) continue;
      if (const auto flag = Flags().find(option.Name); flag != Flags().end()) {
        flag->second(one);
      } else if (const auto value = ValueOptions().find(option.Name);
                 value != ValueOptions().end()) {
        value->second(option.Value, one);  // checked when it was parsed
      }
    }
    one.Module.Address = address;
    one.Module.Log = options.Server.Log;
    configs.push_back(one.Module);
  }
  return configs;
}

std::string SimUsage() {
  return R"(VeltoSimulator - a VELTO I/O module on the wire, for tests and demos

Usage: VeltoSimulator [options]
Prints "Listening on HOST:PORT" (and "PTY PATH" with --pty) as its first lines.
Values: CODE is an instruction code (243, 0xF3, $F3) or "any"; numbers may be
hexadecimal with 0x or $.

Connection:
  --host HOST            address to listen on (default 127.0.0.1): IPv4, IPv6
                         (::1) or a name (a listener on each of its addresses)
  --port N               TCP port (default 10001; 0 picks a free port)
  --pty                  also serve a pseudo-terminal and print its path
  --log                  print every packet received (RX) and sent (TX) on stderr
                         (never waiting for its reader: past 1 MiB unread,
                         lines are dropped and their number said)
  --stdin-quit           also end at the end of standard input
  --answer-delay MS      hold every answer back MS milliseconds
  --wire-baud N          hold every answer back as long as the request's and
                         the answer's bytes take on an N-baud line (10 bits a
                         byte); adds to --answer-delay; answers keep their order,
                         leave byte by byte and never overlap
Up to 8 TCP clients are served at once, each with its own connection; one more
is refused with a line on standard error. A client that leaves more than 8 MiB
of answers unread is dropped, with a line on standard error.

Module:
  --address A[,A...]     module address: one character ("1" = 0x31, default),
                         "#49", or a number of two or more characters (0..253);
                         a list is a bus of one module per entry (see below)
  --ident TEXT           identification text (default made from the counts:
                         "VELTO ETH 8/4;V1.02.03;F97")
  --interface WORD       interface word of the made identification (default ETH)
  --inputs N             number of inputs (default 8)
  --outputs N            number of outputs (default 4, at most 127)
  --inputs-on LIST       inputs that start on, e.g. 1,3 (the whole list: a
                         later one, or one for a module, replaces it)
  --outputs-on LIST      outputs that start on (the same)
  --state-bytes N        least number of bytes in input/output state answers
  --counters LIST        starting counter values, counter 1 first
  --counter-width N      bits per counter value, 1..64 (default 32)
  --no-counters          counter instructions are refused with code 2
  --temp DEG             temperature in degrees Celsius (default 23.1)
  --temp-status N        status byte of the temperature answer (default 0)
  --thermometers N       adds "T<N>" to the made identification
  --option N             option byte (default 0)
  --label-a I:TEXT       label record I of table A (0x2A/0x3A), up to 21 chars
  --label-b I:TEXT       label record I of table B (0x2B/0x3B)
  --baud-code N          baud-rate code 0..11 reported by 0xF0 (default 6)
  --ids A,B              the two 16-bit identifiers checked by 0xEB and read
                         by 0xFA (default 0x1234,0x5678)
  --fa-value N           last (32-bit) value of the 0xFA answer (default 0)
  --value-f1 N           byte read by 0xF1 (default 0)
  --text-f2 TEXT         text read by 0xF2, at most 16 characters
  --flag-fe 0|1          flag read by instruction 0xFE (default 0)
  --notify               send the 0x0D notification when an input changes

Faults (may be repeated for several codes):
  --no-answer CODE[:N]   drop the next N requests with CODE as if lost, nothing
                         done and no answer (without N: every one)
  --garbage CODE         garbage bytes in the same write, before the answer
  --garbage-bytes HEX    the garbage bytes (default "41 42 43")
  --notify-before CODE   a notification in the same write, before the answer
  --split CODE[:MS]      the answer one byte per write, MS apart (default 10)
  --wrong-sig CODE       the answer carries another signature
  --refuse CODE[:ACK]    refuse with acknowledge code ACK (default 2)
  --close-after N        close the connection after N answers on it
  --close-on CODE        close the connection on CODE instead of answering
  --bad-ident N|always   answer the first N identifications with a text that is
                         not a VELTO module
  --bad-ident-text TEXT  that text (default "MODULE X;V0.0.0;F97")

Several modules (--address 1,7,200): only the addressed module answers; a
request several would answer (0xFE, a shared address) gets a collided frame
that is never valid; a broadcast (0xFF) is carried out by all, answered by
none. --OPTION@A VALUE sets a module option for the module(s) at A alone
("--ident@200 TEXT", "--no-answer@7 0xF3"); "@A COMMAND" on standard input
is for the module(s) at A alone.

Commands on standard input, one per line (at most 1024 characters):
  in N on|off            change input N (counts off->on edges, notifies)
  temp DEG               change the temperature
  notify on|off          switch input-change notifications
  counter N VALUE        set counter N
  quit                   end the program

  --help, -h             this text
)";
}
