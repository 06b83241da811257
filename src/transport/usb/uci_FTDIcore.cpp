#include "transport/usb/uci_FTDIcore.h"

#include <algorithm>
#include <climits>
#include <exception>

#include "framework/uAlert.h"
#include "framework/uTick.h"
#include "transport/uConnectionString.h"

namespace {

// Every hold of the lock here goes through Lock and Unlock, so that its
// release reaches a receive thread waiting for it.
using TLockGuard = TTransportLock;

std::string StatusText(const char* call, FT_STATUS status) {
  return std::string(call) + " failed with status " + std::to_string(status);
}

}  // namespace

// The adapter's byte port. Every step but the wait runs under the
// transport's lock (the link, or the transport's own open and close, holds
// it), so the handle stays while it is used. The receive threads it takes
// out are let go at the lock's last release, not here under it.
class TFTDIDevice::TAdapterPort final : public IBytePort {
 public:
  explicit TAdapterPort(TFTDIDevice& device) : FDevice(device) {}

  // The library opened, its receive thread started; the rate is the
  // transport's next step.
  TPortResult Open() override { return FDevice.OpenAdapter(); }
  bool Close() override {
    bool announce = false;
    FClosedCleanly = FDevice.CloseLocked(FForce, announce);
    return announce;
  }
  // For the transport's Close: whether the next Close gives a refusing
  // library up, and whether the last one closed without a fault.
  void SetForce(bool force) { FForce = force; }
  bool ClosedCleanly() const { return FClosedCleanly; }
  TPortResult State() override {
    if (FDevice.FHandle.load() != nullptr) return TPortResult::Done();
    return TPortResult::Failed(0, "closed");
  }
  TPortResult Write(const TBytes& data) override {
    const FT_HANDLE handle = FDevice.FHandle.load();
    if (handle == nullptr) return TPortResult::Failed(0, "closed");
    const auto count = static_cast<DWORD>(std::min<std::size_t>(data.size(), INT32_MAX));
    DWORD written = 0;
    const FT_STATUS status = D2xxWrite(handle, data.data(), count, written);
    if (status != kD2xxOk) return Failure("FT_Write", status);
    return TPortResult::Done(written);
  }
  TPortResult Read(TBytes& data) override {
    data.clear();
    const FT_HANDLE handle = FDevice.FHandle.load();
    if (handle == nullptr) return TPortResult::Failed(0, "closed");
    DWORD waiting = 0;
    FT_STATUS status = D2xxGetQueueStatus(handle, waiting);
    if (status != kD2xxOk) return Failure("FT_GetQueueStatus", status);
    if (waiting == 0) return TPortResult::Done();
    data.resize(std::min(waiting, kMaxReadBytes));
    DWORD read = 0;
    status = D2xxRead(handle, data.data(), static_cast<DWORD>(data.size()), read);
    data.resize(read);
    if (status != kD2xxOk) {
      // Tried again at the next event or poll, not at once: a refused read
      // would otherwise wake the receive thread for ever. An input/output
      // error closes the adapter, so the handle is not used again.
      TPortResult result = Failure("FT_Read", status);
      result.Count = read;
      return result;
    }
    if (FDevice.FReceiveThread && D2xxGetQueueStatus(handle, waiting) == kD2xxOk && waiting > 0)
      FDevice.FReceiveThread->WakeForData();  // bytes beyond this block are announced again
    return TPortResult::Done(read);
  }
  TPortResult BytesWaiting() override {
    const FT_HANDLE handle = FDevice.FHandle.load();
    if (handle == nullptr) return TPortResult::Failed(0, "closed");
    DWORD waiting = 0;
    const FT_STATUS status = D2xxGetQueueStatus(handle, waiting);
    if (status != kD2xxOk) return Failure("FT_GetQueueStatus", status);
    return TPortResult::Done(std::min<DWORD>(waiting, INT32_MAX));
  }
  // Sleeps on the library's event. The queue is looked at after the signal
  // count is taken, so that a signal in between ends the wait at once; that
  // look takes the transport's lock, as the handle is used only under it.
  TPortResult WaitReadable(std::uint32_t deadline) override {
    std::shared_ptr<TD2xxEvent> event;
    bool registered = false;
    {
      std::lock_guard<std::mutex> guard(FDevice.FEventLock);
      event = FDevice.FEvent;
      registered = FDevice.FEventRegistered;
    }
    if (!event) return TPortResult::Failed(0, "closed");
    const std::uint64_t seen = event->Signals();
    {
      TLockGuard guard(FDevice);
      const TPortResult waiting = State().Ok() ? BytesWaiting() : State();
      if (!waiting.Ok() || waiting.Count > 0) return waiting;
    }
    const std::uint32_t left = TicksLeft(GetTickCount32(), deadline);
    // A signal sent while nobody waited is lost: each wait is bounded like
    // the receive thread's. A library that refused the event is looked at
    // every millisecond.
    if (left > 0)
      event->WaitSignal(seen, std::min(left, registered ? TFTDIDevicecore::kIdleWaitMs : 1u));
    return TPortResult::Done();
  }

