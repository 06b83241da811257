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

// Why an open connection ended, as the last error says it.
std::string LostReason(int error) {
  if (error == 0 || error == EPIPE) return "connection closed by the module";
  if (error == ECONNRESET) return "connection reset";
  return ErrnoText(error);
}

// "no answer within 1.5 s"
std::string NoAnswerReason(std::uint32_t timeoutMs) {
  return "no answer within " + std::to_string(timeoutMs / 1000) + "." +
         std::to_string(timeoutMs % 1000 / 100) + " s";
}
// Most bytes one Read hands over. The socket's queue may hold tens of MB
// (the kernel grows it for a fast sender); the rest waits for the next Read,
// so a flood cannot make the program's memory follow the queue.
constexpr std::size_t kMaxReadBlock = 256 * 1024;

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
  if (!connectionString.empty()) SetConnectionString(connectionString);
}

TTCPClientInterface::TTCPClientInterface(TXmlNode node, TIntf<IInterface> owner)
    : TSockClientCoreInterface(std::string()), FTarget(std::make_shared<TMessageTarget>()) {
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

void TTCPClientInterface::Deliver(TNotice notice) {
  switch (notice) {
    case TNotice::Opened:
      AnnounceOpened();
      break;
    case TNotice::Closed:
      AnnounceClosed();
      break;
    case TNotice::DataReceived:
      AnnounceDataReceived(Self());
      break;
    case TNotice::None:
      break;
  }
}

void TTCPClientInterface::DropAttempt() {
  FPollSource.reset();
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
  FState = TState::Connected;
  FAddresses.clear();
  FNextAddress = 0;
  FAttemptFailure.clear();
  SetLastError(std::string());
  FPollSource = std::make_unique<TPollSource>(*FTarget, FConnectionSocket.Fd(),
                                              static_cast<short>(POLLIN | POLLRDHUP),
                                              [this](short) { PumpEvents(); });
  FOpening = false;
  return TNotice::Opened;
}

TTCPClientInterface::TNotice TTCPClientInterface::Disconnect() {
  bool wasConnected = FState == TState::Connected;
  FPollSource.reset();
  FConnectionSocket.Close();
  FState = TState::Closed;
  FOpening = false;
  return wasConnected ? TNotice::Closed : TNotice::None;
}

TTCPClientInterface::TNotice TTCPClientInterface::Lose(int error) {
  if (FState == TState::Connected) Fail(LostReason(error));
  return Disconnect();
}

// Looks at the socket afresh rather than trusting a poll result that may be
// older than the last change of state.
TTCPClientInterface::TNotice TTCPClientInterface::CheckSocket() {
  switch (FState.load()) {
    case TState::Resolving:
      return FinishLookup();
    case TState::Connecting: {
      pollfd p{FConnectionSocket.Fd(), POLLOUT, 0};
      if (poll(&p, 1, 0) <= 0 || p.revents == 0) return TNotice::None;
      int error = FConnectionSocket.PendingError();
      if (error == 0 && (p.revents & POLLOUT) != 0) return Connected();
      FAttemptFailure = error != 0 ? ErrnoText(error) : "cannot connect";
      FConnectionSocket.Close();
      return ConnectNext();
    }
    case TState::Connected:
      if (FConnectionSocket.BytesWaiting() > 0) return TNotice::DataReceived;
      return FConnectionSocket.PeerGone() ? Lose(FConnectionSocket.PendingError()) : TNotice::None;
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
  Deliver(notice);
}

// --- connection ---

bool TTCPClientInterface::GetActive() {
  return FState == TState::Connected;
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
    Deliver(notice);
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
    notice = Disconnect();
    DropAttempt();
  }
  Deliver(notice);
  return !GetActive();
}

void TTCPClientInterface::SetPermitted(bool permitted) {
  TSockClientCoreInterface::SetPermitted(permitted);
  if (!permitted) Close(false);
}

std::int32_t TTCPClientInterface::Write(const TBytes& data) {
  std::size_t sent = 0;
  TNotice notice = TNotice::None;
  {
    TLockGuard guard(TransportLock());
    if (FState != TState::Connected) return 0;
    Trace(kTraceSent, data);
    while (sent < data.size()) {
      int error = 0;
      long n = FConnectionSocket.SendSome(data.data() + sent, data.size() - sent, error);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
        // The socket's buffer is full: wait, bounded, until it takes more.
        if (FConnectionSocket.WaitWritable(kWriteStallMs)) continue;
        // A reset or error met while waiting ends the connection like a
        // failed send; a peer that only reads slowly keeps it.
        const int pending = FConnectionSocket.PendingError();
        if (pending != 0 || FConnectionSocket.PeerGone()) notice = Lose(pending);
        break;
      }
      notice = Lose(n < 0 ? error : EPIPE);  // a failed send leaves no half-open connection
      break;
    }
  }
  Deliver(notice);
  return static_cast<std::int32_t>(std::min<std::size_t>(sent, INT32_MAX));
}

void TTCPClientInterface::Read(TBytes& data) {
  data.clear();
  TNotice notice = TNotice::None;
  {
    TLockGuard guard(TransportLock());
    if (FState == TState::Connected) {
      // The bytes waiting now and no more, so that a peer that never stops
      // sending cannot hold the lock or grow the block without end. With
      // none counted, one receive still looks and so meets the stream's end.
      const int waiting = FConnectionSocket.BytesWaiting();
      const std::size_t limit =
          waiting > 0 ? std::min(static_cast<std::size_t>(waiting), kMaxReadBlock) : 4096;
      data.resize(limit);
      std::size_t got = 0;
      while (got < limit) {
        int error = 0;
        long n = FConnectionSocket.ReceiveSome(data.data() + got, limit - got, error);
        if (n > 0) {
          got += static_cast<std::size_t>(n);
          continue;
        }
        if (n == 0 || (error != EAGAIN && error != EWOULDBLOCK)) notice = Lose(n == 0 ? 0 : error);
        break;
      }
      data.resize(got);
    }
    Trace(kTraceReceived, data);
  }
  Deliver(notice);
}

std::int32_t TTCPClientInterface::GetReceivedCount() {
  std::int32_t count = 0;
  TNotice notice = TNotice::None;
  {
    TLockGuard guard(TransportLock());
    if (FState != TState::Connected) return 0;
    count = std::max(FConnectionSocket.BytesWaiting(), 0);
    if (count == 0 && FConnectionSocket.PeerGone()) notice = Lose(FConnectionSocket.PendingError());
  }
  Deliver(notice);
  return count;
}

bool TTCPClientInterface::WaitReceived(std::int32_t timeout) {
  const TIntf<ICommunicationInterface> keep = Self();  // a loss is announced on the way
  std::uint32_t deadline = GetTickCount32() + static_cast<std::uint32_t>(std::max(timeout, 0));
  for (;;) {
    if (GetReceivedCount() > 0) return true;
    int fd = -1;
    {
      TLockGuard guard(TransportLock());
      if (FState == TState::Connected) fd = FConnectionSocket.Fd();
    }
    std::uint32_t left = TicksLeft(GetTickCount32(), deadline);
    if (fd < 0 || left == 0) return false;
    // The poll ends at the arrival (or at the peer's close, which the next
    // GetReceivedCount turns into a closed transport).
    pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
    poll(&p, 1, static_cast<int>(std::min<std::uint32_t>(left, 1000)));
  }
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
