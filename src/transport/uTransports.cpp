#include "transport/uTransports.h"

#include <mutex>

#include "transport/serial/uci_ISerialPortInterface.h"
#include "transport/tcp/uci_ITCPClientInterface.h"
#include "transport/uConnectionString.h"
#include "transport/uTraceForwarder.h"
#include "transport/usb/uci_FTDIcore.h"
#include "transport/usb/uci_USBadapter.h"

namespace {

std::mutex gInitLock;
bool gInitialised = false;

}  // namespace

void InitTransports(int argc, char** argv) {
  std::lock_guard<std::mutex> guard(gInitLock);
  if (gInitialised) return;
  gInitialised = true;
  ScanTraceSwitches(argc, argv);
  RegisterProvider(&CreateSerialPortInterface, kSerialPortProvider);
  RegisterProvider(&CreateUsbAdapterDevice, kFTDIDeviceProvider);
  RegisterProvider(&CreateTCPClientInterface, kTCPClientProvider);
}

void DoneTransports() {
  std::lock_guard<std::mutex> guard(gInitLock);
  if (!gInitialised) return;
  gInitialised = false;
  UnregisterProvider(&CreateTCPClientInterface);
  UnregisterProvider(&CreateUsbAdapterDevice);
  EndFTDIReceiveThreads(1000);
  EndUsbTtyCloses(1000);
  UnregisterProvider(&CreateSerialPortInterface);
  SetTraceHandler(TTraceHandler());
}
