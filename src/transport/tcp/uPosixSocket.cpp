#include "transport/tcp/uPosixSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>

#include "framework/uErrors.h"
#include "framework/uTick.h"

namespace {

std::string ResolveErrorText(int rc) {
  if (rc == EAI_SYSTEM) return ErrnoText(errno);
  return ReasonText(gai_strerror(rc));
}

// A plain IPv4 or IPv6 address (no zone) read directly: the same one address
// the resolver would give, without its machinery, which is a noticeable part
// of a short run. Everything else (names, zones, the old short IPv4 forms)
// goes to the resolver.
bool PlainAddressLiteral(const std::string& host, std::uint16_t port, TSocketAddress& address) {
  address = TSocketAddress{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address.Addr);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    address.Length = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.Addr);
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    address.Length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

}  // namespace

int ResolveAddresses(const std::string& host, std::uint16_t port, bool numericOnly,
                     std::vector<TSocketAddress>& addresses, std::string* reason) {
  addresses.clear();
  if (host.empty()) {
    if (reason != nullptr) *reason = "no host given";
    return EAI_NONAME;
  }
  if (TSocketAddress literal; PlainAddressLiteral(host, port, literal)) {
    addresses.push_back(literal);
    return 0;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    if (reason != nullptr) *reason = ResolveErrorText(rc);
    return rc;
  }
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    TSocketAddress address;
    std::memcpy(&address.Addr, ai->ai_addr, ai->ai_addrlen);
    address.Length = ai->ai_addrlen;
    addresses.push_back(address);
  }
  freeaddrinfo(list);
  if (!addresses.empty()) return 0;
  if (reason != nullptr) *reason = ResolveErrorText(EAI_NONAME);
  return EAI_NONAME;
}

namespace {

std::atomic<THostResolver> gHostResolver{nullptr};

}  // namespace

THostResolver SetHostResolver(THostResolver resolver) {
  return gHostResolver.exchange(resolver);
}

void THostLookup::Start(const std::string& host, std::uint16_t port, std::function<void()> done) {
  Abandon();
  THostResolver resolve = gHostResolver.load();
  if (resolve == nullptr) resolve = &ResolveAddresses;
  FResult = std::make_shared<TResult>();
  FThread = std::thread([result = FResult, resolve, host, port, done = std::move(done)] {
    std::vector<TSocketAddress> addresses;
    std::string reason;
    int error = EAI_FAIL;
    try {
      error = resolve(host, port, false, addresses, &reason);
    } catch (const std::exception& e) {  // only memory can run out here
      addresses.clear();
      reason = e.what();
    } catch (...) {  // a thread body: nothing may escape it
      addresses.clear();
      reason = "look-up failed";
    }
    result->Error = error;
    result->Reason = std::move(reason);
    result->Addresses = std::move(addresses);
    result->Finished = true;
    try {
      if (done) done();
    } catch (...) {  // a thread body: nothing may escape it; `done` only posts a wake-up
    }
  });
}

bool THostLookup::Take(int& error, std::string& reason, std::vector<TSocketAddress>& addresses) {
  if (!Finished()) return false;
  FThread.join();  // it has only its wake-up left to send
  error = FResult->Error;
  reason = std::move(FResult->Reason);
  addresses = std::move(FResult->Addresses);
  FResult.reset();
  return true;
}

void THostLookup::Abandon() {
  if (FThread.joinable()) FThread.detach();
  FResult.reset();
}

