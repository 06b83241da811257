#include "transport/uTraceForwarder.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "framework/uTick.h"

namespace {

// A datagram the socket cannot take whole halves the pieces, down to this.
constexpr std::size_t kSmallestPiece = 512;

void ForwardThunk(void* object, TIntf<ICommunicationInterface> /*sender*/, const TBytes& data,
                  std::int32_t direction) {
  static_cast<TTraceForwarder*>(object)->Forward(data, direction);
}

}  // namespace

TTraceForwarder::~TTraceForwarder() {
  if (FSocket >= 0) close(FSocket);
}

void TTraceForwarder::SetPlace(TTraceSocketPlace place) {
  std::lock_guard<std::mutex> guard(FLock);
  FPlace = std::move(place);
}

TTraceHandler TTraceForwarder::Handler() {
  return TTraceHandler(this, &ForwardThunk);
}

void TTraceForwarder::Forward(const TBytes& data, std::int32_t direction) {
  if (data.empty()) return;
  std::lock_guard<std::mutex> guard(FLock);
  sockaddr_un address{};
  if (FPlace.Path.empty() || FPlace.Path.size() >= sizeof(address.sun_path)) return;
  if (!FPlace.PrivateDir.empty() && !CheckPrivateDirectory(FPlace.PrivateDir).empty()) return;
  if (!CheckOwnSocket(FPlace.Path).empty()) return;
  if (FSocket < 0) {
    FSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (FSocket < 0) return;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, FPlace.Path.data(), FPlace.Path.size());
  // Connected, so that a wait for room also waits for the monitor's queue.
  // No monitor (ENOENT, ECONNREFUSED): nothing is sent.
  if (connect(FSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return;
  TBytes datagram;
  for (std::size_t offset = 0; offset < data.size();) {
    const std::size_t length = std::min(FPiece, data.size() - offset);
    datagram.assign(1, static_cast<std::uint8_t>(direction));
    datagram.insert(datagram.end(), data.begin() + static_cast<std::ptrdiff_t>(offset),
                    data.begin() + static_cast<std::ptrdiff_t>(offset + length));
    const int error = SendPiece(datagram);
    if (error == EMSGSIZE && FPiece > kSmallestPiece) {
      FPiece /= 2;
      continue;
    }
    if (error != 0) return;  // the rest of the block is dropped
    offset += length;
  }
}

int TTraceForwarder::SendPiece(const TBytes& datagram) {
  const std::uint32_t deadline = GetTickCount32() + static_cast<std::uint32_t>(FWaitMs);
  for (;;) {
    if (send(FSocket, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
      FStalled = false;
      return 0;
    }
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EAGAIN || FStalled) return error;
    const std::uint32_t left = TicksLeft(GetTickCount32(), deadline);
    pollfd p{FSocket, POLLOUT, 0};
    if (left == 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
      FStalled = true;  // a monitor that stopped reading costs one wait, not one a block
      return error;
    }
  }
}

TTraceHandler MakeTraceForwarder() {
  static auto* forwarder = new TTraceForwarder({});  // outlives every transport
  forwarder->SetPlace(TraceMonitorSocketPlace());
  return forwarder->Handler();
}

bool ScanTraceSwitches(int argc, const char* const* argv) {
  bool found = false;
  for (int i = 0; i < argc && argv != nullptr; ++i)
    if (argv[i] != nullptr && IsTraceSwitch(argv[i])) found = true;
  if (found) SetTraceHandler(MakeTraceForwarder());
  return found;
}
