#include "transport/uTraceForwarder.h"

#include <algorithm>
#include <cerrno>

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
  CloseTraceSocket(FSocket);
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
  if (FPlace.Path.empty()) return;
  if (!FPlace.PrivateDir.empty() && !CheckPrivateDirectory(FPlace.PrivateDir).empty()) return;
  if (!CheckOwnSocket(FPlace.Path).empty()) return;
  // Connected, so that a wait for room also waits for the monitor's queue.
  // No monitor (ENOENT, ECONNREFUSED), or a path too long: nothing is sent.
  if (ConnectTraceSocket(FSocket, FPlace.Path) != 0) return;
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
    const int error = SendTraceDatagram(FSocket, datagram);
    if (error == 0) {
      FStalled = false;
      return 0;
    }
    if (error != EAGAIN || FStalled) return error;
    const std::uint32_t left = TicksLeft(GetTickCount32(), deadline);
    if (left == 0 || !WaitTraceSocketWritable(FSocket, left)) {
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
