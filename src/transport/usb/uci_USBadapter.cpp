#include "transport/usb/uci_USBadapter.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "framework/uStrUtils.h"
#include "framework/uXmlNode.h"
#include "transport/serial/AfComPort.h"
#include "transport/serial/AfComPortThreads.h"
#include "transport/serial/uci_ISerialPortInterface.h"
#include "transport/uConnectionString.h"
#include "transport/usb/uUsbSysfs.h"

namespace {

using TLockGuard = std::lock_guard<TTransportMutex>;

constexpr int kModemLineCts = 1;
constexpr int kModemLineDsr = 2;

// Ports being closed on a thread of their own. Never destroyed: a closing
// thread may still be signalling while the process ends.
std::mutex& gClosingLock = *new std::mutex;
std::condition_variable& gClosingDone = *new std::condition_variable;
int gClosing = 0;

void ClosingEnded() {
  std::lock_guard<std::mutex> guard(gClosingLock);
  --gClosing;
  gClosingDone.notify_all();
}

std::string ReasonOfPortError(const std::exception& error, const std::string& path) {
  if (const auto* core = dynamic_cast<const EAfComPortCoreError*>(&error))
    if (!core->Detail().empty()) return core->Detail();
  return path + ": " + error.what();
}

bool Contains(const std::string& text, const std::string& part) {
  return LowerCase(text).find(LowerCase(part)) != std::string::npos;
}

}  // namespace

// The serial engine's component on a device found by path.
class TUsbTtyComPort final : public TAfCustomSerialPort {
 public:
  explicit TUsbTtyComPort(std::string path) : FPath(std::move(path)) {}
  bool ShowConfigDialog() override { return false; }
  // True on the port's own threads, which cannot close it.
  bool OnOwnThread() { return OnPortThread(Core()); }

 protected:
  void OpenDevice() override { Core().OpenPath(FPath); }

 private:
  const std::string FPath;
};

// What a port's event thread knows of its transport: nothing once the
// transport has closed that port or gone.
struct TUsbTtyLink {
  std::mutex Lock;
  TUsbAdapterDevice* Device = nullptr;  // guarded by Lock

  // On the port's event thread.
  void Arrival() {
    std::unique_lock<std::mutex> guard(Lock);
    if (Device == nullptr) return;
    // A caller in an exchange holds the lock and takes the bytes itself. The
    // lock, once held, keeps the transport whole: closing and destruction
    // take it before they let the port go.
    if (!Device->TryLock()) return;
    TUsbAdapterDevice* device = Device;
    guard.unlock();
    device->AnnounceArrival();
  }
};

namespace {

// Closes a port on a new thread: its own threads cannot.
void CloseElsewhere(std::shared_ptr<TUsbTtyComPort> port) {
  {
    std::lock_guard<std::mutex> guard(gClosingLock);
    ++gClosing;
  }
  // Kept apart from the thread's closure, so that a thread that cannot be
  // started never frees the port here, under its own running thread.
  auto* held = new std::shared_ptr<TUsbTtyComPort>(std::move(port));
  try {
    std::thread([held] {
      try {
        (*held)->ClosePort();
      } catch (...) {
        // A thread body lets nothing out; the port is let go all the same.
      }
      delete held;
      ClosingEnded();
    }).detach();
  } catch (const std::system_error&) {
    // No thread to close it: the port stays open, unused.
    ClosingEnded();
  }
}

}  // namespace

TIntf<ICommunicationInterface> CreateUsbAdapterDevice(const std::string& connectionString) {
  return Make<TUsbAdapterDevice>(connectionString);
}

void EndUsbTtyCloses(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(gClosingLock);
  gClosingDone.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return gClosing == 0; });
}

TUsbAdapterDevice::TUsbAdapterDevice(const std::string& connectionString)
    : FLink(std::make_shared<TUsbTtyLink>()) {
  FTtyPortLink.SetOnClosing([this] { CloseKernelTty(); });
  if (!connectionString.empty()) SetConnectionString(connectionString);
}

TUsbAdapterDevice::TUsbAdapterDevice(TXmlNode node, TIntf<IInterface> owner)
    : TUsbAdapterDevice(std::string()) {
  LoadFromNode(std::move(node), true, true);
  SetOwner(std::move(owner));
}

TUsbAdapterDevice::~TUsbAdapterDevice() {
  // Normally closed in BeforeDestruction; here for a constructor that failed.
  TLockGuard guard(TransportLock());
  if (FPort) CloseKernelTty();
}

void TUsbAdapterDevice::BeforeDestruction() {
  try {
    Close(false);
  } catch (...) {
    // Destruction goes on whatever closing met.
  }
  TFTDIDevice::BeforeDestruction();
}

