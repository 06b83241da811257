#include "app/uParams.h"

#include "app/uTextOut.h"
#include "framework/uStrUtils.h"

namespace {

void Say(TTextOut& out, std::string_view line) {
  out << line << '\n';
}

void BadArgument(TTextOut& out, const std::string& typed) {
  out << "Bad argument:'" << typed << "'!\n";
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Value part of a "COM" or "USB" keyword: "COM=3:9600" and "COM3:9600" alike.
std::string AfterThreeLetterKeyword(const std::string& keyword) {
  return keyword.substr(keyword.size() > 3 && keyword[3] == '=' ? 4 : 3);
}

bool DeclareConnection(TParamRec& params, std::string connection, TTextOut& out) {
  if (params.ConnectionDefined) {
    Say(out, "Connection redeclared!");
    return false;
  }
  params.ConnectionDefined = true;
  params.ConnectionString = std::move(connection);
  return true;
}

void ParseSerial(const std::string& keyword, TParamRec& params, TTextOut& out) {
  if (keyword == "COM") {
    Say(out, "Not defined COM port number!");
    return;
  }
  std::string port;
  std::string baud;
  std::int32_t number = 0;
  if (!SplitFirst(AfterThreeLetterKeyword(keyword), ":", port, baud) ||
      !TryParseInt(port, number) || (!baud.empty() && !TryParseInt(baud, number))) {
    Say(out, "Bad COM setting");
    return;
  }
  if (baud.empty()) baud = kDefaultBaudRate;
  DeclareConnection(params, "provider=SERIAL_PORT;comport=" + port + ";baudrate=" + baud, out);
}

void ParseUsb(const std::string& keyword, TParamRec& params, TTextOut& out) {
  if (keyword == "USB") {
    Say(out, "Not defined USB serial number!");
    return;
  }
  std::string serial = AfterThreeLetterKeyword(keyword);
  // Either would reach the connection string as a separator and could set
  // keys of its own there ("active=", "baudrate=").
  if (serial.find_first_of(";=") != std::string::npos) {
    Say(out, "Bad USB serial number!");
    return;
  }
  // SERIAL:N chooses the port on USB interface N of an adapter with several;
  // the last ":" counts, so a serial number holding one is given with its N.
  std::string interfaceKey;
  if (const std::size_t colon = serial.rfind(':'); colon != std::string::npos) {
    std::int32_t number = -1;
    if (!TryParseInt(serial.substr(colon + 1), number) || number < 0 || number > 255) {
      Say(out, "Bad USB interface number!");
      return;
    }
    interfaceKey = ";usb_interface=" + std::to_string(number);
    serial.resize(colon);
  }
  DeclareConnection(
      params, "provider=FTD_USB;serial_number=" + serial + ";baudrate=9600" + interfaceKey, out);
}

void ParseTcp(const std::string& keyword, TParamRec& params, TTextOut& out) {
  std::string address;
  std::string port;
  SplitFirst(std::string_view(keyword).substr(4), ":", address, port);
  std::array<std::uint8_t, 4> ip{};
  if (!IsIPv4Address(address, ip)) {
    Say(out, "Bad IP address!");
    return;
  }
  std::int32_t number = 0;
  if (!port.empty() && (!TryParseInt(port, number) || number < 0 || number > 65535)) {
    // A switch with a bad port is dropped like any other bad switch, so that a
    // later connection switch can still be accepted. A number outside the
    // port range would otherwise reach the socket cut to 16 bits.
    Say(out, "Bad TCP port!");
    return;
  }
  // The host is written in plain dotted decimal: the socket layer would read
  // other forms the parser accepts (leading zeros, hexadecimal) differently.
  const std::string host = std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." +
                           std::to_string(ip[2]) + "." + std::to_string(ip[3]);
  DeclareConnection(params,
                    "provider=TCP_CLIENT;host=" + host +
                        ";port=" + (port.empty() ? std::string(kDefaultTcpPort) : port),
                    out);
}

void ParseAddress(const std::string& value, TParamRec& params, TTextOut& out) {
  if (!ParseDeviceAddress(value, params.Address)) Say(out, "Bad device address!");
}

// Half-seconds of an output time: "5s" is 10, "5" is 5. False for anything
// that is not a whole number or lies outside 0..kMaxOutputTime.
bool ParseOutputTime(const std::string& text, std::int32_t& halfSeconds) {
  const std::string upper = UpperCase(text);
  std::int32_t number = 0;
  std::int64_t result = 0;
  if (!upper.empty() && upper.back() == 'S') {
    if (!TryParseInt(std::string_view(upper).substr(0, upper.size() - 1), number)) return false;
    result = static_cast<std::int64_t>(number) * 2;
  } else {
    if (!TryParseInt(upper, number)) return false;
    result = number;
  }
  // The module holds the time in one byte; a longer time would wrap and could
  // turn a timed command into a permanent one.
  if (result < 0 || result > kMaxOutputTime) return false;
  halfSeconds = static_cast<std::int32_t>(result);
  return true;
}

bool ParseOutputValue(const std::string& word, bool& value) {
  const std::string upper = UpperCase(word);
  if (upper == "1" || upper == "ON" || upper == "TRUE") {
    value = true;
    return true;
  }
  if (upper == "0" || upper == "OFF" || upper == "FALSE") {
    value = false;
    return true;
  }
  return false;
}

void ParseOutput(const std::string& value, TParamRec& params, TTextOut& out) {
  const std::size_t eq = value.find('=');
  TQOutputItem item;
  if (eq == std::string::npos || !TryParseInt(std::string_view(value).substr(0, eq), item.Number)) {
    Say(out, "Bad Velto output number!");
    return;
  }
  std::string word;
  std::string time;
  if (!SplitFirst(std::string_view(value).substr(eq + 1), ":", word, time) ||
      !ParseOutputValue(word, item.Value)) {
    Say(out, "Bad Velto output value");
    return;
  }
  if (!time.empty()) {
    if (!ParseOutputTime(time, item.Time)) {
      Say(out, "Bad Velto output time");
      return;
    }
    item.Timed = true;
  }
  params.Outputs.push_back(item);
}

void ParseErrorCode(const std::string& keyword, TParamRec& params, TTextOut& out) {
  const std::string_view list = std::string_view(keyword).substr(10);  // after "ERRORCODE="
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t stop = list.find_first_of(",;", start);
    if (stop == std::string_view::npos) stop = list.size();
    const std::string item = TrimControl(list.substr(start, stop - start));
    start = stop + 1;
    if (item.empty()) continue;
    TQInputItem input;
    if (!StartsWith(item, "IN") || !TryParseInt(std::string_view(item).substr(2), input.Number)) {
      Say(out, "Bad ErrorCode Velto input value!");
      continue;
    }
    params.Inputs.push_back(input);
  }
}

void ParseArgument(const std::string& arg, TParamRec& params, TTextOut& out) {
  const std::string typed = TrimControl(arg);
  if (typed.empty()) return;
  if (typed[0] != '/' && typed[0] != '-') {
    BadArgument(out, typed);
    return;
  }
  // Switch text after the switch character, letter case kept: the address and
  // output values are read from it as typed, everything else upper-cased.
  const std::string body = TrimControl(std::string_view(typed).substr(1));
  const std::string keyword = UpperCase(body);
  if (keyword.empty()) {
    BadArgument(out, typed);
  } else if (keyword[0] == '?' || keyword == "HELP") {
    params.ShowHelp = true;
  } else if (StartsWith(keyword, "COM")) {
    ParseSerial(keyword, params, out);
  } else if (StartsWith(keyword, "USB")) {
    ParseUsb(keyword, params, out);
  } else if (StartsWith(keyword, "TCP=")) {
    ParseTcp(keyword, params, out);
  } else if (StartsWith(keyword, "ADDRESS=")) {
    ParseAddress(body.substr(8), params, out);
  } else if (StartsWith(keyword, "OUT")) {
    ParseOutput(body.substr(3), params, out);
  } else if (StartsWith(keyword, "ERRORCODE=")) {
    ParseErrorCode(keyword, params, out);
  } else if (keyword == "NOLOG") {
    params.LogEnabled = false;
  } else {
    BadArgument(out, typed);
  }
}

}  // namespace

