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

#include "framework/uTick.h"
#include "simulator/uSimCommands.h"

namespace {

constexpr int kPtyChannel = 1;
constexpr int kFirstClientChannel = 2;
constexpr std::chrono::milliseconds kIdlePoll{1000};

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::chrono::steady_clock::time_point Now() {
  return std::chrono::steady_clock::now();
}

}  // namespace

TSimServer::TSimServer(TSimBus& bus, TSimServerOptions options, std::ostream* log,
                       std::ostream* warnings)
    : TSimServer(nullptr, &bus, std::move(options), log, warnings) {}

TSimServer::TSimServer(std::unique_ptr<TSimBus> own, TSimBus* bus, TSimServerOptions options,
                       std::ostream* log, std::ostream* warnings)
    : FOwnBus(std::move(own)),
      FBus(bus != nullptr ? *bus : *FOwnBus),
      FOptions(std::move(options)),
      FLog(log),
      FWarnings(warnings),
      FNextChannel(kFirstClientChannel),
      FPty(kPtyChannel, false, FOptions) {
  if (pipe(FWake) == 0) {
    SetNonBlocking(FWake[0]);
    SetNonBlocking(FWake[1]);
  }
  // New writes from other threads (input changes) must wake the loop.
  const int wakeFd = FWake[1];
  FBus.SetOnWrites([wakeFd] {
    if (wakeFd >= 0) {
      const char byte = 1;
      [[maybe_unused]] const ssize_t n = write(wakeFd, &byte, 1);
    }
  });
}

TSimServer::TSimServer(TModuleSimulator& module, TSimServerOptions options, std::ostream* log,
                       std::ostream* warnings)
    : TSimServer(std::make_unique<TSimBus>(module), nullptr, std::move(options), log, warnings) {}

TSimServer::~TSimServer() {
  FBus.SetOnWrites(nullptr);
  for (const TLink& client : FClients) {
    if (client.Fd >= 0) close(client.Fd);
  }
  for (int fd : FListeners) close(fd);
  for (int fd : {FPty.Fd, FPtySlave, FWake[0], FWake[1]}) {
    if (fd >= 0) close(fd);
  }
}

bool TSimServer::Open(std::string& error) {
  if (FWake[0] < 0) {
    error = "cannot create the wake pipe";
    return false;
  }
  // A name may stand for several addresses ("localhost": ::1 and 127.0.0.1);
  // each gets a listener, all on the same port.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (const int status = getaddrinfo(FOptions.Host.c_str(), nullptr, &hints, &found);
      status != 0 || found == nullptr) {
    error = "cannot resolve host " + FOptions.Host + (status != 0 ? std::string(": ") + gai_strerror(status) : "");
    return false;
  }
  std::vector<sockaddr_storage> addresses;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) ||
        a->ai_addrlen > sizeof(sockaddr_storage)) {
      continue;
    }
    sockaddr_storage address{};
    std::memcpy(&address, a->ai_addr, a->ai_addrlen);
    const bool seen = std::any_of(addresses.begin(), addresses.end(), [&](const sockaddr_storage& s) {
      return std::memcmp(&s, &address, sizeof(address)) == 0;
    });
    if (!seen) addresses.push_back(address);
  }
  freeaddrinfo(found);
  if (addresses.empty()) {
    error = "cannot resolve host " + FOptions.Host + ": no IPv4 or IPv6 address";
    return false;
  }
  int port = FOptions.Port;
  for (sockaddr_storage& address : addresses) {
    const bool v6 = address.ss_family == AF_INET6;
    socklen_t size = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (v6) {
      reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(static_cast<std::uint16_t>(port));
    } else {
      reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(static_cast<std::uint16_t>(port));
    }
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      error = ErrnoText("socket");
      return false;
    }
    FListeners.push_back(fd);
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    // With several addresses an IPv6 listener must leave IPv4 to its own one.
    if (v6 && addresses.size() > 1) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof(yes));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) {
      error = ErrnoText("bind " + FOptions.Host + ":" + std::to_string(port));
      return false;
    }
    if (listen(fd, 16) != 0) {
      error = ErrnoText("listen");
      return false;
    }
    // Port 0 lets the first listener pick one; the others take the same.
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  FPort = static_cast<std::uint16_t>(port);
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
  FBus.OpenChannel(kPtyChannel);
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

void TSimServer::Warn(const std::string& text) {
  if (FWarnings != nullptr) *FWarnings << "VeltoSimulator: " << text << std::endl;
}

void TSimServer::PrintLog() {
  for (const TSimLogEntry& entry : FBus.TakeLog()) Note(FormatSimLogEntry(entry));
}

