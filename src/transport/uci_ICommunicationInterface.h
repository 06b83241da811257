// The contract every transport (serial port, USB adapter, TCP client) offers
// to the protocol stack and to programs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <string_view>

#include "framework/uBytes.h"
#include "framework/uEventer.h"
#include "framework/uiNodedInterface.h"

class ICommunicationInterface;

// Transport notifications: (sender).
class TeventerCiNotify : public TEventer<TIntf<ICommunicationInterface>> {};
// Line change of a transport: (sender, line, state).
class TeventerCiNotifyChangeEvent
    : public TEventer<TIntf<ICommunicationInterface>, std::int32_t, bool> {};

// Single-subscriber handler slots.
using TCiNotifyHandler = TBoundMethod<TIntf<ICommunicationInterface>>;
using TCiLineChangeHandler = TBoundMethod<TIntf<ICommunicationInterface>, std::int32_t, bool>;

// Optional test of SendAndReceive: true while more of the response is expected.
using TResponseCheck = std::function<bool(const TBytes& response)>;

class ICommunicationInterfaceCore : public virtual INodedInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{76A7FD53-30E9-4F5A-9B92-90AC61E19EA0}");
};

class ICommunicationInterface : public virtual ICommunicationInterfaceCore {
 public:
  static constexpr TGUID IID = GuidLiteral("{A08B3416-51DC-4315-940D-D6110F114164}");

  virtual void SetOnDataReceived(TCiNotifyHandler handler) = 0;
  virtual TCiNotifyHandler GetOnDataReceived() = 0;
  virtual TeventerCiNotify& DataReceived() = 0;
  virtual bool SetActive(bool active) = 0;
  virtual bool GetActive() = 0;
  virtual bool Open() = 0;
  virtual bool Close(bool force) = 0;
  // Number of bytes written; 0 on failure.
  virtual std::int32_t Write(const TBytes& data) = 0;
  // Hands over every byte received so far (empty when none).
  virtual void Read(TBytes& data) = 0;
  virtual std::int32_t GetReceivedCount() = 0;
  virtual bool GetPermitted() = 0;
  virtual void SetPermitted(bool permitted) = 0;
  virtual std::string GetDescription() = 0;
  virtual std::string GetCaption() = 0;
  virtual bool ShowSetupDialog() = 0;
  virtual bool HasSetupDialog() = 0;
  virtual std::string GetConnectionString() = 0;
  virtual void SetConnectionString(const std::string& text) = 0;
  virtual TCiNotifyHandler GetOnOpened() = 0;
  virtual void SetOnOpened(TCiNotifyHandler handler) = 0;
  virtual TeventerCiNotify& Opened() = 0;
  virtual TCiNotifyHandler GetOnClosed() = 0;
  virtual void SetOnClosed(TCiNotifyHandler handler) = 0;
  virtual TeventerCiNotify& Closed() = 0;
  virtual TCiLineChangeHandler GetOnLineChanged() = 0;
  virtual void SetOnLineChanged(TCiLineChangeHandler handler) = 0;
  virtual TeventerCiNotify& SettingsChanged() = 0;
  virtual TeventerCiNotifyChangeEvent& LineChanged() = 0;
  virtual void SendAndReceive(const TBytes& request, std::int32_t timeout, TBytes& response,
                              const TResponseCheck& check) = 0;
  virtual void ReadBuffered(std::int32_t count, TBytes& data) = 0;
  virtual std::int32_t GetBufferedCount(bool pull) = 0;
  virtual void PeekBuffered(std::int32_t count, TBytes& data) = 0;
  virtual double GetByteTime() = 0;
  virtual void PurgeIn() = 0;
  virtual void PurgeOut() = 0;
  virtual bool TryLock() = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  // Waits at most `timeout` ms for received bytes; true as soon as some are
  // waiting. Lets an exchange end when its answer arrives instead of polling.
  virtual bool WaitReceived(std::int32_t timeout) = 0;
  // Why the last Open failed or the open connection was lost: one line that
  // names the target ("127.0.0.1:10001: connection refused"); empty when
  // nothing has failed since the last successful Open. See framework/uErrors.h.
  virtual std::string GetLastError() = 0;
};

// The lock of a transport. Whoever holds it also holds a counted reference
// to the transport: an announcement made under the lock may reach a handler
// that drops the last other reference, and the lock is still let go (and
// the transport still used) after that. The transport may then end when the
// lock is let go, on the thread that lets it go.
class TTransportMutex {
 public:
  explicit TTransportMutex(IInterface& owner) : FOwner(owner) {}
  TTransportMutex(const TTransportMutex&) = delete;
  TTransportMutex& operator=(const TTransportMutex&) = delete;