 private:
  // An input/output error is a lost adapter; any other status only fails
  // the step.
  TPortResult Failure(const char* call, FT_STATUS status) {
    if (status == kD2xxIoError)
      return TPortResult::LineLost(EIO, FDevice.IoErrorText(call, status));
    return TPortResult::Failed(0, FDevice.Target() + ": " + StatusText(call, status));
  }

  TFTDIDevice& FDevice;
  bool FForce = false;         // under the transport's lock
  bool FClosedCleanly = true;  // under the transport's lock
};

TIntf<ICommunicationInterface> CreateFTDIDevice(const std::string& connectionString) {
  return Make<TFTDIDevice>(connectionString);
}

TFTDIDevice::TFTDIDevice(const std::string& connectionString)
    : FAdapterPort(std::make_unique<TAdapterPort>(*this)),
      FAdapterLink(std::make_unique<TPortLink>(*this, *FAdapterPort)) {
  if (!connectionString.empty()) SetConnectionString(connectionString);
}

TFTDIDevice::TFTDIDevice(TXmlNode node, TIntf<IInterface> owner)
    : FAdapterPort(std::make_unique<TAdapterPort>(*this)),
      FAdapterLink(std::make_unique<TPortLink>(*this, *FAdapterPort)) {
  LoadFromNode(std::move(node), true, true);
  SetOwner(std::move(owner));
}

TFTDIDevice::~TFTDIDevice() {
  {
    // Normally done in BeforeDestruction; here for an object freed without
    // it. (A constructor that fails stops its thread through the member,
    // which is declared last for that.) The release lets go of the threads
    // a lost adapter left.
    TLockGuard guard(*this);
    TakeReceiveThread();
  }
  // Nothing of this transport announces any more; a receive thread that was
  // detached (it ended the transport) tells its own end.
  FEnd->TransportGone();
}

HRESULT TFTDIDevice::QueryInterface(const TGUID& iid, void** obj) {
  if (QueryAs<IFTDISerialPortInterface>(this, iid, obj)) return S_OK;
  return TSerialPortCoreInterface::QueryInterface(iid, obj);
}

void TFTDIDevice::BeforeDestruction() {
  try {
    Close(false);
  } catch (...) {
    // Destruction goes on whatever closing met.
  }
  // A failed close leaves its thread running: it ends here in any case.
  {
    TLockGuard guard(*this);
    TakeReceiveThread();
  }
  TSerialPortCoreInterface::BeforeDestruction();
}

std::string TFTDIDevice::Target() {
  return "USB " + GetSerialNumber();
}

std::string TFTDIDevice::IoErrorText(const char* call, FT_STATUS status) {
  return Target() + ": " + StatusText(call, status) + " (input/output error); closed";
}

TPortLink::TNotice TFTDIDevice::FailureLocked(const char* call, FT_STATUS status) {
  if (status != kD2xxIoError) return TPortLink::TNotice::None;
  return FAdapterLink->CloseLocked(IoErrorText(call, status));
}

void TFTDIDevice::TakeReceiveThread() {
  {
    std::lock_guard<std::mutex> guard(FEventLock);
    FEvent = nullptr;
    FEventRegistered = false;
  }
  if (!FReceiveThread) return;
  FReceiveThread->RequestStop();
  FFinished.push_back(std::move(FReceiveThread));
}

// --- connection ---

