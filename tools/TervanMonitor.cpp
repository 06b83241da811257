// TervanMonitor: shows the traffic of a program run with the trace switch
// (DST or STD). It listens on the trace socket and prints every datagram with
// a time stamp, its direction and a hex and text dump.
//
//   TervanMonitor [--socket PATH] [--count N]
//
// PATH defaults to the trace socket of the transports (TERVAN_MONITOR_SOCKET,
// else $XDG_RUNTIME_DIR/tervan-monitor.sock, else
// /tmp/tervan-monitor-<uid>/tervan-monitor.sock in a directory of the user's
// own, which the monitor makes). With --count the monitor ends after N
// datagrams; otherwise Ctrl+C ends it.

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "framework/uStrUtils.h"
#include "simulator/uStopSignals.h"
#include "transport/uTraceSocket.h"

namespace {

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: TervanMonitor [--socket PATH] [--count N]\n"
               "  --socket PATH  listen on PATH (default: %s)\n"
               "  --count N      end after N datagrams\n",
               TraceMonitorSocketPlace().Path.c_str());
}

std::string TimeStamp() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm local{};
  localtime_r(&ts.tv_sec, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                local.tm_sec, ts.tv_nsec / 1000000L);
  return text;
}

const char* DirectionName(unsigned direction) {
  switch (direction) {
    case 1:
      return "SENT";
    case 2:
      return "RECEIVED";
    default:
      return "UNKNOWN";
  }
}

// Appends printf-style text (short pieces only) to `out`.
template <class... TArgs>
void Append(std::string& out, const char* format, TArgs... args) {
  char piece[128];
  const int n = std::snprintf(piece, sizeof piece, format, args...);
  if (n > 0) out.append(piece, std::min(static_cast<std::size_t>(n), sizeof piece - 1));
}

// The dump of a datagram of `whole` bytes of which the first `length` were
// received; a cut one says so, it is never shown as whole.
std::string FormatBlock(const std::uint8_t* data, std::size_t length, std::size_t whole) {
  const unsigned direction = data[0];
  const std::uint8_t* bytes = data + 1;
  const std::size_t count = length - 1;
  std::string text;
  text.reserve(80 + count / 16 * 76);
  Append(text, "%s %s %zu byte%s", TimeStamp().c_str(), DirectionName(direction), whole - 1,
         whole == 2 ? "" : "s");
  if (length < whole) Append(text, " (datagram cut: only the first %zu shown)", count);
  text += '\n';
  for (std::size_t row = 0; row < count; row += 16) {
    Append(text, "  %04zX ", row);
    for (std::size_t i = row; i < row + 16; ++i) {
      if (i < count)
        Append(text, " %02X", bytes[i]);
      else
        text += "   ";
    }
    text += "  ";
    for (std::size_t i = row; i < row + 16 && i < count; ++i)
      text += static_cast<char>(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.');
    text += '\n';
  }
  return text;
}

// Writes `text` to standard output; false when a stop signal came first or
// the output is gone. A reader that stops reading so cannot keep the monitor
// from stopping, although the stop signals are taken only by the loop.
bool Emit(const std::string& text, int stopFd) {
  std::size_t done = 0;
  while (done < text.size()) {
    pollfd p[2] = {{STDOUT_FILENO, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (p[1].revents != 0) return false;
    if ((p[0].revents & (POLLERR | POLLNVAL)) != 0) return false;
    // At most what a writable pipe takes whole without waiting.
    const ssize_t n = write(STDOUT_FILENO, text.data() + done,
                            std::min<std::size_t>(text.size() - done, PIPE_BUF));
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Removes a socket file that no monitor listens on any more; false when the
// path is in use or is not a socket.
bool ClearStaleSocket(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return true;  // nothing there
  if (!S_ISSOCK(info.st_mode)) {
    std::fprintf(stderr, "TervanMonitor: %s exists and is not a socket\n", path.c_str());
    return false;
  }
  int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  int rc = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  int error = errno;
  close(probe);
  if (rc == 0) {
    std::fprintf(stderr, "TervanMonitor: another monitor listens on %s\n", path.c_str());
    return false;
  }
  if (error != ECONNREFUSED) {
    std::fprintf(stderr, "TervanMonitor: cannot check %s: %s\n", path.c_str(),
                 std::strerror(error));
    return false;
  }
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace

int main(int argc, char** argv) {
  // First of all: a stop signal that comes before the loop waits is kept
  // for it, and ends the monitor with its socket file removed.
  TStopSignals stopSignals({SIGINT, SIGTERM, SIGHUP});
  if (stopSignals.Fd() < 0) {
    std::fprintf(stderr, "TervanMonitor: cannot take the stop signals: %s\n",
                 stopSignals.Error().c_str());
    return 1;
  }
  TTraceSocketPlace place = TraceMonitorSocketPlace();
  long limit = -1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--socket" || arg == "-s") && i + 1 < argc) {
      place = {argv[++i], ""};
    } else if (arg == "--count" && i + 1 < argc) {
      std::int32_t value = 0;
      if (!TryParseInt(argv[++i], value) || value < 1) {
        std::fprintf(stderr, "TervanMonitor: bad count '%s'\n", argv[i]);
        return 2;
      }
      limit = value;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "TervanMonitor: unknown argument '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }

  const std::string& path = place.Path;
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    std::fprintf(stderr, "TervanMonitor: socket path '%s' is empty or too long\n", path.c_str());
    return 1;
  }
  if (!place.PrivateDir.empty()) {
    const std::string why = MakePrivateDirectory(place.PrivateDir);
    if (!why.empty()) {
      std::fprintf(stderr,
                   "TervanMonitor: %s; the trace needs a directory of your own there "
                   "(remove it, or set TERVAN_MONITOR_SOCKET)\n",
                   why.c_str());
      return 1;
    }
  }
  if (!ClearStaleSocket(path)) return 1;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::perror("TervanMonitor: socket");
    return 1;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  mode_t oldMask = umask(077);  // the traffic is the user's own
  int rc = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  umask(oldMask);
  if (rc != 0) {
    std::fprintf(stderr, "TervanMonitor: cannot listen on %s: %s\n", path.c_str(),
                 std::strerror(errno));
    close(fd);
    return 1;
  }

  std::printf("TervanMonitor listening on %s\n", path.c_str());
  std::fflush(stdout);

  std::vector<std::uint8_t> buffer(1 << 17);
  long blocks = 0;
  while (limit < 0 || blocks < limit) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stopSignals.Fd(), POLLIN, 0}};
    if (poll(p, 2, -1) <= 0) continue;
    if (p[1].revents != 0) break;  // a stop signal
    // With MSG_TRUNC the result is the datagram's whole size, even when
    // only the buffer's worth of it was taken.
    ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n <= 0) continue;  // an empty datagram carries no direction
    const auto whole = static_cast<std::size_t>(n);
    if (!Emit(FormatBlock(buffer.data(), std::min(whole, buffer.size()), whole), stopSignals.Fd()))
      break;
    ++blocks;
  }
  close(fd);
  unlink(path.c_str());
  return 0;
}
