#include "transport/uTraceForwarder.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

class TTraceForwarder {
 public:
  void SetPath(std::string path) {
    std::lock_guard<std::mutex> guard(FLock);
    FPath = std::move(path);
  }

  void Forward(const TBytes& data, std::int32_t direction) {
    if (data.empty()) return;
    std::lock_guard<std::mutex> guard(FLock);
    sockaddr_un address{};
    if (FPath.empty() || FPath.size() >= sizeof(address.sun_path)) return;
    if (FSocket < 0) {
      FSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (FSocket < 0) return;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, FPath.data(), FPath.size());
    TBytes datagram;
    for (std::size_t offset = 0; offset < data.size(); offset += kTraceDatagramPayload) {
      std::size_t length = std::min(kTraceDatagramPayload, data.size() - offset);
      datagram.assign(1, static_cast<std::uint8_t>(direction));
      datagram.insert(datagram.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
                      data.begin() + static_cast<std::ptrdiff_t>(offset + length));
      // No monitor (ENOENT, ECONNREFUSED) or a full queue (EAGAIN): dropped.
      if (sendto(FSocket, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
        return;
    }
  }

  static void Thunk(void* object, TIntf<ICommunicationInterface> /*sender*/, const TBytes& data,
                    std::int32_t direction) {
    static_cast<TTraceForwarder*>(object)->Forward(data, direction);
  }

 private:
  std::mutex FLock;
  std::string FPath;
  int FSocket = -1;  // kept for the life of the process
};

TTraceForwarder& Forwarder() {
  static auto* forwarder = new TTraceForwarder();  // outlives every transport
  return *forwarder;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string TraceMonitorSocketPath() {
  std::string path = Env("TERVAN_MONITOR_SOCKET");
  if (!path.empty()) return path;
  std::string runtime = Env("XDG_RUNTIME_DIR");
  if (!runtime.empty()) return runtime + "/tervan-monitor.sock";
  return "/tmp/tervan-monitor-" + std::to_string(getuid()) + ".sock";
}

TTraceHandler MakeTraceForwarder() {
  Forwarder().SetPath(TraceMonitorSocketPath());
  return TTraceHandler(&Forwarder(), &TTraceForwarder::Thunk);
}

bool ScanTraceSwitches(int argc, const char* const* argv) {
  bool found = false;
  for (int i = 0; i < argc && argv != nullptr; ++i)
    if (argv[i] != nullptr && IsTraceSwitch(argv[i])) found = true;
  if (found) SetTraceHandler(MakeTraceForwarder());
  return found;
}