TUsbAdapterDevice::TPath TUsbAdapterDevice::GetPath() {
  if (KernelOpen()) return TPath::KernelTty;
  return TFTDIDevice::GetActive() ? TPath::D2xx : TPath::Closed;
}

std::string TUsbAdapterDevice::GetTtyPath() {
  TLockGuard guard(TransportLock());
  return FTtyPath;
}

// --- connection ---

bool TUsbAdapterDevice::GetActive() {
  if (!KernelOpen()) return TFTDIDevice::GetActive();
  // A device that went is closed on the way, with its reason kept.
  return FTtyPortLink.Active();
}

bool TUsbAdapterDevice::Open() {
  if (GetActive()) return true;
  const std::string serial = GetSerialNumber();
  if (TFTDIDevice::Open()) return true;
  // Without a serial number there is nothing to look for; the reason stands.
  if (serial.empty()) return false;
  const std::string d2xx = D2xxFailure(serial, GetLastError());
  bool opened = false;
  {
    TLockGuard guard(TransportLock());
    if (GetActive()) return true;
    opened = OpenKernelTty(serial, d2xx);
  }
  if (opened) AnnounceOpened();
  return opened;
}

std::string TUsbAdapterDevice::D2xxFailure(const std::string& serial, const std::string& reason) {
  const std::string loadError = D2xxLoad();
  if (!loadError.empty()) {
    // The loader's text for a file that is not there ends so.
    if (Contains(loadError, "no such file"))
      return "D2XX library not found (" + D2xxLibraryName() + ")";
    return "D2XX library not loadable (" + loadError + ")";
  }
  std::vector<TD2xxListed> listed;
  if (D2xxListDevices(listed) == kD2xxOk) {
    std::string found;
    bool listedHere = false;
    for (const TD2xxListed& device : listed) {
      if (device.Serial == serial && device.Opened)
        return "in use by another program (the D2XX library lists it as open)";
      listedHere = listedHere || device.Serial == serial;
      found += (found.empty() ? "" : ", ") + PrintableSerial(device.Serial);
    }
    // Listed but not opened: the library's own reason (below) says why.
    if (!listedHere)
      return "the D2XX library lists no adapter with that serial number (found: " +
             (found.empty() ? std::string("none") : found) + ")";
  }
  // TFTDIDevice names the adapter first ("USB AB12: ..."); the line here does.
  const std::string prefix = "USB " + serial + ": ";
  const std::string why = reason.rfind(prefix, 0) == 0 ? reason.substr(prefix.size()) : reason;
  if (why.empty()) return "D2XX: the adapter could not be opened";
  return why.rfind("the D2XX library", 0) == 0 ? why : "D2XX: " + why;
}

bool TUsbAdapterDevice::OpenKernelTty(const std::string& serial, const std::string& d2xx) {
  const std::string target = "USB adapter " + serial + ": " + d2xx + "; ";
  const TUsbTtyScan scan = ScanUsbTtys(UsbSysfsRoot());
  if (!scan.Error.empty()) {
    SetLastError(target + "no serial devices could be listed (" + scan.Error + ")");
    return false;
  }
  const TUsbTtyChoice choice = ChooseUsbTty(scan.Ports, serial, FInterface.load());
  if (choice.Match != TUsbTtyMatch::Found) {
    SetLastError(target + choice.Reason);
    return false;
  }
  const std::string& path = choice.Port.DevicePath;
  auto port = std::make_shared<TUsbTtyComPort>(path);
  port->SetPortWaitMs(FPortWaitMs.load());
  auto link = std::make_shared<TUsbTtyLink>();
  try {
    // Everything is set, so that nothing of the last user's settings stays.
    port->SetBaudRate(brUser);
    port->SetUserBaudRate(GetBaudRate());
    port->SetDatabits(static_cast<TAfDatabits>(FWantDataBits.load() - 4));
    port->SetStopbits(static_cast<TAfStopbits>(FWantStopBits.load()));
    port->SetParity(static_cast<TAfParity>(FWantParity.load()));
    port->SetFlowControl(fwNone);
    port->SetDTR(FWantDTR.load() != 0);
    port->SetRTS(FWantRTS.load() != 0);
    port->SetOutBufSize(TSerialPortInterface::kBufferSize);
    port->SetInBufSize(TSerialPortInterface::kBufferSize);
    port->OnNonSyncEvent = [link](TAfCustomSerialPort&, TAfCoreEvent kind, std::uint32_t value) {
      if (kind == ceNeedReadData || (kind == ceLineEvent && (value & kEvRxChar) != 0))
        link->Arrival();
    };
  } catch (const std::exception& e) {
    SetLastError(target + ReasonOfPortError(e, path));
    return false;
  }
  FTtyBytePort.SetNames(path, "USB adapter " + serial + ": ");
  FTtyBytePort.Attach(port);
  const TPortResult opened = FTtyBytePort.Open();
  if (!opened.Ok()) {
    FTtyBytePort.Attach(nullptr);
    SetLastError(target + opened.Text);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(link->Lock);
    link->Device = this;
  }
  FPort = std::move(port);
  FLink = std::move(link);
  FTtyPath = path;
  FKernelOpen = true;
  // The character time follows the rate, as on the D2XX path.
  TSerialPortCoreInterface::SetBaudRate(GetBaudRate());
  SetLastError(std::string());
  return true;
}

