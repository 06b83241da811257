#include "transport/usb/uUsbSysfs.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>
#include <tuple>

#include "framework/uErrors.h"
#include "framework/uFileStart.h"
#include "framework/uStrUtils.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kRootVariable = "VELTO_SYSFS_ROOT";
// Attribute files are a line or a few; anything longer is not what we look for.
constexpr std::size_t kMaxAttributeBytes = 16384;
// Devices nest a handful of levels below their USB device; a walk that goes
// further has left the USB part of the tree.
constexpr int kMaxParentSteps = 32;
// Entries named in a "found: ..." list, so that the line stays one line.
constexpr std::size_t kMaxListed = 12;

// The start of a sysfs attribute, or false when it cannot be read.
bool ReadAttribute(const fs::path& file, std::string& text) {
  std::optional<std::string> read = ReadFileStart(file.string(), kMaxAttributeBytes);
  if (!read) return false;
  text = std::move(*read);
  return true;
}

std::string TrimmedLine(const std::string& text) {
  return TrimControl(text.substr(0, text.find('\n')));
}

// The value of KEY=VALUE in a uevent file; empty when absent.
std::string UeventValue(const fs::path& directory, const std::string& key) {
  std::string text;
  if (!ReadAttribute(directory / "uevent", text)) return std::string();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t stop = text.find('\n', start);
    if (stop == std::string::npos) stop = text.size();
    const std::string_view line(text.data() + start, stop - start);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=')
      return std::string(line.substr(key.size() + 1));
    start = stop + 1;
  }
  return std::string();
}

// DEVNAME is relative to /dev ("ttyUSB0", "pts/3"); a name that climbs out
// of it, or is absolute, is not a device node of ours.
bool UsableDevName(const std::string& name) {
  if (name.empty() || name.front() == '/') return false;
  for (const fs::path& part : fs::path(name))
    if (part == ".." || part == ".") return false;
  return name.find('\0') == std::string::npos;
}

std::int32_t InterfaceNumber(const fs::path& interfaceDir) {
  std::string text;
  if (ReadAttribute(interfaceDir / "bInterfaceNumber", text)) {
    // The kernel writes it in hexadecimal, two digits.
    const std::string digits = TrimmedLine(text);
    char* end = nullptr;
    const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
    if (!digits.empty() && end != nullptr && *end == '\0' && value <= 255)
      return static_cast<std::int32_t>(value);
  }
  // Otherwise from the interface's name, "1-1.2:1.<number>" in decimal.
  const std::string name = interfaceDir.filename().string();
  const std::size_t dot = name.rfind('.');
  const std::size_t colon = name.rfind(':');
  if (dot == std::string::npos || colon == std::string::npos || dot < colon) return -1;
  std::int32_t value = 0;
  if (!TryParseInt(name.substr(dot + 1), value) || value < 0 || value > 255) return -1;
  return value;
}

// Reads one entry of the tty class; false when it is not a USB serial device.
bool ReadPort(const fs::path& entry, const fs::path& root, TUsbTtyPort& port) {
  std::error_code ec;
  if (!fs::exists(entry / "device", ec)) return false;  // a virtual terminal
  fs::path step = fs::canonical(entry / "device", ec);
  if (ec) return false;
  fs::path usbInterface;
  fs::path usbDevice;
  for (int i = 0; i < kMaxParentSteps && step != root && step != step.parent_path(); ++i) {
    const std::string type = UeventValue(step, "DEVTYPE");
    if (usbInterface.empty()) {
      if (type == "usb_interface") usbInterface = step;
    } else if (type == "usb_device") {
      usbDevice = step;
      break;
    }
    step = step.parent_path();
  }
  if (usbDevice.empty()) return false;
  const std::string devName = UeventValue(entry, "DEVNAME");
  if (!UsableDevName(devName)) return false;
  port.Tty = entry.filename().string();
  port.DevicePath = "/dev/" + devName;
  std::string serial;
  port.HasSerial = ReadAttribute(usbDevice / "serial", serial);
  port.Serial = port.HasSerial ? TrimmedLine(serial) : std::string();
  port.Interface = InterfaceNumber(usbInterface);
  port.Adapter = usbDevice.string();
  return true;
}