std::vector<TSimServer::TLink*> TSimServer::Links() {
  std::vector<TLink*> links;
  for (TLink& client : FClients) {
    if (client.Fd >= 0) links.push_back(&client);
  }
  if (FPty.Fd >= 0) links.push_back(&FPty);
  return links;
}

// --- Writes ------------------------------------------------------------------

void TSimServer::Schedule(TLink& link, const TSimWrite& write, TTime ready) {
  const TTime due = link.Timing.Leaves(ready, write.Bytes.size(), write.DelayMs);
  link.Pending.push_back({due - link.Timing.WireTime(write.Bytes.size()), due, write.Bytes,
                          write.Close, 0});
  link.Backlog += write.Bytes.size();
  if (link.Backlog <= kSimBacklogLimit) return;
  // A peer that sends without reading must not make the simulator grow.
  const std::string size = std::to_string(link.Backlog);
  if (link.IsSocket) {
    Warn("client dropped: " + size + " bytes of answers unread (at most " +
         std::to_string(kSimBacklogLimit) + ")");
    CloseLink(link, "too many answers unread");
  } else {
    Warn("terminal: " + size + " bytes of answers unread, thrown away");
    link.Pending.clear();
    link.Out.clear();
    link.Backlog = 0;
  }
}

// Writes made by the module go to their channel, notifications to every
// link. Those for the link whose bytes were just heard answer them.
void TSimServer::Route(const std::vector<TSimWrite>& writes, TLink* from, TTime heard, TTime now) {
  for (const TSimWrite& write : writes) {
    for (TLink* link : Links()) {
      if (write.Channel != TSimWrite::kAllChannels && write.Channel != link->Channel) continue;
      const bool answer = link == from && write.Channel == link->Channel;
      Schedule(*link, write, answer ? link->Timing.AnswerReady(heard) : now);
    }
  }
}

// Moves the bytes whose time on the line has come from Pending to Out: on a
// slow line an answer comes out byte by byte, as a module sends it.
void TSimServer::Release(TLink& link, TTime now) {
  while (!link.Pending.empty() && !link.CloseWhenSent) {
    TPending& next = link.Pending.front();
    if (now < next.Start) return;
    const std::size_t size = next.Bytes.size();
    const std::size_t ready = now >= next.Due ? size : link.Timing.BytesBy(next.Start, now, size);
    if (ready > next.Released) {
      link.Out.insert(link.Out.end(), next.Bytes.begin() + static_cast<std::ptrdiff_t>(next.Released),
                      next.Bytes.begin() + static_cast<std::ptrdiff_t>(ready));
      next.Released = ready;
    }
    if (ready < size || now < next.Due) return;
    if (next.Close) link.CloseWhenSent = true;
    link.Pending.pop_front();
  }
}

void TSimServer::Flush(TLink& link, TTime now) {
  if (link.Fd < 0) return;
  Release(link, now);
  while (!link.Out.empty()) {
    const ssize_t n = link.IsSocket ? send(link.Fd, link.Out.data(), link.Out.size(), MSG_NOSIGNAL)
                                    : write(link.Fd, link.Out.data(), link.Out.size());
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n < 0) {
      if (link.IsSocket) {
        CloseLink(link, "client gone");
      } else {
        link.Backlog -= link.Out.size();
        link.Out.clear();
      }
      return;
    }
    link.Out.erase(link.Out.begin(), link.Out.begin() + n);
    link.Backlog -= static_cast<std::size_t>(n);
  }
  if (link.CloseWhenSent) CloseLink(link, "closed by fault injection");
}

void TSimServer::CloseLink(TLink& link, const char* why) {
  if (link.IsSocket) {
    if (link.Fd >= 0) close(link.Fd);
    link.Fd = -1;  // taken out of the list by the loop
    FBus.CloseChannel(link.Channel);
    Note(std::string("client disconnected (") + why + ")");
  } else {
    // A terminal cannot be hung up for its user; its channel starts afresh.
    FBus.OpenChannel(link.Channel);
    link.Timing.Reset();
    Note(std::string("terminal channel reset (") + why + ")");
  }
  link.Pending.clear();
  link.Out.clear();
  link.Backlog = 0;
  link.CloseWhenSent = false;
}

// --- Reads -------------------------------------------------------------------

void TSimServer::Accept(int listener) {
  const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (FClients.size() >= kSimMaxClients) {
    close(fd);
    Warn("connection refused: " + std::to_string(kSimMaxClients) +
         " clients are connected, the most served at once");
    return;
  }
  const int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
  TLink& client = FClients.emplace_back(FNextChannel++, true, FOptions);
  client.Fd = fd;
  FBus.OpenChannel(client.Channel);
  Note("client connected");
}