void TUsbAdapterDevice::CloseKernelTty() {
  {
    std::lock_guard<std::mutex> guard(FLink->Lock);
    FLink->Device = nullptr;
  }
  FKernelOpen = false;
  FTtyPath.clear();
  FTtyBytePort.Attach(nullptr);
  std::shared_ptr<TUsbTtyComPort> port = std::move(FPort);
  if (!port) return;
  if (port->OnOwnThread()) {
    CloseElsewhere(std::move(port));
    return;
  }
  port->ClosePort();
}

bool TUsbAdapterDevice::Close(bool force) {
  // A lost device's reason is kept; closed is announced after the lock.
  if (KernelOpen() && FTtyPortLink.Close()) return true;
  // The D2XX path takes its own lock and announces after letting it go.
  return TFTDIDevice::Close(force);
}

// --- data ---

std::int32_t TUsbAdapterDevice::Write(const TBytes& data) {
  if (!KernelOpen()) return TFTDIDevice::Write(data);
  return FTtyPortLink.Write(data);
}

void TUsbAdapterDevice::Read(TBytes& data) {
  if (!KernelOpen()) return TFTDIDevice::Read(data);
  FTtyPortLink.Read(data);
}

std::int32_t TUsbAdapterDevice::GetReceivedCount() {
  if (!KernelOpen()) return TFTDIDevice::GetReceivedCount();
  return FTtyPortLink.ReceivedCount();
}

bool TUsbAdapterDevice::WaitReceived(std::int32_t timeout) {
  // Not under the lock: a close meanwhile ends the wait at once.
  if (KernelOpen()) return FTtyPortLink.WaitReceived(timeout);
  // Nothing arrives on a closed transport: no wait for the time-out.
  if (!TFTDIDevice::GetActive()) return false;
  return TFTDIDevice::WaitReceived(timeout);
}

void TUsbAdapterDevice::AnnounceArrival() {
  // The link lets go of the lock before it announces and of the transport
  // after: letting go may end the transport on this thread, whose close
  // then hands the port to another thread.
  FTtyPortLink.Arrived(TPortLink::TArrivalLock::Held);
}

// The library's path takes the lock itself: a loss it meets is announced
// after the lock.
void TUsbAdapterDevice::PurgeIn() {
  {
    TLockGuard guard(TransportLock());
    if (KernelOpen()) {
      if (GetActive()) FPort->PurgeInput();
      return;
    }
  }
  TFTDIDevice::PurgeIn();
}

void TUsbAdapterDevice::PurgeOut() {
  {
    TLockGuard guard(TransportLock());
    if (KernelOpen()) {
      if (GetActive()) FPort->PurgeOutput();
      return;
    }
  }
  TFTDIDevice::PurgeOut();
}

// --- settings ---

std::string TUsbAdapterDevice::GetDescription() {
  const std::string serial = GetSerialNumber();
  switch (GetPath()) {
    case TPath::KernelTty:
      return serial + " (" + GetTtyPath() + ")";
    case TPath::D2xx:
      return serial + " (D2XX)";
    case TPath::Closed:
      break;
  }
  return serial;
}

std::string TUsbAdapterDevice::GetConnectionString() {
  std::string text = TFTDIDevice::GetConnectionString();
  const std::int32_t number = FInterface.load();
  if (number >= 0) text += std::string(";") + kInterfaceKey + "=" + std::to_string(number);
  if (const std::uint32_t wait = FPortWaitMs.load(); wait != 0)
    text += ";portwait=" + std::to_string(wait);
  return text;
}

void TUsbAdapterDevice::SetConnectionString(const std::string& text) {
  std::string value;
  if (FindConnectionValue(text, kInterfaceKey, value)) {
    std::int32_t number = -1;
    if (!TrimControl(value).empty() && !TryParseInt(value, number))
      throw EConvertError("'" + value + "' is not a valid integer value");
    if (number < 0) number = -1;
    if (number != FInterface.load()) {
      // An open kernel device is opened again on the new interface.
      const bool reopen = KernelOpen();
      if (reopen) SetActive(false);
      FInterface = number;
      if (reopen) SetActive(true);
    }
  }
  if (FindConnectionValue(text, "portwait", value)) {
    std::int32_t wait = 0;
    if (!TryParseInt(value, wait) || wait < 0)
      throw EConvertError("'" + value + "' is not a valid port wait");
    FPortWaitMs = static_cast<std::uint32_t>(wait);
  }
  TFTDIDevice::SetConnectionString(text);
}

