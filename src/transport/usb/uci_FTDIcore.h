// The USB adapter transport: a USB serial adapter driven directly through the
// D2XX library (uci_FTDIdirect) rather than through a serial device, chosen by
// its USB serial number, with the line settings and connection-string keys of
// the serial-line layer. A receive thread waits for the library's event and
// reports arrivals to the transport's link, which announces them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/serial/uci_ISerialPortInterface.h"
#include "transport/uPortLink.h"
#include "transport/usb/uD2xxEvent.h"
#include "transport/usb/uci_FTDIdirect.h"

inline constexpr const char* kFTDIDeviceProvider = "FTD_USB";

class IFTDISerialPortInterface : public virtual ISerialPortInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{CBFAE6C0-8E72-4D7F-8C51-C36038E6F5F5}");

  virtual std::string GetSerialNumber() = 0;
  // Both empty: an adapter is known here by its serial number alone.
  virtual std::string GetDeviceDescription() = 0;
  virtual std::int32_t GetDeviceIndex() = 0;
  virtual std::string GetDeviceLocation() = 0;
  virtual FT_HANDLE GetHandle() = 0;
  virtual bool ResetDevice() = 0;
  virtual bool EraseEEPROM() = 0;
};

struct TFTDIReceiveState;

// Tells when a transport has gone and every receive thread it started has
// ended: from then on nothing it started reaches its handlers or holds its
// adapter. Taken from the transport while it is held, waited on after the
// last reference was let go (that may have been on one of its threads).
class TUsbTransportEnd {
 public:
  // True as soon as that is so; false when `timeoutMs` passed first.
  bool Wait(std::uint32_t timeoutMs);

 private:
  friend class TFTDIDevice;
  friend class TFTDIDevicecore;
  void ThreadStarted();
  void ThreadEnded();
  void TransportGone();

  std::mutex FLock;
  std::condition_variable FChanged;
  int FThreads = 0;    // guarded by FLock
  bool FGone = false;  // guarded by FLock
};

// The receive thread of one open adapter. It reaches its transport and the
// transport's link through plain pointers and never keeps the transport
// alive: the transport stops the thread before it goes. It reports arrivals
// to the link, which announces them after letting go of the lock. Destroying
// this object requests the stop and joins the thread, unless that happens on
// the thread itself (its transport was closed or ended there): then the
// thread is detached. It finishes the visit it is in under the counted
// reference it holds for it; once it let go of that, it touches nothing but
// its own state. Its end is told by the transport's TUsbTransportEnd and by
// EndFTDIReceiveThreads, never by a join.
class TFTDIDevicecore {
 public:
  // Waits at most this long for an event, also while another thread holds
  // the transport's lock: that thread's release wakes it (TFTDIDevice::Unlock).
  static constexpr std::uint32_t kIdleWaitMs = 100;

  // Registers its event with the library for `handle` (the status is kept),
  // then starts the thread, which raises its own priority where permitted
  // and is counted in `end` until its very last step.
  TFTDIDevicecore(ICommunicationInterface* transport, TPortLink* link, FT_HANDLE handle,
                  std::shared_ptr<TUsbTransportEnd> end);
  ~TFTDIDevicecore();
  TFTDIDevicecore(const TFTDIDevicecore&) = delete;
  TFTDIDevicecore& operator=(const TFTDIDevicecore&) = delete;

  FT_STATUS RegistrationStatus() const { return FRegistrationStatus; }
  // Wakes the thread at once to end; it no longer calls the transport.
  void RequestStop();
  // More bytes are waiting: announce them without waiting for an event.
  void WakeForData();
  // The adapter was closed successfully, so the library no longer uses the
  // event; without this the event is kept for the rest of the process.
  void LibraryReleased();
  bool OnThisThread() const { return FThread.get_id() == std::this_thread::get_id(); }
  // The event the thread waits on, kept alive for as long as the caller holds it.
  std::shared_ptr<TD2xxEvent> Event() const;

 private:
  static void Run(TFTDIReceiveState& state);

  std::shared_ptr<TFTDIReceiveState> FState;
  FT_STATUS FRegistrationStatus = kD2xxMissing;
  std::thread FThread;
};

class TFTDIDevice : public TSerialPortCoreInterface, public virtual IFTDISerialPortInterface {
 public:
  static constexpr std::int32_t kDefaultBaudRate = 115200;
  // Most bytes one Read takes; more stay queued in the library and are
  // announced again.
  static constexpr DWORD kMaxReadBytes = 65536;

  explicit TFTDIDevice(const std::string& connectionString = std::string());
  TFTDIDevice(TXmlNode node, TIntf<IInterface> owner);
  ~TFTDIDevice() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  void BeforeDestruction() override;

  // ICommunicationInterface
  bool GetActive() override;
  bool Open() override;
  bool Close(bool force) override;
  std::int32_t Write(const TBytes& data) override;
  void Read(TBytes& data) override;
  std::int32_t GetReceivedCount() override;
  void SetPermitted(bool permitted) override;
  std::string GetDescription() override;
  std::string GetCaption() override;
  std::string GetConnectionString() override;
  void SetConnectionString(const std::string& text) override;
  void PurgeIn() override;
  void PurgeOut() override;
  // Waits on the library's event, as the receive thread does; a caller that
  // holds the lock meanwhile takes the answer without the thread.
  bool WaitReceived(std::int32_t timeout) override;
  // The lock keeps count of its holds: the last release wakes a receive
  // thread that found it taken, so that thread sleeps instead of retrying.
  bool TryLock() override;
  void Lock() override;
  void Unlock() override;