  void lock() {
    FOwner.AddRef();
    FMutex.lock();
  }
  bool try_lock() {
    if (!FMutex.try_lock()) return false;
    FOwner.AddRef();
    return true;
  }
  void unlock() {
    IInterface& owner = FOwner;  // this lock may go with the release
    FMutex.unlock();
    owner.Release();
  }

 private:
  IInterface& FOwner;
  std::recursive_mutex FMutex;
};

// Holds the lock of a transport, when there is one, for a scope (and a
// reference on the transport meanwhile).
class TOptionalTransportLock {
 public:
  explicit TOptionalTransportLock(TIntf<ICommunicationInterface> transport)
      : FTransport(std::move(transport)) {
    if (FTransport) FTransport->Lock();
  }
  ~TOptionalTransportLock() {
    if (FTransport) FTransport->Unlock();
  }
  TOptionalTransportLock(const TOptionalTransportLock&) = delete;
  TOptionalTransportLock& operator=(const TOptionalTransportLock&) = delete;

 private:
  TIntf<ICommunicationInterface> FTransport;
};

// Holds a transport's lock for a scope.
class TTransportLock {
 public:
  explicit TTransportLock(ICommunicationInterface& transport) : FTransport(transport) {
    FTransport.Lock();
  }
  ~TTransportLock() { FTransport.Unlock(); }
  TTransportLock(const TTransportLock&) = delete;
  TTransportLock& operator=(const TTransportLock&) = delete;

 private:
  ICommunicationInterface& FTransport;
};

// The process-wide trace of transport traffic: (sender, bytes, direction),
// direction 1 = sent, 2 = received. Empty at start.
using TTraceHandler = TBoundMethod<TIntf<ICommunicationInterface>, const TBytes&, std::int32_t>;
void SetTraceHandler(TTraceHandler handler);
TTraceHandler GetTraceHandler();

// Directions of a traced block.
constexpr std::int32_t kTraceSent = 1;
constexpr std::int32_t kTraceReceived = 2;

// True for a command-line argument that switches the trace on: DST or STD,
// after trimming and dropping one leading "/" or "-", in any letter case.
bool IsTraceSwitch(std::string_view arg);

// Abstract base of every transport. A concrete transport supplies GetActive,
// Write, GetReceivedCount and GetDescription, and in practice its own
// connection string, Open, Close and Read.
//
// C++ constructors do not dispatch to derived overrides: the constructors here
// apply the connection string and the node with this class's operations, so a
// derived transport applies its own SetConnectionString / LoadFromNode in its
// own constructor.
class TCommunicationInterface : public TNodedInterface, public virtual ICommunicationInterface {
 public:
  explicit TCommunicationInterface(const std::string& connectionString = std::string());
  TCommunicationInterface(TXmlNode node, TIntf<IInterface> owner);
  ~TCommunicationInterface() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;

  // Settings node: the "connectionstring" attribute besides the noded ones.
  void LoadFromNode(TXmlNode node, bool setNode, bool reloadGUID) override;
  void SaveToNode() override;

  void SetOnDataReceived(TCiNotifyHandler handler) override;
  TCiNotifyHandler GetOnDataReceived() override;
  TeventerCiNotify& DataReceived() override { return FDataReceived.Get(); }
  bool SetActive(bool active) override;
  bool GetActive() override = 0;
  bool Open() override;
  bool Close(bool force) override;
  std::int32_t Write(const TBytes& data) override = 0;
  void Read(TBytes& data) override;
  std::int32_t GetReceivedCount() override = 0;
  bool GetPermitted() override { return FPermitted.load(); }
  void SetPermitted(bool permitted) override { FPermitted.store(permitted); }
  std::string GetDescription() override = 0;
  std::string GetCaption() override { return GetDescription(); }
  bool ShowSetupDialog() override { return false; }
  bool HasSetupDialog() override { return false; }
  std::string GetConnectionString() override { return std::string(); }
  void SetConnectionString(const std::string& text) override;
  TCiNotifyHandler GetOnOpened() override;
  void SetOnOpened(TCiNotifyHandler handler) override;
  TeventerCiNotify& Opened() override { return FOpened.Get(); }
  TCiNotifyHandler GetOnClosed() override;
  void SetOnClosed(TCiNotifyHandler handler) override;
  TeventerCiNotify& Closed() override { return FClosed.Get(); }
  TCiLineChangeHandler GetOnLineChanged() override;
  void SetOnLineChanged(TCiLineChangeHandler handler) override;
  TeventerCiNotify& SettingsChanged() override { return FSettingsChanged.Get(); }
  TeventerCiNotifyChangeEvent& LineChanged() override { return FLineChanged.Get(); }
  void SendAndReceive(const TBytes& request, std::int32_t timeout, TBytes& response,
                      const TResponseCheck& check) override;
  void ReadBuffered(std::int32_t count, TBytes& data) override;
  std::int32_t GetBufferedCount(bool pull) override;
  void PeekBuffered(std::int32_t count, TBytes& data) override;
  double GetByteTime() override { return FByteTime.load(); }
  void PurgeIn() override {}
  void PurgeOut() override {}
  bool TryLock() override { return FTransportLock.try_lock(); }
  void Lock() override { FTransportLock.lock(); }
  void Unlock() override { FTransportLock.unlock(); }
  bool WaitReceived(std::int32_t timeout) override;
  std::string GetLastError() override;

