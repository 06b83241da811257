// Finds the serial device the kernel made for a USB adapter, by the adapter's
// USB serial number, in sysfs.
//
// Every entry of <root>/class/tty whose "device" leads into a USB interface
// is a candidate: the walk goes up from that device through its parents and
// takes the first whose uevent says DEVTYPE=usb_interface, then the first
// above it with DEVTYPE=usb_device (so ttyUSB ports of a serial converter and
// ttyACM ports alike, however deep the driver nests them). The adapter's
// serial number is that USB device's "serial" attribute, which may be missing;
// the port's interface number is the interface's "bInterfaceNumber"; the node
// to open is /dev/ plus DEVNAME from the tty's own uevent.
//
// The root is /sys, or the directory in VELTO_SYSFS_ROOT when that is set and
// not empty: a hook for tests, which build trees of the same layout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One serial device of a USB adapter.
struct TUsbTtyPort {
  std::string Tty;         // "ttyUSB0"
  std::string DevicePath;  // "/dev/ttyUSB0"
  bool HasSerial = false;  // the adapter has a "serial" attribute
  std::string Serial;      // as the adapter gives it, letter case kept
  std::int32_t Interface = -1;  // bInterfaceNumber; -1 when not known
  std::string Adapter;     // the USB device's sysfs directory: one per adapter
};

struct TUsbTtyScan {
  // Ordered by adapter, then by interface number, then by tty name.
  std::vector<TUsbTtyPort> Ports;
  // Why the tty class could not be read at all; empty otherwise.
  std::string Error;
};

// VELTO_SYSFS_ROOT when set and not empty, else "/sys".
std::string UsbSysfsRoot();

// Every serial device of a USB adapter under `root`. Entries that cannot be
// read, or whose device is not on USB, are left out.
TUsbTtyScan ScanUsbTtys(const std::string& root);

enum class TUsbTtyMatch {
  Found,
  NoSuchSerial,     // no adapter has that serial number
  NoSuchInterface,  // the adapter has no serial device on that interface
  SeveralAdapters,  // more than one adapter has that serial number
};

struct TUsbTtyChoice {
  TUsbTtyMatch Match = TUsbTtyMatch::NoSuchSerial;
  TUsbTtyPort Port;    // when Found
  std::string Reason;  // when not Found: one line for a user, lower case
};

// A serial number as a line for a user shows it: the adapter chose it, so
// control characters (a terminal's escape sequences among them) become "?".
std::string PrintableSerial(const std::string& serial);

// The port of the adapter whose serial number equals `serial` ignoring ASCII
// letter case: the one on interface `interfaceNumber`, or with a negative
// number the first in interface order. Two or more adapters with that number
// are refused, listing their devices, so that a wrong one is never driven.
TUsbTtyChoice ChooseUsbTty(const std::vector<TUsbTtyPort>& ports, const std::string& serial,
                           std::int32_t interfaceNumber);
