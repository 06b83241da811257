#include "transport/tcp/uci_ITCPClientInterface.h"

#include <netdb.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "framework/uErrors.h"
#include "framework/uStrUtils.h"
#include "framework/uTick.h"
#include "framework/uXmlNode.h"
#include "transport/uConnectionString.h"

namespace {

using TLockGuard = std::lock_guard<TTransportMutex>;

// "no answer within 1.5 s"
std::string NoAnswerReason(std::uint32_t timeoutMs) {
  return "no answer within " + std::to_string(timeoutMs / 1000) + "." +
         std::to_string(timeoutMs % 1000 / 100) + " s";
}
std::uint16_t ParsePort(const std::string& text) {
  std::int32_t value = 0;
  if (!TryParseInt(text, value)) throw EConvertError("'" + text + "' is not a valid integer value");
  if (value < 0 || value > 65535) throw EConvertError("'" + text + "' is not a valid port number");
  return static_cast<std::uint16_t>(value);
}

}  // namespace

TIntf<ICommunicationInterface> CreateTCPClientInterface(const std::string& connectionString) {
  return Make<TTCPClientInterface>(connectionString);
}

TTCPClientInterface::TTCPClientInterface(const std::string& connectionString)
    : TSockClientCoreInterface(std::string()), FTarget(std::make_shared<TMessageTarget>()) {
  FLink.SetOnClosing([this] { Closing(); });
  if (!connectionString.empty()) SetConnectionString(connectionString);
}

TTCPClientInterface::TTCPClientInterface(TXmlNode node, TIntf<IInterface> owner)
    : TSockClientCoreInterface(std::string()), FTarget(std::make_shared<TMessageTarget>()) {
  FLink.SetOnClosing([this] { Closing(); });
  LoadFromNode(std::move(node), true, true);
  SetOwner(std::move(owner));
}

TTCPClientInterface::~TTCPClientInterface() {
  // Normally done in BeforeDestruction; here for a constructor that failed.
  FTarget->SetEnabled(false);
  FPollSource.reset();
  FLookup.Abandon();
}

HRESULT TTCPClientInterface::QueryInterface(const TGUID& iid, void** obj) {
  if (QueryAs<ITCPClientInterface>(this, iid, obj)) return S_OK;
  return TSockClientCoreInterface::QueryInterface(iid, obj);
}

void TTCPClientInterface::BeforeDestruction() {
  try {
    if (GetActive()) Close(false);
  } catch (...) {  // on the way to destruction: a closed-handler's failure must not stop it
  }
  {
    TLockGuard guard(TransportLock());
    FTarget->SetEnabled(false);
    DropAttempt();
  }
  TSockClientCoreInterface::BeforeDestruction();
}

// --- events ---

void TTCPClientInterface::DropAttempt() {
  FPollSource.reset();
  FLink.CloseLocked();  // an open connection is let go without a word
  FConnectionSocket.Close();
  FLookup.Abandon();  // a resolver that hangs must not hold up Close or the release
  FAddresses.clear();
  FNextAddress = 0;
  FAttemptFailure.clear();
  FState = TState::Closed;
}

std::string TTCPClientInterface::Target() const {
  // An IPv6 literal is bracketed so that the port stays readable.
  const bool v6 = FHost.find(':') != std::string::npos;
  return (v6 ? "[" + FHost + "]" : FHost) + ":" + std::to_string(FPort);
}

void TTCPClientInterface::Fail(const std::string& reason) {
  SetLastError(Target() + ": " + reason);
}

int TTCPClientInterface::ConnectingFd() {
  TLockGuard guard(TransportLock());
  return FState == TState::Connecting ? FConnectionSocket.Fd() : -1;
}

TTCPClientInterface::TNotice TTCPClientInterface::StartAttempt() {
  DropAttempt();
  std::vector<TSocketAddress> addresses;
  int rc = ResolveAddresses(FHost, FPort, true, addresses, &FAttemptFailure);
  if (rc == 0) {
    FAddresses = std::move(addresses);
    return ConnectNext();
  }
  if (FHost.empty()) return ConnectNext();
  FAttemptFailure.clear();
  // A name: looked up on a thread of its own; the result comes back to the
  // creating thread as a message (or is picked up by the waiting Open). The
  // message runs only while the target takes calls, that is while this
  // transport exists, so `self` is still valid when it runs.
  FState = TState::Resolving;
  std::weak_ptr<TMessageTarget> target = FTarget;
  TTCPClientInterface* self = this;
  FLookup.Start(FHost, FPort, [target, self] {
    if (auto t = target.lock()) t->Post([self] { self->PumpEvents(); });
  });
  return TNotice::None;
}

