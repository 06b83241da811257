// Finding an adapter's serial device in sysfs trees of the kernel's layout.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/uFakeSysfs.h"
#include "transport/usb/uUsbSysfs.h"

namespace {

std::vector<std::string> Ttys(const TUsbTtyScan& scan) {
  std::vector<std::string> ttys;
  for (const TUsbTtyPort& port : scan.Ports) ttys.push_back(port.Tty);
  return ttys;
}

TUsbTtyChoice Choose(const TFakeSysfs& sys, const std::string& serial, int interfaceNumber = -1) {
  const TUsbTtyScan scan = ScanUsbTtys(sys.Root());
  EXPECT_EQ(scan.Error, "");
  return ChooseUsbTty(scan.Ports, serial, interfaceNumber);
}

TEST(UsbSysfs, RootFromTheEnvironmentElseSys) {
  {
    TFakeSysfs sys;
    EXPECT_EQ(UsbSysfsRoot(), sys.Root());
  }
  EXPECT_EQ(UsbSysfsRoot(), "/sys");
}

TEST(UsbSysfs, OnlyTtysWithAUsbParentAreListed) {
  TFakeSysfs sys;
  const std::string a = sys.AddAdapter("1-1", "FT1X2Y3Z");
  sys.AddPort(a, 0, "ttyUSB0", "ttyUSB0");
  sys.AddPlatformTty("ttyS0");
  sys.AddVirtualTty("tty1");
  const std::string hub = sys.AddAdapter("1-2.3", "MODEM1");  // behind a hub
  sys.AddAcmPort(hub, 0, "ttyACM0", "ttyACM0");
  const TUsbTtyScan scan = ScanUsbTtys(sys.Root());
  EXPECT_EQ(scan.Error, "");
  EXPECT_EQ(Ttys(scan), (std::vector<std::string>{"ttyUSB0", "ttyACM0"}));
  ASSERT_EQ(scan.Ports.size(), 2u);
  EXPECT_EQ(scan.Ports[0].DevicePath, "/dev/ttyUSB0");
  EXPECT_EQ(scan.Ports[0].Serial, "FT1X2Y3Z");
  EXPECT_EQ(scan.Ports[0].Interface, 0);
  // The walk stops at the adapter, not at the hub or the root hub above it.
  EXPECT_EQ(scan.Ports[1].Serial, "MODEM1");
  EXPECT_EQ(std::filesystem::path(scan.Ports[1].Adapter).filename(), "1-2.3");
}

TEST(UsbSysfs, NoTtyClassIsAnError) {
  const TUsbTtyScan scan = ScanUsbTtys("/nonexistent-sysfs-root");
  EXPECT_TRUE(scan.Ports.empty());
  EXPECT_EQ(scan.Error.rfind("/nonexistent-sysfs-root/class/tty: ", 0), 0u) << scan.Error;
}

TEST(UsbSysfs, FoundBySerialNumberIgnoringCase) {
  TFakeSysfs sys;
  sys.AddPort(sys.AddAdapter("1-1", "FT1X2Y3Z"), 0, "ttyUSB0", "ttyUSB0");
  sys.AddPort(sys.AddAdapter("1-2", "Sim123"), 0, "ttyUSB1", "ttyUSB1");
  for (const char* asked : {"SIM123", "sim123", "Sim123"}) {
    const TUsbTtyChoice c = Choose(sys, asked);
    EXPECT_EQ(c.Match, TUsbTtyMatch::Found) << asked;
    EXPECT_EQ(c.Port.DevicePath, "/dev/ttyUSB1") << asked;
    EXPECT_EQ(c.Port.Serial, "Sim123") << asked;
  }
}

TEST(UsbSysfs, SeveralPortsFirstInterfaceUnlessOneIsChosen) {
  TFakeSysfs sys;
  const std::string a = sys.AddAdapter("1-1", "QUAD1");
  // Made in another order than their interfaces: the order is the interfaces'.
  sys.AddPort(a, 2, "ttyUSB0", "ttyUSB0");
  sys.AddPort(a, 0, "ttyUSB3", "ttyUSB3");
  sys.AddPort(a, 1, "ttyUSB1", "ttyUSB1");
  sys.AddPort(a, 11, "ttyUSB2", "ttyUSB2");  // written "0b"
  EXPECT_EQ(Choose(sys, "QUAD1").Port.DevicePath, "/dev/ttyUSB3");
  EXPECT_EQ(Choose(sys, "quad1", 1).Port.DevicePath, "/dev/ttyUSB1");
  EXPECT_EQ(Choose(sys, "QUAD1", 2).Port.DevicePath, "/dev/ttyUSB0");
  EXPECT_EQ(Choose(sys, "QUAD1", 11).Port.DevicePath, "/dev/ttyUSB2");
  const TUsbTtyChoice none = Choose(sys, "QUAD1", 4);
  EXPECT_EQ(none.Match, TUsbTtyMatch::NoSuchInterface);
  EXPECT_EQ(none.Reason,
            "the adapter with that USB serial number has no serial device on interface 4 "
            "(found: interface 0 on /dev/ttyUSB3, interface 1 on /dev/ttyUSB1, interface 2 on "
            "/dev/ttyUSB0, interface 11 on /dev/ttyUSB2)");
}

TEST(UsbSysfs, TwoAdaptersWithOneSerialNumberAreRefused) {
  TFakeSysfs sys;
  sys.AddPort(sys.AddAdapter("1-1", "A5XK3RJT"), 0, "ttyUSB0", "ttyUSB0");
  sys.AddPort(sys.AddAdapter("1-4", "OTHER"), 0, "ttyUSB1", "ttyUSB1");
  sys.AddPort(sys.AddAdapter("1-3", "a5xk3rjt"), 0, "ttyUSB2", "ttyUSB2");
  for (int chosen : {-1, 0}) {
    const TUsbTtyChoice c = Choose(sys, "A5XK3RJT", chosen);
    EXPECT_EQ(c.Match, TUsbTtyMatch::SeveralAdapters);
    EXPECT_EQ(c.Reason,
              "2 adapters have that USB serial number (/dev/ttyUSB0, /dev/ttyUSB2); none is "
              "opened, so that the wrong one is never driven");
  }
}

TEST(UsbSysfs, NoneFoundListsWhatThereIs) {
  TFakeSysfs sys;
  EXPECT_EQ(Choose(sys, "AB12").Reason,
            "no serial device with that USB serial number (found: none)");
  sys.AddPort(sys.AddAdapter("1-1", "FT1X2Y3Z"), 0, "ttyUSB0", "ttyUSB0");
  sys.AddPort(sys.AddAdapter("1-2", std::nullopt), 0, "ttyUSB1", "ttyUSB1");
  const TUsbTtyChoice c = Choose(sys, "AB12");
  EXPECT_EQ(c.Match, TUsbTtyMatch::NoSuchSerial);
  EXPECT_EQ(c.Reason,
            "no serial device with that USB serial number (found: FT1X2Y3Z on /dev/ttyUSB0, no "
            "serial number on /dev/ttyUSB1)");
}

// The adapter chose its serial number: shown, it cannot drive the terminal.
TEST(UsbSysfs, ControlCharactersOfASerialNumberAreNotShown) {
  TFakeSysfs sys;
  sys.AddPort(sys.AddAdapter("1-1", "AB\x1b[2J\x07\x7f"), 0, "ttyUSB0", "ttyUSB0");
  EXPECT_EQ(Choose(sys, "X").Reason,
            "no serial device with that USB serial number (found: AB?[2J?? on /dev/ttyUSB0)");
  // It is still matched as it is.
  EXPECT_EQ(Choose(sys, "ab\x1b[2j\x07\x7f").Match, TUsbTtyMatch::Found);
}

// An adapter without the attribute never matches, not even an empty number.
TEST(UsbSysfs, MissingSerialNeverMatches) {
  TFakeSysfs sys;
  sys.AddPort(sys.AddAdapter("1-2", std::nullopt), 0, "ttyUSB1", "ttyUSB1");
  const TUsbTtyScan scan = ScanUsbTtys(sys.Root());
  ASSERT_EQ(scan.Ports.size(), 1u);
  EXPECT_FALSE(scan.Ports[0].HasSerial);
  EXPECT_EQ(ChooseUsbTty(scan.Ports, "", -1).Match, TUsbTtyMatch::NoSuchSerial);
}

// DEVNAME is relative to /dev; a name leading elsewhere is not opened.
TEST(UsbSysfs, DevNameThatLeavesDevIsIgnored) {
  TFakeSysfs sys;
  const std::string a = sys.AddAdapter("1-1", "AB12");
  sys.AddPort(a, 0, "ttyUSB0", "../etc/passwd");
  sys.AddPort(a, 1, "ttyUSB1", "/etc/passwd");
  sys.AddPort(a, 2, "ttyUSB2", "");
  sys.AddPort(a, 3, "ttyUSB3", "pts/7");
  const TUsbTtyScan scan = ScanUsbTtys(sys.Root());
  EXPECT_EQ(Ttys(scan), (std::vector<std::string>{"ttyUSB3"}));
  EXPECT_EQ(Choose(sys, "AB12").Port.DevicePath, "/dev/pts/7");
}

}  // namespace