void ParseCommandLine(const std::vector<std::string>& args, TParamRec& params, TTextOut& out) {
  params = TParamRec{};
  for (const std::string& arg : args) ParseArgument(arg, params, out);
}

bool IsIPv4Address(std::string_view text, std::array<std::uint8_t, 4>& values) {
  std::array<std::uint8_t, 4> parsed{};
  std::string rest(text);
  std::string head;
  std::int32_t number = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    SplitFirst(rest, ".", head, rest);
    if (!TryParseInt(head, number) || number < 0 || number > 255) return false;
    parsed[i] = static_cast<std::uint8_t>(number);
  }
  if (!TryParseInt(rest, number) || number < 0 || number > 255) return false;
  parsed[3] = static_cast<std::uint8_t>(number);
  values = parsed;
  return true;
}

bool IsIPv4Address(std::string_view text) {
  std::array<std::uint8_t, 4> values{};
  return IsIPv4Address(text, values);
}

bool ParseDeviceAddress(std::string_view text, std::uint8_t& address) {
  if (text.size() == 1) {
    address = static_cast<std::uint8_t>(text[0]);
    return true;
  }
  std::int32_t number = 0;
  if (text.size() > 1 && text[0] == '#' && TryParseInt(text.substr(1), number)) {
    address = static_cast<std::uint8_t>(static_cast<std::uint32_t>(number) & 0xFFu);
    return true;
  }
  return false;
}

bool ParseConnectionSwitch(const std::string& keyword, TParamRec& params, TTextOut& out) {
  if (StartsWith(keyword, "COM")) {
    ParseSerial(keyword, params, out);
  } else if (StartsWith(keyword, "USB")) {
    ParseUsb(keyword, params, out);
  } else if (StartsWith(keyword, "TCP=")) {
    ParseTcp(keyword, params, out);
  } else {
    return false;
  }
  return true;
}
