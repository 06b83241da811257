// The simulator program started for a process test, and a plain loopback
// TCP client to talk to it (or to anything else that serves a port).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/uBytes.h"
#include "uChildProcess.h"

struct TSimulatorProcess {
  TChildProcess Process;
  std::uint16_t Port = 0;  // 0 when the simulator did not start
  std::string PtyPath;     // with --pty
};

// Starts <bin>/VeltoSimulator --port 0 <args> and reads the port (and the
// terminal path with --pty) from its first lines. Adds a test failure and
// returns Port 0 when that does not work within `timeoutMs`.
TSimulatorProcess StartSimulator(const std::vector<std::string>& args = {}, int timeoutMs = 10000);

// Stops a simulator started with --log and gives every packet it received, as
// hex, in order (its notes on dropped requests left out).
std::vector<std::string> StopAndTakeReceived(TSimulatorProcess& sim);

class TLoopbackClient {
 public:
  TLoopbackClient() = default;
  ~TLoopbackClient();
  TLoopbackClient(const TLoopbackClient&) = delete;
  TLoopbackClient& operator=(const TLoopbackClient&) = delete;

  bool Connect(std::uint16_t port, int timeoutMs = 5000);
  void Close();
  bool Connected() const { return FFd >= 0; }

  bool Send(const TBytes& bytes);
  // Whatever arrives within `timeoutMs` (one read, maybe empty).
  TBytes ReadSome(int timeoutMs);
  // One whole packet framed by its length field ("*a", length, ...); bytes
  // in front of it are dropped. Empty when none came within `timeoutMs`.
  TBytes ReadPacket(int timeoutMs);
  // True when the peer closed the connection within `timeoutMs`.
  bool WaitClosed(int timeoutMs);

 private:
  bool Fill(int timeoutMs);  // one read into FBuffer; false on time-out or end

  int FFd = -1;
  bool FPeerClosed = false;
  TBytes FBuffer;
};