void TUsbAdapterDevice::SetBaudRate(std::int32_t baudRate) {
  {
    TLockGuard guard(TransportLock());
    if (KernelOpen() && FPort) {
      const std::int32_t previous = GetBaudRate();
      try {
        FPort->SetUserBaudRate(baudRate);
      } catch (const std::exception&) {
        // The line keeps the rate it has; so does the transport.
        try {
          FPort->SetUserBaudRate(previous);
        } catch (const std::exception&) {
          // What the line has is in the port's record either way.
        }
        TFTDIDevice::SetBaudRate(previous);
        return;
      }
    }
  }
  // With the library's path closed this only keeps the rate and its
  // character time, and announces the change.
  TFTDIDevice::SetBaudRate(baudRate);
}

void TUsbAdapterDevice::SetKernelField(std::atomic<std::int32_t>& wanted, std::int32_t value) {
  {
    TLockGuard guard(TransportLock());
    const std::int32_t previous = wanted.exchange(value);
    if (KernelOpen() && FPort) {
      try {
        ApplyToPort();
      } catch (const std::exception&) {
        wanted = previous;
        try {
          ApplyToPort();
        } catch (const std::exception&) {
          // What the line has is in the port's record either way.
        }
      }
    }
  }
  AnnounceSettingsChanged();
}

void TUsbAdapterDevice::ApplyToPort() {
  FPort->SetDatabits(static_cast<TAfDatabits>(FWantDataBits.load() - 4));
  FPort->SetStopbits(static_cast<TAfStopbits>(FWantStopBits.load()));
  FPort->SetParity(static_cast<TAfParity>(FWantParity.load()));
  FPort->SetDTR(FWantDTR.load() != 0);
  FPort->SetRTS(FWantRTS.load() != 0);
}

std::int32_t TUsbAdapterDevice::GetDataBits() {
  return GetPath() == TPath::D2xx ? TFTDIDevice::GetDataBits() : FWantDataBits.load();
}

void TUsbAdapterDevice::SetDataBits(std::int32_t dataBits) {
  if (GetPath() != TPath::D2xx) return SetKernelField(FWantDataBits, dataBits);
  TFTDIDevice::SetDataBits(dataBits);
  FWantDataBits = TFTDIDevice::GetDataBits();
}

std::int32_t TUsbAdapterDevice::GetStopBits() {
  return GetPath() == TPath::D2xx ? TFTDIDevice::GetStopBits() : FWantStopBits.load();
}

void TUsbAdapterDevice::SetStopBits(std::int32_t stopBits) {
  if (GetPath() != TPath::D2xx) return SetKernelField(FWantStopBits, stopBits);
  TFTDIDevice::SetStopBits(stopBits);
  FWantStopBits = TFTDIDevice::GetStopBits();
}

std::int32_t TUsbAdapterDevice::GetParity() {
  return GetPath() == TPath::D2xx ? TFTDIDevice::GetParity() : FWantParity.load();
}

void TUsbAdapterDevice::SetParity(std::int32_t parity) {
  if (GetPath() != TPath::D2xx) return SetKernelField(FWantParity, parity);
  TFTDIDevice::SetParity(parity);
  FWantParity = TFTDIDevice::GetParity();
}

bool TUsbAdapterDevice::GetDTR() {
  return GetPath() == TPath::D2xx ? TFTDIDevice::GetDTR() : FWantDTR.load() != 0;
}

void TUsbAdapterDevice::SetDTR(bool raised) {
  if (GetPath() != TPath::D2xx) return SetKernelField(FWantDTR, raised ? 1 : 0);
  TFTDIDevice::SetDTR(raised);
  FWantDTR = TFTDIDevice::GetDTR() ? 1 : 0;
}

bool TUsbAdapterDevice::GetRTS() {
  return GetPath() == TPath::D2xx ? TFTDIDevice::GetRTS() : FWantRTS.load() != 0;
}

void TUsbAdapterDevice::SetRTS(bool raised) {
  if (GetPath() != TPath::D2xx) return SetKernelField(FWantRTS, raised ? 1 : 0);
  TFTDIDevice::SetRTS(raised);
  FWantRTS = TFTDIDevice::GetRTS() ? 1 : 0;
}

bool TUsbAdapterDevice::GetCTS() {
  TLockGuard guard(TransportLock());
  return KernelOpen() && FPort && FPort->ModemLineState(kModemLineCts);
}

bool TUsbAdapterDevice::GetDSR() {
  TLockGuard guard(TransportLock());
  return KernelOpen() && FPort && FPort->ModemLineState(kModemLineDsr);
}