void TSimServer::ReadLink(TLink& link) {
  std::uint8_t buffer[4096];
  const ssize_t n = read(link.Fd, buffer, sizeof(buffer));
  if (n > 0) {
    const TTime now = Now();
    const TTime heard = link.Timing.Heard(now, static_cast<std::size_t>(n));
    FBus.Receive(link.Channel, TBytes(buffer, buffer + n), GetTickCount32());
    Route(FBus.TakeWrites(), &link, heard, now);
  } else if (link.IsSocket && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
    CloseLink(link, n == 0 ? "end of stream" : std::strerror(errno));
  }
}

void TSimServer::ReadLineInput() {
  char buffer[4096];
  const ssize_t n = read(FLineFd, buffer, sizeof(buffer));
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  std::vector<TSimInputLine> lines;
  if (n > 0) {
    lines = FLineReader.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
  } else if (auto last = FLineReader.Finish()) {
    lines.push_back(std::move(*last));
  }
  for (const TSimInputLine& line : lines) {
    if (line.TooLong) {
      Warn("command line of " + std::to_string(line.Length) + " bytes ignored (at most " +
           std::to_string(kSimMaxCommandLine) + "): '" + SimEcho(line.Text) + "'");
    } else if (FOnLine) {
      FOnLine(line.Text);
    }
  }
  if (n <= 0) {
    FLineFd = -1;
    if (FOnLineEnd) FOnLineEnd();
  }
}

// --- Loop --------------------------------------------------------------------

std::chrono::nanoseconds TSimServer::PollWait(TTime now) const {
  std::chrono::nanoseconds wait = kIdlePoll;
  auto consider = [&](const TLink& link) {
    if (link.Fd >= 0 && link.Out.empty() && !link.Pending.empty()) {
      const TPending& next = link.Pending.front();
      // The next byte's time, but bytes that come faster than a millisecond
      // apart go in batches.
      TTime at = std::min(next.Due, next.Start + link.Timing.WireTime(next.Released + 1));
      if (at < now + std::chrono::milliseconds(1)) at = std::min(next.Due, now + std::chrono::milliseconds(1));
      wait = std::min(wait, std::max(std::chrono::nanoseconds(0), at - now));
    }
  };
  for (const TLink& client : FClients) consider(client);
  consider(FPty);
  if (const auto deadline = FBus.NextDeadline()) {
    wait = std::min<std::chrono::nanoseconds>(
        wait, std::chrono::milliseconds(TicksLeft(GetTickCount32(), *deadline)));
  }
  return wait;
}

void TSimServer::Run() {
  while (!FStop) {
    const TTime now = Now();
    FBus.Tick(GetTickCount32());
    Route(FBus.TakeWrites(), nullptr, now, now);
    for (TLink* link : Links()) Flush(*link, now);
    FClients.remove_if([](const TLink& client) { return client.Fd < 0; });
    PrintLog();

    std::vector<pollfd> fds;
    fds.push_back({FWake[0], POLLIN, 0});
    for (int listener : FListeners) fds.push_back({listener, POLLIN, 0});
    const std::size_t linksAt = fds.size();
    const std::vector<TLink*> links = Links();
    for (const TLink* link : links) {
      fds.push_back({link->Fd, static_cast<short>(POLLIN | (link->Out.empty() ? 0 : POLLOUT)), 0});
    }
    const std::size_t lineAt = fds.size();
    if (FLineFd >= 0) fds.push_back({FLineFd, POLLIN, 0});
    const std::size_t stopAt = fds.size();
    if (FStopFd >= 0) fds.push_back({FStopFd, POLLIN, 0});

    const auto wait = PollWait(now);
    const timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                           static_cast<long>(wait.count() % 1000000000)};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) <= 0) continue;
    if (stopAt < fds.size() && fds[stopAt].revents != 0) break;

    if (fds[0].revents != 0) {
      char drain[64];
      while (read(FWake[0], drain, sizeof(drain)) > 0) {
      }
    }
    // Clients first: one that has just hung up frees its place for a new one.
    for (std::size_t i = 0; i < links.size(); ++i) {
      const short revents = fds[linksAt + i].revents;
      const bool readable = revents & (POLLIN | (links[i]->IsSocket ? POLLHUP | POLLERR : 0));
      if (links[i]->Fd >= 0 && readable) ReadLink(*links[i]);
    }
    FClients.remove_if([](const TLink& client) { return client.Fd < 0; });
    for (std::size_t i = 0; i < FListeners.size(); ++i) {
      if (fds[1 + i].revents != 0) Accept(FListeners[i]);
    }
    if (FLineFd >= 0 && lineAt < fds.size() && fds[lineAt].revents != 0) ReadLineInput();
  }
  PrintLog();
}
