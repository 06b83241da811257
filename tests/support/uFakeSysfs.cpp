#include "support/uFakeSysfs.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

constexpr const char* kHostController = "devices/pci0000:00/0000:00:14.0/usb1";

void WriteFile(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

void Link(const fs::path& link, const fs::path& target) {
  fs::create_directories(link.parent_path());
  fs::create_directory_symlink(fs::relative(target, link.parent_path()), link);
}

}  // namespace

TFakeSysfs::TFakeSysfs() {
  char pattern[] = "/tmp/velto-sysfs-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  FRoot = made;
  fs::create_directories(fs::path(FRoot) / "class" / "tty");
  // The root hub is a USB device too: the walk must stop at the adapter.
  WriteFile(fs::path(FRoot) / kHostController / "uevent",
            "MAJOR=189\nMINOR=0\nDEVNAME=bus/usb/001/001\nDEVTYPE=usb_device\nDRIVER=usb\n");
  WriteFile(fs::path(FRoot) / kHostController / "serial", "0000:00:14.0\n");
  setenv("VELTO_SYSFS_ROOT", FRoot.c_str(), 1);
}

TFakeSysfs::~TFakeSysfs() {
  unsetenv("VELTO_SYSFS_ROOT");
  std::error_code ec;
  fs::remove_all(FRoot, ec);
}

std::string TFakeSysfs::AddAdapter(const std::string& busPath,
                                   const std::optional<std::string>& serial) {
  // "1-1.2" sits below its hub "1-1".
  fs::path dir = fs::path(FRoot) / kHostController;
  const std::size_t dot = busPath.rfind('.');
  if (dot != std::string::npos) {
    const std::string hub = busPath.substr(0, dot);
    dir /= hub;
    WriteFile(dir / "uevent", "DEVTYPE=usb_device\nDRIVER=usb\n");
    WriteFile(dir / (hub + ":1.0") / "uevent", "DEVTYPE=usb_interface\nDRIVER=hub\n");
  }
  dir /= busPath;
  const std::string number = std::to_string(++FMinor);
  WriteFile(dir / "uevent", "MAJOR=189\nMINOR=" + number + "\nDEVNAME=bus/usb/001/" + number +
                                "\nDEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=1234/5678/100\n");
  WriteFile(dir / "idVendor", "1234\n");
  WriteFile(dir / "idProduct", "5678\n");
  if (serial) WriteFile(dir / "serial", *serial + "\n");
  return dir.string();
}

std::string TFakeSysfs::AddInterface(const std::string& adapter, int interfaceNumber) {
  const fs::path dir =
      fs::path(adapter) / (fs::path(adapter).filename().string() + ":1." +
                           std::to_string(interfaceNumber));
  if (!fs::exists(dir / "uevent")) {
    WriteFile(dir / "uevent",
              "DEVTYPE=usb_interface\nDRIVER=usbserial_generic\nINTERFACE=255/255/255\n");
    char number[8];
    std::snprintf(number, sizeof number, "%02x\n", interfaceNumber);
    WriteFile(dir / "bInterfaceNumber", number);
  }
  return dir.string();
}

void TFakeSysfs::AddTtyNode(const std::string& parent, const std::string& tty,
                            const std::string& devName) {
  const fs::path node = fs::path(parent) / "tty" / tty;
  const int minor = FMinor++;
  WriteFile(node / "uevent", "MAJOR=188\nMINOR=" + std::to_string(minor) + "\nDEVNAME=" +
                                 devName + "\n");
  WriteFile(node / "dev", "188:" + std::to_string(minor) + "\n");
  Link(node / "device", parent);
  Link(fs::path(FRoot) / "class" / "tty" / tty, node);
}

void TFakeSysfs::AddPort(const std::string& adapter, int interfaceNumber, const std::string& tty,
                         const std::string& devName) {
  const fs::path port = fs::path(AddInterface(adapter, interfaceNumber)) / tty;
  WriteFile(port / "uevent", "DRIVER=usbserial_generic\n");
  AddTtyNode(port.string(), tty, devName);
}

void TFakeSysfs::AddAcmPort(const std::string& adapter, int interfaceNumber,
                            const std::string& tty, const std::string& devName) {
  AddTtyNode(AddInterface(adapter, interfaceNumber), tty, devName);
}

void TFakeSysfs::AddPlatformTty(const std::string& tty) {
  const fs::path device = fs::path(FRoot) / "devices/platform/serial8250" / tty;
  WriteFile(device / "uevent", "DRIVER=serial8250\n");
  AddTtyNode(device.string(), tty, tty);
}

void TFakeSysfs::AddVirtualTty(const std::string& tty) {
  const fs::path node = fs::path(FRoot) / "devices/virtual/tty" / tty;
  WriteFile(node / "uevent", "MAJOR=4\nMINOR=1\nDEVNAME=" + tty + "\n");
  WriteFile(node / "dev", "4:1\n");
  Link(fs::path(FRoot) / "class" / "tty" / tty, node);
}

std::string DevNameOf(const std::string& devicePath) {
  const std::string prefix = "/dev/";
  return devicePath.rfind(prefix, 0) == 0 ? devicePath.substr(prefix.size()) : devicePath;
}