TTCPClientInterface::TNotice TTCPClientInterface::FinishLookup() {
  if (FState != TState::Resolving || !FLookup.Finished()) return TNotice::None;
  int error = 0;
  std::vector<TSocketAddress> addresses;
  if (!FLookup.Take(error, FAttemptFailure, addresses) || error != 0) addresses.clear();
  FAddresses = std::move(addresses);  // empty when the look-up failed
  FNextAddress = 0;
  return ConnectNext();
}

// Tries the remaining addresses of the attempt in turn ("localhost" may name
// an IPv6 and an IPv4 address of which only one listens).
TTCPClientInterface::TNotice TTCPClientInterface::ConnectNext() {
  FPollSource.reset();
  while (FNextAddress < FAddresses.size()) {
    int rc = FConnectionSocket.StartConnect(FAddresses[FNextAddress++]);
    if (rc == 0) return Connected();
    if (rc == EINPROGRESS) {
      FState = TState::Connecting;  // the connecting event: the socket is remembered
      FPollSource = std::make_unique<TPollSource>(*FTarget, FConnectionSocket.Fd(),
                                                  static_cast<short>(POLLOUT),
                                                  [this](short) { PumpEvents(); });
      return TNotice::None;
    }
    FAttemptFailure = ErrnoText(rc);
    FConnectionSocket.Close();
  }
  // The error event: the attempt is over, the transport stays closed.
  Fail(FAttemptFailure.empty() ? "cannot connect" : FAttemptFailure);
  FConnectionSocket.Close();
  FAddresses.clear();
  FNextAddress = 0;
  FAttemptFailure.clear();
  FState = TState::Closed;
  FOpening = false;
  return TNotice::None;
}

TTCPClientInterface::TNotice TTCPClientInterface::Connected() {
  FAddresses.clear();
  FNextAddress = 0;
  FAttemptFailure.clear();
  FSocketPort.SetTarget(Target());
  const TPortResult opened = FSocketPort.Open();
  FOpening = false;
  if (!opened.Ok()) {
    Fail(ErrnoText(opened.Error));
    FConnectionSocket.Close();
    FState = TState::Closed;
    return TNotice::None;
  }
  FState = TState::Connected;
  FPollSource = std::make_unique<TPollSource>(*FTarget, FConnectionSocket.Fd(),
                                              static_cast<short>(POLLIN | POLLRDHUP),
                                              [this](short) { PumpEvents(); });
  return FLink.OpenedLocked();
}

void TTCPClientInterface::Closing() {
  FPollSource.reset();  // before its descriptor goes
  FState = TState::Closed;
  FOpening = false;
}

// Looks at the socket afresh rather than trusting a poll result that may be
// older than the last change of state.
TTCPClientInterface::TNotice TTCPClientInterface::CheckSocket() {
  switch (FState.load()) {
    case TState::Resolving:
      return FinishLookup();
    case TState::Connecting: {
      int error = 0;
      switch (FConnectionSocket.ConnectState(error)) {
        case TPosixSocket::TConnectState::Pending:
          return TNotice::None;
        case TPosixSocket::TConnectState::Connected:
          return Connected();
        case TPosixSocket::TConnectState::Failed:
          break;
      }
      FAttemptFailure = error != 0 ? ErrnoText(error) : "cannot connect";
      FConnectionSocket.Close();
      return ConnectNext();
    }
    case TState::Connected:
      return FLink.PollLocked();
    case TState::Closed:
      break;
  }
  return TNotice::None;
}

void TTCPClientInterface::PumpEvents() {
  TIntf<ICommunicationInterface> keep = Self();  // a handler may drop the last reference
  TNotice notice = TNotice::None;
  {
    TLockGuard guard(TransportLock());
    notice = CheckSocket();
  }
  FLink.Deliver(notice);
}

// --- connection ---

bool TTCPClientInterface::GetActive() {
  return FLink.Active();
}

