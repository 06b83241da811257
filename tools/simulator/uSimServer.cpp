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

TSimServer::TSimServer(TModuleSimulator& module, TSimServerOptions options, std::ostream* log,
                       std::ostream* warnings)
    : FModule(module),
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
  FModule.SetOnWrites([wakeFd] {
    if (wakeFd >= 0) {
      const char byte = 1;
      [[maybe_unused]] const ssize_t n = write(wakeFd, &byte, 1);
    }
  });
}

TSimServer::~TSimServer() {
  FModule.SetOnWrites(nullptr);
  for (const TLink& client : FClients) {
    if (client.Fd >= 0) close(client.Fd);
  }
  for (int fd : {FPty.Fd, FPtySlave, FListener, FWake[0], FWake[1]}) {
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
  if (listen(FListener, 16) != 0) {
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

void TSimServer::Warn(const std::string& text) {
  if (FWarnings != nullptr) *FWarnings << "VeltoSimulator: " << text << std::endl;
}

void TSimServer::PrintLog() {
  for (const TSimLogEntry& entry : FModule.TakeLog()) Note(FormatSimLogEntry(entry));
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
  link.Pending.push_back({due, write.Bytes, write.Close});
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

void TSimServer::Flush(TLink& link, TTime now) {
  if (link.Fd < 0) return;
  while (!link.Out.empty() || (!link.Pending.empty() && link.Pending.front().Due <= now)) {
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
  if (link.CloseWhenSent && link.Out.empty()) {
    CloseLink(link, "closed by fault injection");
  }
}

void TSimServer::CloseLink(TLink& link, const char* why) {
  if (link.IsSocket) {
    if (link.Fd >= 0) close(link.Fd);
    link.Fd = -1;  // taken out of the list by the loop
    FModule.CloseChannel(link.Channel);
    Note(std::string("client disconnected (") + why + ")");
  } else {
    // A terminal cannot be hung up for its user; its channel starts afresh.
    FModule.OpenChannel(link.Channel);
    link.Timing.Reset();
    Note(std::string("terminal channel reset (") + why + ")");
  }
  link.Pending.clear();
  link.Out.clear();
  link.Backlog = 0;
  link.CloseWhenSent = false;
}

// --- Reads -------------------------------------------------------------------

void TSimServer::Accept() {
  const int fd = accept4(FListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
  FModule.OpenChannel(client.Channel);
  Note("client connected");
}

void TSimServer::ReadLink(TLink& link) {
  std::uint8_t buffer[4096];
  const ssize_t n = read(link.Fd, buffer, sizeof(buffer));
  if (n > 0) {
    const TTime now = Now();
    const TTime heard = link.Timing.Heard(now, static_cast<std::size_t>(n));
    FModule.Receive(link.Channel, TBytes(buffer, buffer + n), GetTickCount32());
    Route(FModule.TakeWrites(), &link, heard, now);
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
      wait = std::min(wait, std::max(std::chrono::nanoseconds(0), link.Pending.front().Due - now));
    }
  };
  for (const TLink& client : FClients) consider(client);
  consider(FPty);
  if (const auto deadline = FModule.NextDeadline()) {
    wait = std::min<std::chrono::nanoseconds>(
        wait, std::chrono::milliseconds(TicksLeft(GetTickCount32(), *deadline)));
  }
  return wait;
}

void TSimServer::Run() {
  while (!FStop) {
    const TTime now = Now();
    FModule.Tick(GetTickCount32());
    Route(FModule.TakeWrites(), nullptr, now, now);
    for (TLink* link : Links()) Flush(*link, now);
    FClients.remove_if([](const TLink& client) { return client.Fd < 0; });
    PrintLog();

    std::vector<pollfd> fds;
    fds.push_back({FWake[0], POLLIN, 0});
    fds.push_back({FListener, POLLIN, 0});
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
      const short revents = fds[2 + i].revents;
      const bool readable = revents & (POLLIN | (links[i]->IsSocket ? POLLHUP | POLLERR : 0));
      if (links[i]->Fd >= 0 && readable) ReadLink(*links[i]);
    }
    FClients.remove_if([](const TLink& client) { return client.Fd < 0; });
    if (fds[1].revents != 0) Accept();
    if (FLineFd >= 0 && lineAt < fds.size() && fds[lineAt].revents != 0) ReadLineInput();
  }
  PrintLog();
}
