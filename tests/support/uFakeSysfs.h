// A sysfs tree for the USB adapter tests, laid out as the kernel lays it out:
// devices/.../usbN/<adapter>/<adapter>:1.<interface>/ttyUSB<k>/tty/ttyUSB<k>
// with uevent files (DEVTYPE, DEVNAME), "dev" as text ("188:0"), the
// interface's bInterfaceNumber in hexadecimal, the adapter's "serial", and
// class/tty/<name> linking to the tty. The transport reads it through
// VELTO_SYSFS_ROOT, which the tree sets for its lifetime.
#pragma once

#include <optional>
#include <string>

class TFakeSysfs {
 public:
  TFakeSysfs();
  ~TFakeSysfs();
  TFakeSysfs(const TFakeSysfs&) = delete;
  TFakeSysfs& operator=(const TFakeSysfs&) = delete;

  const std::string& Root() const { return FRoot; }

  // A USB device ("1-1", "1-1.2" behind a hub) with its serial number, or
  // without the attribute; returns its directory.
  std::string AddAdapter(const std::string& busPath, const std::optional<std::string>& serial);
  // A port of a USB serial converter on interface `interfaceNumber` of
  // `adapter`; `devName` is DEVNAME, relative to /dev ("ttyUSB0", or "pts/3"
  // for a pseudo-terminal standing in for the adapter's device).
  void AddPort(const std::string& adapter, int interfaceNumber, const std::string& tty,
               const std::string& devName);
  // A port whose device is the USB interface itself, as a modem's ttyACM.
  void AddAcmPort(const std::string& adapter, int interfaceNumber, const std::string& tty,
                  const std::string& devName);
  // A tty on a platform device (a UART, no USB parent), and one without a
  // device at all (a virtual terminal).
  void AddPlatformTty(const std::string& tty);
  void AddVirtualTty(const std::string& tty);

 private:
  std::string AddInterface(const std::string& adapter, int interfaceNumber);
  void AddTtyNode(const std::string& parent, const std::string& tty, const std::string& devName);

  std::string FRoot;
  int FMinor = 0;
};

// DEVNAME of a device node under /dev ("/dev/pts/3" -> "pts/3").
std::string DevNameOf(const std::string& devicePath);