bool TFTDIDevice::GetActive() {
  return FHandle.load() != nullptr;
}

bool TFTDIDevice::Open() {
  // A handler, here or on the receive thread, may drop the last other reference.
  const TIntf<ICommunicationInterface> keep = Self();
  bool rateApplied = false;
  TPortLink::TNotice closed = TPortLink::TNotice::None;
  TPortLink::TNotice opened = TPortLink::TNotice::None;
  {
    TLockGuard guard(*this);
    if (GetActive()) return true;
    const TPortResult result = FAdapterPort->Open();
    if (!result.Ok()) {
      SetLastError(result.Text);
    } else {
      closed = ApplyBaudRateLocked(FBaudRate.load());
      rateApplied = true;
      // An input/output error while setting up has closed the adapter again.
      if (GetActive()) opened = FAdapterLink->OpenedLocked();
    }
  }
  FAdapterLink->Deliver(closed);
  if (rateApplied) AnnounceSettingsChanged();
  FAdapterLink->Deliver(opened);
  return opened == TPortLink::TNotice::Opened;
}

// Under the lock. The threads of an earlier adapter are let go at the release.
TPortResult TFTDIDevice::OpenAdapter() {
  TakeReceiveThread();
  const std::string serialNumber = GetSerialNumber();
  if (serialNumber.empty()) return TPortResult::Failed(0, "USB: no adapter serial number given");
  const std::string loadError = D2xxLoad();
  if (!loadError.empty())
    return TPortResult::Failed(0, Target() + ": the D2XX library could not be loaded (" +
                                      loadError + ")");
  FT_HANDLE handle = nullptr;
  const FT_STATUS status = D2xxOpenEx(serialNumber, handle);
  if (status != kD2xxOk) {
    // 65535 from the library itself is a status like any other.
    std::string reason = status == kD2xxMissing ? D2xxMissingReason("FT_OpenEx") : std::string();
    if (reason.empty()) reason = StatusText("FT_OpenEx", status);
    return TPortResult::Failed(0, Target() + ": " + reason);
  }
  // Nothing to speak to: no receive thread, no event registered for it.
  if (handle == nullptr)
    return TPortResult::Failed(0, Target() + ": FT_OpenEx gave no handle (status 0)");
  FHandle = handle;
  D2xxResetDevice(handle);  // its outcome changes nothing here
  try {
    FReceiveThread = std::make_unique<TFTDIDevicecore>(this, FAdapterLink.get(), handle, FEnd);
  } catch (const std::exception& e) {
    // Without its thread the adapter is not opened. Its event, which the
    // library may already hold, is kept by the thread's state.
    FHandle = nullptr;
    D2xxClose(handle);
    return TPortResult::Failed(
        0, Target() + ": the receive thread could not be started (" + e.what() + ")");
  }
  const FT_STATUS event = FReceiveThread->RegistrationStatus();
  {
    std::lock_guard<std::mutex> guard(FEventLock);
    FEvent = FReceiveThread->Event();
    FEventRegistered = event == kD2xxOk;
  }
  if (event != kD2xxOk)
    Alert(Target() + ": FT_SetEventNotification failed with status " + std::to_string(event) +
          "; received bytes are looked for every " + std::to_string(TFTDIDevicecore::kIdleWaitMs) +
          " ms");
  return TPortResult::Done();
}

// The receive thread is let go at the lock's last release, outside it: it
// may be waiting for that lock in a handler (also when the caller holds the
// lock around Close).
bool TFTDIDevice::Close(bool force) {
  TPortLink::TNotice notice = TPortLink::TNotice::None;
  bool closed = true;
  {
    TLockGuard guard(*this);
    if (!GetActive()) {
      TakeReceiveThread();  // the thread a failed close left running ends now
    } else {
      FAdapterPort->SetForce(force);
      notice = FAdapterLink->CloseLocked();
      FAdapterPort->SetForce(false);
      closed = FAdapterPort->ClosedCleanly();
    }
  }
  FAdapterLink->Deliver(notice);
  return closed;
}

