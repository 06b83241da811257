#include "transport/uTraceSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "framework/uErrors.h"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string OwnerText(const struct stat& info) {
  return "owned by uid " + std::to_string(info.st_uid) + ", not by uid " +
         std::to_string(geteuid());
}

}  // namespace

TTraceSocketPlace TraceMonitorSocketPlace() {
  TTraceSocketPlace place;
  place.Path = Env("TERVAN_MONITOR_SOCKET");
  if (!place.Path.empty()) return place;
  const std::string runtime = Env("XDG_RUNTIME_DIR");
  if (!runtime.empty()) {
    place.Path = runtime + "/tervan-monitor.sock";
    return place;
  }
  place.PrivateDir = "/tmp/tervan-monitor-" + std::to_string(getuid());
  place.Path = place.PrivateDir + "/tervan-monitor.sock";
  return place;
}

std::string CheckPrivateDirectory(const std::string& dir) {
  struct stat info {};
  if (lstat(dir.c_str(), &info) != 0) return dir + ": " + ErrnoText(errno);
  if (S_ISLNK(info.st_mode)) return dir + ": is a link, not a directory";
  if (!S_ISDIR(info.st_mode)) return dir + ": is not a directory";
  if (info.st_uid != geteuid()) return dir + ": " + OwnerText(info);
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return dir + ": others may write in it";
  return {};
}

std::string MakePrivateDirectory(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return dir + ": " + ErrnoText(errno);
  return CheckPrivateDirectory(dir);
}

std::string CheckOwnSocket(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return path + ": " + ErrnoText(errno);
  if (!S_ISSOCK(info.st_mode)) return path + ": is not a socket";
  if (info.st_uid != geteuid()) return path + ": " + OwnerText(info);
  return {};
}

int ConnectTraceSocket(int& fd, const std::string& path) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return ENAMETOOLONG;
  if (fd < 0) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return errno;
  return 0;
}

int SendTraceDatagram(int fd, const TBytes& datagram) {
  for (;;) {
    if (send(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

bool WaitTraceSocketWritable(int fd, std::uint32_t timeoutMs) {
  pollfd p{fd, POLLOUT, 0};
  // An interrupted wait counts as room: the send says whether there is.
  return poll(&p, 1, static_cast<int>(std::min<std::uint32_t>(timeoutMs, INT_MAX))) != 0;
}

void CloseTraceSocket(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}
