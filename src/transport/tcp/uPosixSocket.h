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

#include "transport/uBytePort.h"

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

  bool Valid() const { return FFd.load() >= 0; }
  int Fd() const { return FFd.load(); }

  // Creates the socket and starts connecting. 0 when connected at once,
  // EINPROGRESS while the connection is under way, else the errno value.
  int StartConnect(const TSocketAddress& address);
  // Outcome of a connection under way (SO_ERROR): 0 = connected.
  int PendingError() const;
  enum class TConnectState { Pending, Connected, Failed };
  // Looks, without waiting, whether the connection under way has completed;
  // `error` gets the errno of a failure (0 when the socket gave none).
  TConnectState ConnectState(int& error) const;
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
  // Waits at most `timeoutMs` for bytes or the end of the stream; false on
  // time-out.
  bool WaitReadable(int timeoutMs) const;
  // Local port of the socket; -1 when there is none.
  int LocalPort() const;
  void Close();

 private:
  // Atomic: a wait may look at it while the owner closes.
  std::atomic<int> FFd{-1};
};

// The byte port of a TCP connection. The connection is made in steps by the
// transport on Socket() (look-up, attempts); Open then takes the connected
// socket as the port's line. Losses are named after SetTarget ("host:port").
class TSocketPort final : public IBytePort {
 public:
  // Write gives up when the socket takes nothing for this long.
  static constexpr int kWriteStallMs = 1000;
  // Most bytes one Read hands over. The socket's queue may hold tens of MB
  // (the kernel grows it for a fast sender); the rest waits for the next
  // Read, so a flood cannot make the program's memory follow the queue.
  static constexpr std::size_t kMaxReadBlock = 256 * 1024;
  // Bytes a Read takes when none were counted: it looks for the stream's
  // end, and what came meanwhile is counted by the next Read. Small, so
  // the look before each request costs no page of its own.
  static constexpr std::size_t kProbeBlock = 256;

  TPosixSocket& Socket() { return FSocket; }
  void SetTarget(std::string target) { FTarget = std::move(target); }

  // Done when the socket's connection has completed.
  TPortResult Open() override;
  bool Close() override;
  TPortResult State() override;
  TPortResult Write(const TBytes& data) override;
  TPortResult Read(TBytes& data) override;
  TPortResult BytesWaiting() override;
  TPortResult WaitReadable(std::uint32_t deadline) override;

 private:
  TPortResult Lost(int error) const;

  TPosixSocket FSocket;
  std::string FTarget;
  std::atomic<bool> FOpen{false};
};
