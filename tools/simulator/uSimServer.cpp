#include "simulator/uSimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/uTick.h"

namespace {

constexpr int kTcpChannel = 1;
constexpr int kPtyChannel = 2;
constexpr int kIdlePollMs = 1000;
// Bytes a terminal without a user never reads are dropped past this.
constexpr std::size_t kOutLimit = 0x10000;

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

TSimServer::TSimServer(TModuleSimulator& module, TSimServerOptions options, std::ostream* log)
    : FModule(module), FOptions(std::move(options)), FLog(log) {
  FClient.Channel = kTcpChannel;
  FClient.IsSocket = true;
  FPty.Channel = kPtyChannel;
  if (pipe(FWake) == 0) {
    SetNonBlocking(FWake[0]);
    SetNonBlocking(FWake[1]);
  }
  // New writes from other threads (input changes) must wake the loop.
  const int wakeFd = FWake[1];
  FModule.SetOnWrites([wakeFd] {
    if (wakeFd >= 0) {
      const char byte = 1;
      [[maybe_unused]] const ssize_t n = write(wakeFd, &byte, 1);
    }
  });
}

TSimServer::~TSimServer() {
  FModule.SetOnWrites(nullptr);
  for (int fd : {FClient.Fd, FPty.Fd, FPtySlave, FListener, FWake[0], FWake[1]}) {
    if (fd >= 0) close(fd);
  }
}

bool TSimServer::Open(std::string& error) {
  if (FWake[0] < 0) {
    error = "cannot create the wake pipe";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(FOptions.Host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    error = "cannot resolve host " + FOptions.Host;
    return false;
  }
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, sizeof(address));
  freeaddrinfo(found);
  address.sin_port = htons(static_cast<std::uint16_t>(FOptions.Port));

  FListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (FListener < 0) {
    error = ErrnoText("socket");
    return false;
  }
  const int yes = 1;
  setsockopt(FListener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  if (bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    error = ErrnoText("bind " + FOptions.Host + ":" + std::to_string(FOptions.Port));
    return false;
  }
  if (listen(FListener, 4) != 0) {
    error = ErrnoText("listen");
    return false;
  }
  socklen_t length = sizeof(address);
  getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length);
  FPort = ntohs(address.sin_port);
  return !FOptions.Pty || OpenPty(error);
}

bool TSimServer::OpenPty(std::string& error) {
  FPty.Fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (FPty.Fd < 0 || grantpt(FPty.Fd) != 0 || unlockpt(FPty.Fd) != 0) {
    error = ErrnoText("pseudo-terminal");
    return false;
  }
  char name[128] = {};
  if (ptsname_r(FPty.Fd, name, sizeof(name)) != 0) {
    error = ErrnoText("ptsname");
    return false;
  }
  FPtyPath = name;
  FPtySlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (FPtySlave < 0) {
    error = ErrnoText("open " + FPtyPath);
    return false;
  }
  // Raw: no echo of our own answers, no CR/LF translation of packet bytes.
  termios settings{};
  tcgetattr(FPtySlave, &settings);
  cfmakeraw(&settings);
  tcsetattr(FPtySlave, TCSANOW, &settings);
  FModule.OpenChannel(kPtyChannel);
  return true;
}

void TSimServer::SetLineInput(int fd, std::function<void(const std::string&)> onLine,
                              std::function<void()> onEnd) {
  FLineFd = fd;
  FOnLine = std::move(onLine);
  FOnLineEnd = std::move(onEnd);
}

void TSimServer::Stop() {
  FStop = true;
  if (FWake[1] >= 0) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = write(FWake[1], &byte, 1);
  }
}

void TSimServer::Note(const std::string& text) {
  if (FLog != nullptr) *FLog << text << std::endl;
}

void TSimServer::PrintLog() {
  for (const TSimLogEntry& entry : FModule.TakeLog()) Note(FormatSimLogEntry(entry));
}

// --- Writes ------------------------------------------------------------------

void TSimServer::Schedule(TLink& link, const TSimWrite& write, std::uint32_t now) {
  // Writes of one link keep their order; a delay counts from the write before.
  const std::uint32_t start =
      link.Pending.empty() || TickAfter(now, link.LastDue) ? now : link.LastDue;
  link.LastDue = start + write.DelayMs;
  link.Pending.push_back({link.LastDue, write.Bytes, write.Close});
}

void TSimServer::TakeWrites(std::uint32_t now) {
  for (const TSimWrite& write : FModule.TakeWrites()) {
    for (TLink* link : {&FClient, &FPty}) {
      if (link->Fd < 0) continue;
      if (write.Channel == TSimWrite::kAllChannels || write.Channel == link->Channel) {
        Schedule(*link, write, now);
      }
    }
  }
}