// "FT1X on /dev/ttyUSB0, no serial number on /dev/ttyUSB1"
std::string FoundList(const std::vector<TUsbTtyPort>& ports) {
  if (ports.empty()) return "none";
  std::string text;
  for (std::size_t i = 0; i < ports.size() && i < kMaxListed; ++i) {
    if (i > 0) text += ", ";
    text += (ports[i].HasSerial ? PrintableSerial(ports[i].Serial) : std::string("no serial number")) + " on " +
            ports[i].DevicePath;
  }
  if (ports.size() > kMaxListed) text += " and " + std::to_string(ports.size() - kMaxListed) + " more";
  return text;
}

std::string InterfaceText(std::int32_t number) {
  return number < 0 ? std::string("an unknown interface") : "interface " + std::to_string(number);
}

}  // namespace

std::string PrintableSerial(const std::string& serial) {
  std::string text = serial;
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

std::string UsbSysfsRoot() {
  const char* root = std::getenv(kRootVariable);
  return root != nullptr && *root != '\0' ? root : "/sys";
}

TUsbTtyScan ScanUsbTtys(const std::string& rootText) {
  TUsbTtyScan scan;
  std::error_code ec;
  const fs::path root = fs::canonical(rootText, ec);
  fs::directory_iterator it;
  if (!ec) it = fs::directory_iterator(root / "class" / "tty", ec);
  if (ec) {
    scan.Error = (rootText + "/class/tty: " + ReasonText(ec.message()));
    return scan;
  }
  std::vector<fs::path> entries;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    entries.push_back(it->path());
  }
  for (const fs::path& entry : entries) {
    TUsbTtyPort port;
    if (ReadPort(entry, root, port)) scan.Ports.push_back(std::move(port));
  }
  // Interfaces in their order; one whose number is not known comes last.
  std::sort(scan.Ports.begin(), scan.Ports.end(), [](const TUsbTtyPort& a, const TUsbTtyPort& b) {
    const auto key = [](const TUsbTtyPort& p) {
      return std::make_tuple(std::cref(p.Adapter), p.Interface < 0 ? 256 : p.Interface,
                             std::cref(p.Tty));
    };
    return key(a) < key(b);
  });
  return scan;
}

TUsbTtyChoice ChooseUsbTty(const std::vector<TUsbTtyPort>& ports, const std::string& serial,
                           std::int32_t interfaceNumber) {
  TUsbTtyChoice choice;
  std::vector<TUsbTtyPort> matching;
  std::set<std::string> adapters;
  for (const TUsbTtyPort& port : ports)
    if (port.HasSerial && SameText(port.Serial, serial)) {
      matching.push_back(port);
      adapters.insert(port.Adapter);
    }
  if (matching.empty()) {
    choice.Match = TUsbTtyMatch::NoSuchSerial;
    choice.Reason = "no serial device with that USB serial number (found: " + FoundList(ports) + ")";
    return choice;
  }
  if (adapters.size() > 1) {
    std::string paths;
    for (std::size_t i = 0; i < matching.size(); ++i)
      paths += (i > 0 ? ", " : "") + matching[i].DevicePath;
    choice.Match = TUsbTtyMatch::SeveralAdapters;
    choice.Reason = std::to_string(adapters.size()) +
                    " adapters have that USB serial number (" + paths +
                    "); none is opened, so that the wrong one is never driven";
    return choice;
  }
  if (interfaceNumber < 0) {
    choice.Match = TUsbTtyMatch::Found;
    choice.Port = matching.front();
    return choice;
  }
  for (const TUsbTtyPort& port : matching)
    if (port.Interface == interfaceNumber) {
      choice.Match = TUsbTtyMatch::Found;
      choice.Port = port;
      return choice;
    }
  std::string found;
  for (std::size_t i = 0; i < matching.size(); ++i)
    found += (i > 0 ? ", " : "") + InterfaceText(matching[i].Interface) + " on " +
             matching[i].DevicePath;
  choice.Match = TUsbTtyMatch::NoSuchInterface;
  choice.Reason = "the adapter with that USB serial number has no serial device on interface " +
                  std::to_string(interfaceNumber) + " (found: " + found + ")";
  return choice;
}