  // Deadlines of SendAndReceive on the millisecond tick: the first one counts
  // from the write and allows for the request's own transfer time; each
  // arrival moves it to ten character times plus 50 ms after that arrival.
  static std::uint32_t FirstDeadline(std::uint32_t writeTick, std::size_t requestLength,
                                     std::int32_t timeout, double byteTime);
  static std::uint32_t SilenceDeadline(std::uint32_t arrivalTick, double byteTime);
  // A response holds at most kResponseCap bytes (as much as the stack's
  // receive buffer), and arrivals move the deadline at most to the time a
  // full response takes on the line after the first deadline
  // (kNoWireTimeOverrunMs without a character time): a peer that never
  // falls silent can hold the exchange only that long.
  static constexpr std::size_t kResponseCap = 0x20000;
  static constexpr std::uint32_t kNoWireTimeOverrunMs = 1000;
  static std::uint32_t OverrunLimit(std::uint32_t firstDeadline, double byteTime);

 protected:
  // The shared implementation of the contract on a byte port takes these steps.
  friend class TPortLink;

  // Steps of the receiving and connection sides of a transport.
  // AnnounceDataReceived calls the single handler first, then the eventer;
  // the other announcements fire the eventer first. Exceptions are dropped.
  // Each holds the transport for its own length; a caller that goes on
  // afterwards holds it itself (Self(), or the transport's lock).
  void AnnounceDataReceived(TIntf<ICommunicationInterface> sender = nullptr);
  void AnnounceOpened();
  void AnnounceClosed();
  void AnnounceLineChanged(std::int32_t line, bool state);
  void AnnounceSettingsChanged();
  // Hands a block to the process trace: 1 just before writing, 2 after a read.
  virtual void Trace(std::int32_t direction, const TBytes& data);
  // Records why an Open failed or a connection was lost (GetLastError);
  // an empty text clears it, as a successful Open does.
  void SetLastError(std::string text);

  // The transport's own interface, the sender of every announcement. Held
  // by a step that goes on after an announcement: a handler may drop the
  // last other reference.
  TIntf<ICommunicationInterface> Self() { return TIntf<ICommunicationInterface>(this); }
  // Locked with std::lock_guard<TTransportMutex>: the guard keeps the
  // transport alive while it holds the lock.
  TTransportMutex& TransportLock() { return FTransportLock; }

  // Transfer time of one character in ms; 0 = not known.
  std::atomic<double> FByteTime{0.0};
  // Stored for programs that gate a connection; false until one sets it.
  std::atomic<bool> FPermitted{false};

 private:
  void PullIntoBuffer();
  void TakeBuffered(std::int32_t count, TBytes& data, bool remove);

  TTransportMutex FTransportLock{static_cast<IInterface&>(*this)};
  std::mutex FHandlerLock;  // guards the single-handler slots
  // Held while the data-received handler runs; recursive so the handler may
  // replace itself on its own thread.
  std::recursive_mutex FDataHandlerCall;
  TCiNotifyHandler FOnDataReceived;
  TCiNotifyHandler FOnOpened;
  TCiNotifyHandler FOnClosed;
  TCiLineChangeHandler FOnLineChanged;
  TLazyEventer<TeventerCiNotify> FDataReceived;
  TLazyEventer<TeventerCiNotify> FOpened;
  TLazyEventer<TeventerCiNotify> FClosed;
  TLazyEventer<TeventerCiNotify> FSettingsChanged;
  TLazyEventer<TeventerCiNotifyChangeEvent> FLineChanged;
  TBytes FReadBuffer;  // guarded by FTransportLock
  std::mutex FLastErrorLock;
  std::string FLastError;

  // Wakes WaitReceived when the receiving side announces data.
  std::mutex FArrivalLock;
  std::condition_variable FArrival;
  std::uint64_t FArrivals = 0;
};
