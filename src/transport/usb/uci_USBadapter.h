// The transport registered under "FTD_USB": a USB serial adapter chosen by its
// USB serial number, over whichever of two paths can serve it.
//
// It opens the adapter through the D2XX library first (TFTDIDevice). When
// that cannot serve (the library is not there, it lists no adapter with that
// serial number, or it cannot open the adapter, as when the kernel's serial
// driver holds it), it opens the serial device the kernel made for the
// adapter, found in sysfs by the serial number ignoring letter case
// (uUsbSysfs.h), and drives it through the serial engine. The line settings
// are the transport's own on both paths, and on the kernel's device they are
// all set at open (rate, data bits, stop bits, parity, DTR, RTS; raw), since
// a tty keeps whatever its last user left. Exchanges and announcements are
// those of the D2XX path: arrivals are announced from the port's event
// thread, as the D2XX receive thread does. On the kernel's device the
// serial engine is driven as a byte port by the shared transport contract
// (transport/uBytePort.h), as the COM-port transport drives it.
//
// Connection string: the keys of TFTDIDevice, and "usb_interface", the USB
// interface number (bInterfaceNumber) of the port to use on an adapter with
// several; without it (or negative) the first in interface order. Only the
// kernel's path uses it, and "portwait": milliseconds that its open waits for
// a device another program holds (default 0: not at all).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/serial/uSerialBytePort.h"
#include "transport/uPortLink.h"
#include "transport/usb/uci_FTDIcore.h"

class TUsbTtyComPort;
struct TUsbTtyLink;

class TUsbAdapterDevice : public TFTDIDevice {
 public:
  enum class TPath { Closed, D2xx, KernelTty };
  static constexpr const char* kInterfaceKey = "usb_interface";

  explicit TUsbAdapterDevice(const std::string& connectionString = std::string());
  TUsbAdapterDevice(TXmlNode node, TIntf<IInterface> owner);
  ~TUsbAdapterDevice() override;

  void BeforeDestruction() override;

  // Which path the open transport uses; Closed when it is not open.
  TPath GetPath();
  // The kernel's device in use ("/dev/ttyUSB0"); empty on the other paths.
  std::string GetTtyPath();
  // The port's USB interface number; -1: the first.
  std::int32_t GetInterface() const { return FInterface.load(); }

  // ICommunicationInterface
  bool GetActive() override;
  // On failure the last error says what each path tried and found, in one
  // line: "USB adapter AB12: D2XX library not found (libftd2xx.so); no serial
  // device with that USB serial number (found: FT1X on /dev/ttyUSB0)".
  bool Open() override;
  bool Close(bool force) override;
  std::int32_t Write(const TBytes& data) override;
  void Read(TBytes& data) override;
  std::int32_t GetReceivedCount() override;
  bool WaitReceived(std::int32_t timeout) override;
  // "AB12 (/dev/ttyUSB0)" on the kernel's device, "AB12 (D2XX)" through the
  // library, the serial number alone while closed.
  std::string GetDescription() override;
  std::string GetConnectionString() override;
  void SetConnectionString(const std::string& text) override;
  void PurgeIn() override;
  void PurgeOut() override;

  // ISerialPortInterface: while the D2XX path is open, what the library
  // accepted; otherwise the settings the kernel's device has or will get.
  void SetBaudRate(std::int32_t baudRate) override;
  bool GetRTS() override;
  void SetRTS(bool raised) override;
  bool GetDTR() override;
  void SetDTR(bool raised) override;
  bool GetCTS() override;
  bool GetDSR() override;
  std::int32_t GetStopBits() override;
  void SetStopBits(std::int32_t stopBits) override;
  std::int32_t GetParity() override;
  void SetParity(std::int32_t parity) override;
  std::int32_t GetDataBits() override;
  void SetDataBits(std::int32_t dataBits) override;

 private:
  friend struct TUsbTtyLink;

  bool KernelOpen() const { return FKernelOpen.load(); }
  // What the D2XX path met, for the failure line ("D2XX library not found
  // (libftd2xx.so)"), from the reason TFTDIDevice left.
  std::string D2xxFailure(const std::string& serial, const std::string& reason);
  // Under the lock: finds and opens the kernel's device; false with the last
  // error set from `d2xx` and what was found.
  bool OpenKernelTty(const std::string& serial, const std::string& d2xx);
  // Under the lock: closes the kernel's device (on its own event thread the
  // port is handed to another thread to close). The caller announces.
  void CloseKernelTty();
  // On the port's event thread, holding the lock (taken by TryLock).
  void AnnounceArrival();
  // A line setting of the kernel's device: kept in `wanted`, applied at once
  // when the device is open; one the line refuses is put back.
  void SetKernelField(std::atomic<std::int32_t>& wanted, std::int32_t value);
  void ApplyToPort();

  std::atomic<std::int32_t> FInterface{-1};
  // How long the kernel's path waits for a device another program holds.
  std::atomic<std::uint32_t> FPortWaitMs{0};
  std::atomic<bool> FKernelOpen{false};  // changed under the transport lock
  std::atomic<std::int32_t> FWantDataBits{8};
  std::atomic<std::int32_t> FWantStopBits{sbOne};
  std::atomic<std::int32_t> FWantParity{paNone};
  std::atomic<std::int32_t> FWantDTR{1};
  std::atomic<std::int32_t> FWantRTS{1};
  // Guarded by the transport lock.
  std::shared_ptr<TUsbTtyComPort> FPort;  // a wait on it holds a copy
  std::shared_ptr<TUsbTtyLink> FLink;
  std::string FTtyPath;
  // The kernel's device as a byte port, and the contract on it.
  TSerialBytePort FTtyBytePort;
  TPortLink FTtyPortLink{*this, FTtyBytePort};
};

// The transport class registered under "FTD_USB".
TIntf<ICommunicationInterface> CreateUsbAdapterDevice(const std::string& connectionString);

// At the program's end: waits at most `timeoutMs` for kernel devices that
// are being closed on a thread of their own (a transport that ended on its
// port's event thread).
void EndUsbTtyCloses(std::uint32_t timeoutMs);