bool TFTDIDevice::CloseLocked(bool force, bool& announce) {
  announce = false;
  {
    const FT_HANDLE handle = FHandle.exchange(nullptr);
    if (handle == nullptr) {
      // The thread a failed close left running ends now.
      TakeReceiveThread();
      return true;
    }
    const FT_STATUS status = D2xxClose(handle);
    if (status == kD2xxOk && FReceiveThread) FReceiveThread->LibraryReleased();
    if (status == kD2xxCloseTimedOut) {
      // The library may still be using the adapter and its event: both stay
      // with it. Said at once, as whoever closes may be ending.
      const std::string reason = Target() + ": FT_Close did not return within " +
                                 std::to_string(kD2xxCloseWaitMs) +
                                 " ms; the adapter is left to it";
      SetLastError(reason);
      Alert(reason);
    }
    if (status != kD2xxOk && !force) {
      // The library may still signal the event: the thread and its event
      // stay until the next Open, Close or the destruction, unless the
      // adapter has gone (the event stays with the library all the same).
      if (status == kD2xxIoError) {
        SetLastError(IoErrorText("FT_Close", status));
        TakeReceiveThread();
      }
      return false;
    }
    TakeReceiveThread();
    announce = true;
    return status == kD2xxOk;
  }
}

void TFTDIDevice::SetPermitted(bool permitted) {
  TSerialPortCoreInterface::SetPermitted(permitted);
  // Only a withdrawn permission ends the connection.
  if (!permitted) Close(true);
}

// --- data ---

std::int32_t TFTDIDevice::Write(const TBytes& data) {
  return FAdapterLink->Write(data);
}

void TFTDIDevice::Read(TBytes& data) {
  FAdapterLink->Read(data);
}

std::int32_t TFTDIDevice::GetReceivedCount() {
  return FAdapterLink->ReceivedCount();
}

bool TFTDIDevice::WaitReceived(std::int32_t timeout) {
  return FAdapterLink->WaitReceived(timeout);
}

bool TFTDIDevice::TryLock() {
  if (!TransportLock().try_lock()) return false;
  ++FHolds;
  return true;
}

void TFTDIDevice::Lock() {
  TransportLock().lock();
  ++FHolds;
}

void TFTDIDevice::Unlock() {
  // Letting go of the lock drops the reference it held, which may be the
  // last: keep the transport until the release is passed on.
  AddRef();
  TThreads finished;
  const bool last = --FHolds == 0;
  if (last) finished.swap(FFinished);
  TransportLock().unlock();
  if (last) LockReleased();
  finished.clear();  // joined (or detached on themselves) without the lock
  Release();
}

void TFTDIDevice::LockReleased() {
  std::shared_ptr<TD2xxEvent> event;
  {
    std::lock_guard<std::mutex> guard(FEventLock);
    event = FEvent;
  }
  if (event) event->LockReleased();
}

void TFTDIDevice::PurgeIn() {
  Purge(kD2xxPurgeRx);
}

void TFTDIDevice::PurgeOut() {
  Purge(kD2xxPurgeTx);
}

void TFTDIDevice::Purge(DWORD mask) {
  const TIntf<ICommunicationInterface> keep = Self();
  TPortLink::TNotice notice = TPortLink::TNotice::None;
  {
    TLockGuard guard(*this);
    notice = FailureLocked("FT_Purge", D2xxPurge(FHandle.load(), mask));
  }
  FAdapterLink->Deliver(notice);
}

bool TFTDIDevice::ResetDevice() {
  TLockGuard guard(*this);
  return D2xxResetDevice(FHandle.load()) == kD2xxOk;
}

bool TFTDIDevice::EraseEEPROM() {
  TLockGuard guard(*this);
  return D2xxEraseEE(FHandle.load()) == kD2xxOk;
}

// --- settings ---

std::string TFTDIDevice::GetSerialNumber() {
  std::lock_guard<std::mutex> guard(FSettingsLock);
  return FSerialNumber;
}

std::string TFTDIDevice::GetDescription() {
  return GetSerialNumber();
}

std::string TFTDIDevice::GetCaption() {
  return GetDeviceDescription();
}

std::string TFTDIDevice::GetConnectionString() {
  return std::string("provider=") + kFTDIDeviceProvider + ";serial_number=" + GetSerialNumber() +
         ";" + TSerialPortCoreInterface::GetConnectionString();
}