int TPosixSocket::StartConnect(const TSocketAddress& address) {
  Close();
  const int fd = socket(address.Addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  FFd = fd;
  // Request/response traffic of a few bytes: send each packet at once.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address.Addr), address.Length) == 0) return 0;
  int error = errno;
  return error == EINTR ? EINPROGRESS : error;
}

int TPosixSocket::PendingError() const {
  if (FFd < 0) return EBADF;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(FFd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

TPosixSocket::TConnectState TPosixSocket::ConnectState(int& error) const {
  error = 0;
  pollfd p{Fd(), POLLOUT, 0};
  if (poll(&p, 1, 0) <= 0 || p.revents == 0) return TConnectState::Pending;
  error = PendingError();
  if (error == 0 && (p.revents & POLLOUT) != 0) return TConnectState::Connected;
  return TConnectState::Failed;
}

int TPosixSocket::BytesWaiting() const {
  if (FFd < 0) return -1;
  int count = 0;
  if (ioctl(FFd, FIONREAD, &count) != 0) return -1;
  return count;
}

bool TPosixSocket::PeerGone() const {
  if (FFd < 0) return true;
  pollfd p{FFd, static_cast<short>(POLLIN | POLLRDHUP), 0};
  if (poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL | POLLRDHUP)) return BytesWaiting() <= 0;
  // Readable with nothing to read: the end of the stream.
  return (p.revents & POLLIN) != 0 && BytesWaiting() == 0;
}

long TPosixSocket::SendSome(const std::uint8_t* data, std::size_t length, int& error) {
  error = 0;
  if (FFd < 0) {
    error = EBADF;
    return -1;
  }
  for (;;) {
    ssize_t sent = send(FFd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<long>(sent);
    if (errno == EINTR) continue;
    error = errno;
    return -1;
  }
}

long TPosixSocket::ReceiveSome(std::uint8_t* data, std::size_t length, int& error) {
  error = 0;
  if (FFd < 0) {
    error = EBADF;
    return -1;
  }
  for (;;) {
    ssize_t got = recv(FFd, data, length, MSG_DONTWAIT);
    if (got >= 0) return static_cast<long>(got);
    if (errno == EINTR) continue;
    error = errno;
    return -1;
  }
}

bool TPosixSocket::WaitWritable(int timeoutMs) const {
  if (FFd < 0) return false;
  pollfd p{FFd, POLLOUT, 0};
  int rc = poll(&p, 1, timeoutMs);
  return rc > 0 && (p.revents & POLLOUT) != 0 && (p.revents & (POLLERR | POLLNVAL)) == 0;
}

bool TPosixSocket::WaitReadable(int timeoutMs) const {
  const int fd = Fd();
  if (fd < 0) return false;
  // Also ends at the peer's close, which the next look at the socket finds.
  pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
  return poll(&p, 1, timeoutMs) > 0;
}

int TPosixSocket::LocalPort() const {
  if (FFd < 0) return -1;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (getsockname(FFd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
  if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  return -1;
}

void TPosixSocket::Close() {
  const int fd = FFd.exchange(-1);
  if (fd >= 0) ::close(fd);
}

// --- TSocketPort ---

namespace {

// Why an open connection ended, as the last error says it.
std::string LostReason(int error) {
  if (error == 0 || error == EPIPE) return "connection closed by the module";
  if (error == ECONNRESET) return "connection reset";
  return ErrnoText(error);
}

}  // namespace

TPortResult TSocketPort::Lost(int error) const {
  return TPortResult::LineLost(error, FTarget + ": " + LostReason(error));
}

TPortResult TSocketPort::Open() {
  int error = 0;
  if (FSocket.Valid() && FSocket.ConnectState(error) == TPosixSocket::TConnectState::Connected) {
    FOpen = true;
    return TPortResult::Done();
  }
  if (error == 0) error = ENOTCONN;
  return TPortResult::Failed(error, FTarget + ": " + ErrnoText(error));
}

bool TSocketPort::Close() {
  FOpen = false;
  FSocket.Close();
  return true;
}

TPortResult TSocketPort::State() {
  if (FOpen) return TPortResult::Done();
  return TPortResult::Failed(ENOTCONN, "not connected");  // asked without the lock: no target
}

TPortResult TSocketPort::Write(const TBytes& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    int error = 0;
    long n = FSocket.SendSome(data.data() + sent, data.size() - sent, error);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
      // The socket's buffer is full: wait, bounded, until it takes more.
      if (FSocket.WaitWritable(kWriteStallMs)) continue;
      // A reset or error met while waiting ends the connection like a
      // failed send; a peer that only reads slowly keeps it.
      const int pending = FSocket.PendingError();
      TPortResult result = pending != 0 || FSocket.PeerGone()
                               ? Lost(pending)
                               : TPortResult::Failed(EAGAIN, FTarget + ": the peer takes nothing");
      result.Count = sent;
      return result;
    }
    // A failed send leaves no half-open connection.
    TPortResult result = Lost(n < 0 ? error : EPIPE);
    result.Count = sent;
    return result;
  }
  return TPortResult::Done(sent);
}

TPortResult TSocketPort::Read(TBytes& data) {
  // The bytes waiting now and no more, so that a peer that never stops
  // sending cannot hold the lock or grow the block without end. With none
  // counted, one receive still looks and so meets the stream's end.
  const int waiting = FSocket.BytesWaiting();
  const std::size_t limit =
      waiting > 0 ? std::min(static_cast<std::size_t>(waiting), kMaxReadBlock) : kProbeBlock;
  data.resize(limit);
  std::size_t got = 0;
  TPortResult result = TPortResult::Done();
  while (got < limit) {
    int error = 0;
    long n = FSocket.ReceiveSome(data.data() + got, limit - got, error);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || (error != EAGAIN && error != EWOULDBLOCK)) result = Lost(n == 0 ? 0 : error);
    break;
  }
  data.resize(got);
  result.Count = got;
  return result;
}

TPortResult TSocketPort::BytesWaiting() {
  const int count = std::max(FSocket.BytesWaiting(), 0);
  if (count == 0 && FSocket.PeerGone()) return Lost(FSocket.PendingError());
  return TPortResult::Done(static_cast<std::size_t>(count));
}

TPortResult TSocketPort::WaitReadable(std::uint32_t deadline) {
  const std::uint32_t left = TicksLeft(GetTickCount32(), deadline);
  if (left > 0 && FOpen)
    FSocket.WaitReadable(static_cast<int>(std::min<std::uint32_t>(left, 1000)));
  return TPortResult::Done(static_cast<std::size_t>(std::max(FSocket.BytesWaiting(), 0)));
}