void TSimServer::Flush(TLink& link, std::uint32_t now) {
  if (link.Fd < 0) return;
  while (!link.Out.empty() ||
         (!link.Pending.empty() && !TickAfter(link.Pending.front().Due, now))) {
    if (link.Out.empty()) {
      TPending next = std::move(link.Pending.front());
      link.Pending.pop_front();
      if (next.Close) {
        link.CloseWhenSent = true;
        break;
      }
      link.Out = std::move(next.Bytes);
      if (link.Out.empty()) continue;
    }
    const ssize_t n = link.IsSocket ? send(link.Fd, link.Out.data(), link.Out.size(), MSG_NOSIGNAL)
                                    : write(link.Fd, link.Out.data(), link.Out.size());
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      // Only a terminal nobody reads drops its backlog; a TCP client gets
      // every byte in order (dropping part of a stream would corrupt it).
      if (!link.IsSocket && link.Out.size() > kOutLimit) link.Out.clear();
      return;
    }
    if (n < 0) {
      if (link.IsSocket) CloseLink(link, "client gone");
      link.Out.clear();
      return;
    }
    link.Out.erase(link.Out.begin(), link.Out.begin() + n);
  }
  if (link.CloseWhenSent && link.Out.empty()) {
    CloseLink(link, "closed by fault injection");
  }
}

void TSimServer::CloseLink(TLink& link, const char* why) {
  if (link.IsSocket) {
    if (link.Fd >= 0) close(link.Fd);
    link.Fd = -1;
    FModule.CloseChannel(link.Channel);
    Note(std::string("client disconnected (") + why + ")");
  } else {
    // A terminal cannot be hung up for its user; its channel starts afresh.
    FModule.OpenChannel(link.Channel);
    Note(std::string("terminal channel reset (") + why + ")");
  }
  link.Pending.clear();
  link.Out.clear();
  link.CloseWhenSent = false;
}

// --- Reads -------------------------------------------------------------------

void TSimServer::Accept() {
  const int fd = accept4(FListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  const int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
  FClient.Fd = fd;
  FClient.Pending.clear();
  FClient.Out.clear();
  FClient.CloseWhenSent = false;
  FModule.OpenChannel(kTcpChannel);
  Note("client connected");
}

void TSimServer::ReadLink(TLink& link) {
  std::uint8_t buffer[4096];
  const ssize_t n = read(link.Fd, buffer, sizeof(buffer));
  if (n > 0) {
    FModule.Receive(link.Channel, TBytes(buffer, buffer + n), GetTickCount32());
  } else if (link.IsSocket && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
    CloseLink(link, n == 0 ? "end of stream" : std::strerror(errno));
  }
}

void TSimServer::ReadLineInput() {
  char buffer[1024];
  const ssize_t n = read(FLineFd, buffer, sizeof(buffer));
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    if (!FLineBuffer.empty() && FOnLine) FOnLine(FLineBuffer);
    FLineBuffer.clear();
    FLineFd = -1;
    if (FOnLineEnd) FOnLineEnd();
    return;
  }
  FLineBuffer.append(buffer, static_cast<std::size_t>(n));
  for (std::size_t end; (end = FLineBuffer.find('\n')) != std::string::npos;) {
    std::string line = FLineBuffer.substr(0, end);
    FLineBuffer.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (FOnLine) FOnLine(line);
  }
}

// --- Loop --------------------------------------------------------------------

int TSimServer::PollTimeout(std::uint32_t now) const {
  std::uint32_t wait = kIdlePollMs;
  for (const TLink* link : {&FClient, &FPty}) {
    if (link->Fd >= 0 && link->Out.empty() && !link->Pending.empty()) {
      wait = std::min(wait, TicksLeft(now, link->Pending.front().Due));
    }
  }
  if (const auto deadline = FModule.NextDeadline()) {
    wait = std::min(wait, TicksLeft(now, *deadline));
  }
  return static_cast<int>(wait);
}

void TSimServer::Run() {
  while (!FStop) {
    const std::uint32_t now = GetTickCount32();
    FModule.Tick(now);
    TakeWrites(now);
    Flush(FClient, now);
    Flush(FPty, now);
    PrintLog();

    std::vector<pollfd> fds;
    fds.push_back({FWake[0], POLLIN, 0});
    const bool listening = FClient.Fd < 0;
    if (listening) fds.push_back({FListener, POLLIN, 0});
    const std::size_t clientAt = fds.size();
    if (FClient.Fd >= 0) {
      fds.push_back(
          {FClient.Fd, static_cast<short>(POLLIN | (FClient.Out.empty() ? 0 : POLLOUT)), 0});
    }
    const std::size_t ptyAt = fds.size();
    if (FPty.Fd >= 0) {
      fds.push_back({FPty.Fd, static_cast<short>(POLLIN | (FPty.Out.empty() ? 0 : POLLOUT)), 0});
    }
    const std::size_t lineAt = fds.size();
    if (FLineFd >= 0) fds.push_back({FLineFd, POLLIN, 0});
    const std::size_t stopAt = fds.size();
    if (FStopFd >= 0) fds.push_back({FStopFd, POLLIN, 0});

    if (poll(fds.data(), fds.size(), PollTimeout(now)) <= 0) continue;
    if (stopAt < fds.size() && fds[stopAt].revents != 0) break;

    if (fds[0].revents != 0) {
      char drain[64];
      while (read(FWake[0], drain, sizeof(drain)) > 0) {
      }
    }
    if (listening && fds[1].revents != 0) Accept();
    if (!listening && FClient.Fd >= 0 && (fds[clientAt].revents & (POLLIN | POLLHUP | POLLERR))) {
      ReadLink(FClient);
    }
    if (FPty.Fd >= 0 && (fds[ptyAt].revents & POLLIN)) ReadLink(FPty);
    if (FLineFd >= 0 && lineAt < fds.size() && fds[lineAt].revents != 0) ReadLineInput();
  }
  PrintLog();
}