  // ISerialPortInterface
  std::int32_t GetBaudRate() override;
  void SetBaudRate(std::int32_t baudRate) override;
  bool GetRTS() override;
  void SetRTS(bool raised) override;
  bool GetDTR() override;
  void SetDTR(bool raised) override;
  bool GetCTS() override { return false; }
  bool GetDSR() override { return false; }
  std::int32_t GetStopBits() override;
  void SetStopBits(std::int32_t stopBits) override;
  std::int32_t GetParity() override;
  void SetParity(std::int32_t parity) override;
  std::int32_t GetDataBits() override;
  void SetDataBits(std::int32_t dataBits) override;
  // The library keeps its own buffers: these sizes are not settings here.
  std::int32_t GetOutBufSize() override { return 0; }
  void SetOutBufSize(std::int32_t) override {}
  std::int32_t GetInBufSize() override { return 0; }
  void SetInBufSize(std::int32_t) override {}

  // IFTDISerialPortInterface
  std::string GetSerialNumber() override;
  std::string GetDeviceDescription() override { return std::string(); }
  std::int32_t GetDeviceIndex() override { return -1; }
  std::string GetDeviceLocation() override { return std::string(); }
  FT_HANDLE GetHandle() override { return FHandle.load(); }
  bool ResetDevice() override;
  bool EraseEEPROM() override;

  // Told once this transport is gone and its receive threads have ended.
  std::shared_ptr<TUsbTransportEnd> TransportEnd() const { return FEnd; }

 private:
  using TThreads = std::vector<std::unique_ptr<TFTDIDevicecore>>;
  // The open adapter as a byte port (transport/uBytePort.h): opening,
  // closing, writes, reads, counts and waits are its steps, driven by the
  // transport contract; the transport's own part of opening is the rate.
  class TAdapterPort;
  friend class TAdapterPort;

  // Under the lock: the port's close; `announce` tells whether closed is to
  // be announced (after the lock). False when the library refused the close
  // (with `force`, the adapter is given up all the same).
  bool CloseLocked(bool force, bool& announce);

  // "USB <serial number>": how the last error names the adapter.
  std::string Target();
  // The last error of a call that met the input/output error.
  std::string IoErrorText(const char* call, FT_STATUS status);
  // Under the lock: an input/output error status closes the adapter (the
  // caller announces that after the lock); any other only fails the call.
  TPortLink::TNotice FailureLocked(const char* call, FT_STATUS status);
  // Under the lock: the rate applied to the open adapter; what a failure
  // leaves to announce is returned.
  TPortLink::TNotice ApplyBaudRateLocked(std::int32_t baudRate);
  // Under the lock: the port's open (the library's open, its receive thread
  // and event); Failed with the reason naming the adapter.
  TPortResult OpenAdapter();
  // Under the lock: asks the receive thread to stop and keeps it to be let
  // go at the lock's last release (joined, or detached when it is that
  // thread): it may be waiting for the lock in a handler, also when the
  // caller holds the lock around Open or Close.
  void TakeReceiveThread();
  // Line settings through FT_SetDataCharacteristics; the changed field
  // takes its previous value back when the library refuses them.
  void SetLineField(std::atomic<std::int32_t>& field, std::int32_t value);
  // DTR or RTS: the state is kept when the library accepted it.
  void SetLine(std::atomic<bool>& state, bool raised, FT_STATUS (*call)(FT_HANDLE, bool),
               const char* entryPoint);

  // PurgeIn and PurgeOut: `mask` names the library's queue.
  void Purge(DWORD mask);
  // Passes the lock's last release on to the receive thread.
  void LockReleased();

  const std::shared_ptr<TUsbTransportEnd> FEnd = std::make_shared<TUsbTransportEnd>();
  std::atomic<FT_HANDLE> FHandle{nullptr};  // changed under the transport lock
  int FHolds = 0;                           // guarded by the transport lock
  // Receive threads taken out under the lock: let go at the lock's last
  // release, as one may be announcing and wait for the lock.
  TThreads FFinished;  // guarded by the transport lock
  // The open adapter's event: its own lock, as it is used after the
  // transport's lock was released and while waiting without it.
  std::mutex FEventLock;
  std::shared_ptr<TD2xxEvent> FEvent;  // guarded by FEventLock
  bool FEventRegistered = false;       // guarded by FEventLock
  std::mutex FSettingsLock;
  std::string FSerialNumber;  // guarded by FSettingsLock
  std::atomic<std::int32_t> FBaudRate{kDefaultBaudRate};
  std::atomic<std::int32_t> FDataBits{8};
  std::atomic<std::int32_t> FStopBits{sbOne};
  std::atomic<std::int32_t> FParity{paNone};
  std::atomic<bool> FDTR{false};
  std::atomic<bool> FRTS{false};
  std::unique_ptr<TAdapterPort> FAdapterPort;
  std::unique_ptr<TPortLink> FAdapterLink;
  // Last, so that it is stopped first even when a constructor fails.
  std::unique_ptr<TFTDIDevicecore> FReceiveThread;  // guarded by the transport lock
};

// Waits at most `timeoutMs` until no receive thread of any transport runs
// (one may be taking its transport apart after the last reference went on
// it); true when none runs. For the program's end and the tests.
bool EndFTDIReceiveThreads(std::uint32_t timeoutMs);

// The D2XX-only transport; the class registered under "FTD_USB" is
// TUsbAdapterDevice (uci_USBadapter.h), which falls back to the kernel's device.
TIntf<ICommunicationInterface> CreateFTDIDevice(const std::string& connectionString);
