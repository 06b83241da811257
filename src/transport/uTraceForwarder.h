// The traffic trace to the monitor program: each traced block goes to a Unix
// datagram socket as the direction byte (1 sent, 2 received) followed by the
// bytes; a block larger than one datagram carries goes as several, each with
// the direction byte. When no monitor listens nothing is sent, and nothing is
// ever sent to a socket another user owns (see uTraceSocket.h for the place).
// The forwarder never fails the transport: when the monitor's queue is full
// it waits for the monitor a bounded time, and once such a wait has run out
// it drops pieces without waiting until the monitor takes one again at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "transport/uTraceSocket.h"
#include "transport/uci_ICommunicationInterface.h"

// Most bytes of a block in one datagram (the direction byte comes on top).
constexpr std::size_t kTraceDatagramPayload = 60000;
// Longest wait for the monitor to take a piece.
constexpr int kTraceWaitMs = 250;

class TTraceForwarder {
 public:
  explicit TTraceForwarder(TTraceSocketPlace place, int waitMs = kTraceWaitMs)
      : FPlace(std::move(place)), FWaitMs(waitMs) {}
  ~TTraceForwarder();
  TTraceForwarder(const TTraceForwarder&) = delete;
  TTraceForwarder& operator=(const TTraceForwarder&) = delete;

  void SetPlace(TTraceSocketPlace place);
  void Forward(const TBytes& data, std::int32_t direction);
  // A trace handler that calls Forward on this object.
  TTraceHandler Handler();

 private:
  int SendPiece(const TBytes& datagram);

  std::mutex FLock;
  TTraceSocketPlace FPlace;
  int FWaitMs;
  int FSocket = -1;
  bool FStalled = false;
  std::size_t FPiece = kTraceDatagramPayload;
};

// The process's forwarder, pointed at TraceMonitorSocketPlace() when made.
TTraceHandler MakeTraceForwarder();

// Scans the program's arguments (its path included) for the trace switches
// DST and STD; when one is present the process trace handler becomes the
// forwarder. Returns whether the trace was switched on.
bool ScanTraceSwitches(int argc, const char* const* argv);
