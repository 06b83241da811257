#include "uLoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <stdexcept>

#include "uEmulation.h"

namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool WaitFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, ScaledMs(timeoutMs)) > 0 && (p.revents & events) != 0;
}

}  // namespace

TPeerSocket& TPeerSocket::operator=(TPeerSocket&& other) noexcept {
  if (this != &other) {
    Close();
    FFd = other.FFd;
    other.FFd = -1;
  }
  return *this;
}

bool TPeerSocket::SendAll(const TBytes& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(FFd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

TBytes TPeerSocket::ReceiveExactly(std::size_t count, int timeoutMs) {
  TBytes data;
  std::uint8_t chunk[65536];
  while (data.size() < count && WaitFor(FFd, POLLIN, timeoutMs)) {
    ssize_t n = recv(FFd, chunk, std::min(sizeof chunk, count - data.size()), 0);
    if (n <= 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  return data;
}

int TPeerSocket::RemotePort() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getpeername(FFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

void TPeerSocket::Abort() {
  if (FFd < 0) return;
  linger option{1, 0};
  setsockopt(FFd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  Close();
}

void TPeerSocket::Close() {
  if (FFd >= 0) {
    ::close(FFd);
    FFd = -1;
  }
}

TLoopbackListener::TLoopbackListener(int backlog) {
  FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(FFd, backlog) != 0 ||
      getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("loopback listener failed");
  FPort = ntohs(address.sin_port);
}

TLoopbackListener::~TLoopbackListener() {
  FFillers.clear();
  if (FFd >= 0) ::close(FFd);
}

TPeerSocket TLoopbackListener::Accept(int timeoutMs) {
  if (!WaitFor(FFd, POLLIN, timeoutMs)) return TPeerSocket();
  return TPeerSocket(accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC));
}

bool TLoopbackListener::Pending(int timeoutMs) {
  return WaitFor(FFd, POLLIN, timeoutMs);
}

// The listener's accept queue as the kernel counts it: connections waiting
// to be accepted, and the most it holds before it drops new handshakes.
namespace {

// The same from the kernel's table of TCP sockets, where a listener's queue
// columns hold the connections waiting and the limit.
bool QueueStateFromTable(std::uint16_t port, unsigned& waiting, unsigned& limit) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port));
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (state != "0A" || local.size() < 5 || local.compare(local.size() - 5, 5, wanted) != 0)
      continue;
    unsigned long limitField = 0;
    unsigned long waitingField = 0;
    if (std::sscanf(queues.c_str(), "%lx:%lx", &limitField, &waitingField) != 2) return false;
    limit = static_cast<unsigned>(limitField);
    waiting = static_cast<unsigned>(waitingField);
    return true;
  }
  return false;
}

}  // namespace

bool TLoopbackListener::QueueState(unsigned& waiting, unsigned& limit) const {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (getsockopt(FFd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
  // User-mode emulation hands back only the structure's first int.
  if (length < offsetof(tcp_info, tcpi_sacked) + sizeof info.tcpi_sacked)
    return QueueStateFromTable(FPort, waiting, limit);
  waiting = info.tcpi_unacked;  // a listener's fields stand for its queue
  limit = info.tcpi_sacked;
  return true;
}

bool TLoopbackListener::FillAcceptQueue() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  unsigned waiting = 0;
  unsigned limit = 0;
  // The kernel drops a handshake once more than `limit` wait, so fill to that
  // and no further: each filler completes, and the next attempt never will.
  while (QueueState(waiting, limit) && waiting <= limit) {
    if (FFillers.size() > limit + 1 || std::chrono::steady_clock::now() > deadline) return false;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    TPeerSocket filler(fd);
    sockaddr_in address = Loopback(FPort);
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc != 0 && errno != EINPROGRESS) return false;
    if (rc != 0 && !WaitFor(fd, POLLOUT, 5000)) return false;
    FFillers.push_back(std::move(filler));
    // The listener counts the connection once it has the last handshake packet.
    while (QueueState(waiting, limit) && waiting < FFillers.size() &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
  }
  return waiting > limit;
}

std::uint16_t UnusedLoopbackPort() {
  TLoopbackListener listener;
  return listener.Port();
}
