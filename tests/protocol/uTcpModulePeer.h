// A module at the far end of a real loopback TCP connection, served by its
// own thread: answers each request packet by a rule and can send bytes of
// its own at any time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "framework/uBytes.h"
#include "protocol/uTervan97.h"

namespace stacktest {

class TTcpModulePeer {
 public:
  // Bytes to send back for a request (empty: stay silent).
  using TRule = std::function<TBytes(const TTervanFormat97& request)>;

  explicit TTcpModulePeer(TRule rule) : FRule(std::move(rule)) {
    FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListener < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(FListener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListener, 1) != 0 ||
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ::close(FListener);
      throw std::runtime_error("listen failed");
    }
    FPort = ntohs(addr.sin_port);
    FThread = std::thread([this] { Serve(); });
  }

  ~TTcpModulePeer() {
    FStop = true;
    FThread.join();
    if (FClient >= 0) ::close(FClient);
    ::close(FListener);
  }

  TTcpModulePeer(const TTcpModulePeer&) = delete;
  TTcpModulePeer& operator=(const TTcpModulePeer&) = delete;

  std::uint16_t Port() const { return FPort; }

  // Sends bytes of the module's own once a client is connected.
  bool SendUnsolicited(const TBytes& bytes, int timeoutMs = 2000) {
    std::unique_lock<std::mutex> guard(FLock);
    if (!FConnected.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [this] { return FClient >= 0; }))
      return false;
    return WriteAll(bytes);
  }

  int Requests() const { return FRequests.load(); }

 private:
  void Serve() {
    TBytes input;
    while (!FStop) {
      pollfd fd{FClient >= 0 ? FClient : FListener, POLLIN, 0};
      if (::poll(&fd, 1, 10) <= 0) continue;
      if (FClient < 0) {
        int client = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        {
          std::lock_guard<std::mutex> guard(FLock);
          FClient = client;
        }
        FConnected.notify_all();
        continue;
      }
      std::uint8_t chunk[4096];
      ssize_t n = ::recv(FClient, chunk, sizeof chunk, 0);
      if (n <= 0) return;  // the client went away
      input.insert(input.end(), chunk, chunk + n);
      for (;;) {
        TBytes packet = ExtractPacket(input, true);
        if (packet.empty()) break;
        if (CheckPacket(packet) != 0) continue;
        ++FRequests;
        TBytes answer = FRule(ParsePacket(packet));
        std::lock_guard<std::mutex> guard(FLock);
        if (!answer.empty()) WriteAll(answer);
      }
    }
  }

  // Caller holds FLock.
  bool WriteAll(const TBytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(FClient, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  TRule FRule;
  int FListener = -1;
  int FClient = -1;
  std::uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FRequests{0};
  std::mutex FLock;
  std::condition_variable FConnected;
  std::thread FThread;
};

}  // namespace stacktest