bool TTCPClientInterface::Open() {
  if (GetActive() || FOpening) return GetActive();
  TIntf<ICommunicationInterface> keep = Self();
  bool result = false;
  try {
    FOpening = true;
    const std::uint32_t deadline = GetTickCount32() + kOpenTimeoutMs;
    TNotice notice = TNotice::None;
    {
      TLockGuard guard(TransportLock());
      // An attempt left running by an earlier Open is waited for, not restarted.
      if (FState == TState::Closed) notice = StartAttempt();
    }
    FLink.Deliver(notice);
    for (std::uint32_t left = 0;
         FOpening && !GetActive() && (left = TicksLeft(GetTickCount32(), deadline)) > 0;) {
      // Each step ends as soon as the connect completes or a message comes in.
      WaitForMessage(std::min(left, kOpenStepMs), ConnectingFd(), POLLOUT);
      ProcessMessages();
      // Events go to the creating thread; a transport opened elsewhere looks itself.
      if (!FTarget->OnOwnerThread()) PumpEvents();
    }
    result = GetActive();
    TLockGuard guard(TransportLock());
    if (!result && FState != TState::Closed) Fail(NoAnswerReason(kOpenTimeoutMs));
  } catch (const std::exception& e) {
    TLockGuard guard(TransportLock());
    Fail(e.what());  // no thread for the look-up, no memory
    result = false;
  } catch (...) {
    TLockGuard guard(TransportLock());
    Fail("unexpected error");
    result = false;
  }
  FOpening = false;
  return result;
}

bool TTCPClientInterface::Close(bool /*force*/) {
  const TIntf<ICommunicationInterface> keep = Self();  // goes on after announcing
  TNotice notice = TNotice::None;
  {
    TLockGuard guard(TransportLock());
    notice = FLink.CloseLocked();
    DropAttempt();
  }
  FLink.Deliver(notice);
  return !GetActive();
}

void TTCPClientInterface::SetPermitted(bool permitted) {
  TSockClientCoreInterface::SetPermitted(permitted);
  if (!permitted) Close(false);
}

std::int32_t TTCPClientInterface::Write(const TBytes& data) {
  return FLink.Write(data);
}

void TTCPClientInterface::Read(TBytes& data) {
  FLink.Read(data);
}

std::int32_t TTCPClientInterface::GetReceivedCount() {
  return FLink.ReceivedCount();
}

bool TTCPClientInterface::WaitReceived(std::int32_t timeout) {
  return FLink.WaitReceived(timeout);
}

// --- settings ---

std::string TTCPClientInterface::GetHost() {
  TLockGuard guard(TransportLock());
  return FHost;
}

void TTCPClientInterface::SetHost(const std::string& host) {
  {
    TLockGuard guard(TransportLock());
    FHost = host;
  }
  AnnounceSettingsChanged();
}

std::uint16_t TTCPClientInterface::GetPort() {
  TLockGuard guard(TransportLock());
  return FPort;
}

void TTCPClientInterface::SetPort(std::uint16_t port) {
  {
    TLockGuard guard(TransportLock());
    FPort = port;
  }
  AnnounceSettingsChanged();
}

std::int32_t TTCPClientInterface::GetLocalPort() {
  TLockGuard guard(TransportLock());
  return FConnectionSocket.LocalPort();
}

std::string TTCPClientInterface::GetDescription() {
  TLockGuard guard(TransportLock());
  return "TCPC " + FHost + ":" + std::to_string(FPort);
}

std::string TTCPClientInterface::GetConnectionString() {
  TLockGuard guard(TransportLock());
  return std::string("provider=") + kTCPClientProvider + ";host=" + FHost +
         ";port=" + std::to_string(FPort);
}

void TTCPClientInterface::SetConnectionString(const std::string& text) {
  const TIntf<ICommunicationInterface> keep = Self();  // goes on after announcing
  TSockClientCoreInterface::SetConnectionString(text);
  std::string host, port, active;
  bool hasHost = FindConnectionValue(text, "host", host);
  bool hasPort = FindConnectionValue(text, "port", port);
  bool hasActive = FindConnectionValue(text, "active", active);
  // Converted before anything changes, so a bad value leaves the settings whole.
  std::uint16_t portNumber = hasPort ? ParsePort(port) : 0;

  bool wanted = GetActive();
  SetActive(false);
  {
    TLockGuard guard(TransportLock());
    // An attempt still under way would connect with the old settings.
    if (FState != TState::Connected) DropAttempt();
    if (hasHost) FHost = host;
    if (hasPort) FPort = portNumber;
  }
  if (hasActive) wanted = SameText(active, "TRUE") || active == "1";
  SetActive(wanted);
  AnnounceSettingsChanged();
}