void TFTDIDevice::SetConnectionString(const std::string& text) {
  const TIntf<ICommunicationInterface> keep = Self();  // goes on after announcing
  std::string serialNumber;
  if (FindConnectionValue(text, "serial_number", serialNumber)) {
    // An open adapter is opened again by its new number.
    const bool wasActive = GetActive();
    SetActive(false);
    {
      std::lock_guard<std::mutex> guard(FSettingsLock);
      FSerialNumber = serialNumber;
    }
    SetActive(wasActive);
  }
  TSerialPortCoreInterface::SetConnectionString(text);
  AnnounceSettingsChanged();
}

std::int32_t TFTDIDevice::GetBaudRate() {
  return FBaudRate.load();
}

void TFTDIDevice::SetBaudRate(std::int32_t baudRate) {
  const TIntf<ICommunicationInterface> keep = Self();  // goes on after announcing
  TPortLink::TNotice notice = TPortLink::TNotice::None;
  {
    TLockGuard guard(*this);
    notice = ApplyBaudRateLocked(baudRate);
  }
  FAdapterLink->Deliver(notice);
  AnnounceSettingsChanged();
}

TPortLink::TNotice TFTDIDevice::ApplyBaudRateLocked(std::int32_t baudRate) {
  const FT_HANDLE handle = FHandle.load();
  const FT_STATUS status =
      handle == nullptr ? kD2xxOk : D2xxSetBaudRate(handle, static_cast<DWORD>(baudRate));
  if (status == kD2xxOk) FBaudRate = baudRate;
  // The character time follows the rate in effect, also when it was refused.
  TSerialPortCoreInterface::SetBaudRate(FBaudRate.load());
  return FailureLocked("FT_SetBaudRate", status);
}

std::int32_t TFTDIDevice::GetDataBits() {
  return FDataBits.load();
}

void TFTDIDevice::SetDataBits(std::int32_t dataBits) {
  SetLineField(FDataBits, dataBits);
}

std::int32_t TFTDIDevice::GetStopBits() {
  return FStopBits.load();
}

void TFTDIDevice::SetStopBits(std::int32_t stopBits) {
  SetLineField(FStopBits, stopBits);
}

std::int32_t TFTDIDevice::GetParity() {
  return FParity.load();
}

void TFTDIDevice::SetParity(std::int32_t parity) {
  SetLineField(FParity, parity);
}

void TFTDIDevice::SetLineField(std::atomic<std::int32_t>& field, std::int32_t value) {
  const TIntf<ICommunicationInterface> keep = Self();  // goes on after announcing
  TPortLink::TNotice notice = TPortLink::TNotice::None;
  {
    TLockGuard guard(*this);
    const std::int32_t previous = field.exchange(value);
    // A closed adapter refuses them too, so it keeps its previous settings.
    const FT_STATUS status = D2xxSetDataCharacteristics(
        FHandle.load(), static_cast<UCHAR>(FDataBits.load()), static_cast<UCHAR>(FStopBits.load()),
        static_cast<UCHAR>(FParity.load()));
    if (status != kD2xxOk) field = previous;
    notice = FailureLocked("FT_SetDataCharacteristics", status);
  }
  FAdapterLink->Deliver(notice);
  AnnounceSettingsChanged();
}

bool TFTDIDevice::GetDTR() {
  return FDTR.load();
}

void TFTDIDevice::SetDTR(bool raised) {
  SetLine(FDTR, raised, &D2xxSetDtr, raised ? "FT_SetDtr" : "FT_ClrDtr");
}

bool TFTDIDevice::GetRTS() {
  return FRTS.load();
}

void TFTDIDevice::SetRTS(bool raised) {
  SetLine(FRTS, raised, &D2xxSetRts, raised ? "FT_SetRts" : "FT_ClrRts");
}

void TFTDIDevice::SetLine(std::atomic<bool>& state, bool raised, FT_STATUS (*call)(FT_HANDLE, bool),
                          const char* entryPoint) {
  const TIntf<ICommunicationInterface> keep = Self();
  TPortLink::TNotice notice = TPortLink::TNotice::None;
  {
    TLockGuard guard(*this);
    const FT_STATUS status = call(FHandle.load(), raised);
    if (status == kD2xxOk) state = raised;
    notice = FailureLocked(entryPoint, status);
  }
  FAdapterLink->Deliver(notice);
}
