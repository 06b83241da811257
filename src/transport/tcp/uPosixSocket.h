// The small POSIX socket layer beneath the TCP client transport: address
// resolution, a non-blocking stream socket, and a name look-up that runs on a
// thread of its own so that a slow resolver cannot hold up the caller.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct TSocketAddress {
  sockaddr_storage Addr{};
  socklen_t Length = 0;
};

// Resolves host:port for a TCP connection. With `numericOnly` only address
// literals (dotted quads, IPv6) are accepted, without any look-up. Returns 0
// or a getaddrinfo error code; an empty host is EAI_NONAME. On failure
// `reason` (when given) gets the reason in lower case ("name or service not
// known"), taken on the resolving thread so that errno is its own.
int ResolveAddresses(const std::string& host, std::uint16_t port, bool numericOnly,
                     std::vector<TSocketAddress>& addresses, std::string* reason = nullptr);

// The function a THostLookup resolves with; ResolveAddresses unless a test
// has set another (one that answers late, for instance). Gives the one it
// replaces; nullptr restores ResolveAddresses.
using THostResolver = int (*)(const std::string& host, std::uint16_t port, bool numericOnly,
                              std::vector<TSocketAddress>& addresses, std::string* reason);
THostResolver SetHostResolver(THostResolver resolver);

// Runs the resolver on a thread of its own. A look-up that is no longer
// wanted is let go rather than waited for (a resolver may take many seconds
// to give up on a name server that does not answer): its thread touches only
// state it shares with no one else and ends on its own.
class THostLookup {
 public:
  THostLookup() = default;
  ~THostLookup() { Abandon(); }
  THostLookup(const THostLookup&) = delete;
  THostLookup& operator=(const THostLookup&) = delete;

  // `done` runs on the look-up thread once the result is in, also after
  // Abandon; it must not rely on the owner still being there.
  void Start(const std::string& host, std::uint16_t port, std::function<void()> done);
  bool Started() const { return FThread.joinable(); }
  bool Finished() const { return FResult && FResult->Finished.load(); }
  // Hands over the result of a finished look-up (waiting for its thread to
  // end): 0 or the getaddrinfo error with its reason; false when none was
  // started or it has not finished.
  bool Take(int& error, std::string& reason, std::vector<TSocketAddress>& addresses);
  // Lets a look-up go without waiting for it; its result is dropped.
  void Abandon();

 private:
  struct TResult {
    std::atomic<bool> Finished{false};
    int Error = 0;  // written before Finished is set
    std::string Reason;
    std::vector<TSocketAddress> Addresses;
  };

  std::thread FThread;
  std::shared_ptr<TResult> FResult;
};

// One non-blocking TCP socket; closed by its destructor.
class TPosixSocket {
 public:
  TPosixSocket() = default;
  ~TPosixSocket() { Close(); }
  TPosixSocket(const TPosixSocket&) = delete;
  TPosixSocket& operator=(const TPosixSocket&) = delete;

  bool Valid() const { return FFd >= 0; }
  int Fd() const { return FFd; }

  // Creates the socket and starts connecting. 0 when connected at once,
  // EINPROGRESS while the connection is under way, else the errno value.
  int StartConnect(const TSocketAddress& address);
  // Outcome of a connection under way (SO_ERROR): 0 = connected.
  int PendingError() const;
  // Bytes waiting to be read; -1 on error.
  int BytesWaiting() const;
  // True when nothing waits and the peer has closed or the socket failed.
  bool PeerGone() const;
  // Sends what the socket takes now; -1 with `error` set on failure.
  long SendSome(const std::uint8_t* data, std::size_t length, int& error);
  // Receives what waits now; 0 = peer closed, -1 with `error` set on failure.
  long ReceiveSome(std::uint8_t* data, std::size_t length, int& error);
  // Waits at most `timeoutMs` until the socket takes data; false on time-out or error.
  bool WaitWritable(int timeoutMs) const;
  // Local port of the socket; -1 when there is none.
  int LocalPort() const;
  void Close();

 private:
  int FFd = -1;
};
