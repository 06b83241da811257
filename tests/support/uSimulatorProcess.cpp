#include "uSimulatorProcess.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "uEmulation.h"

namespace {

using TClock = std::chrono::steady_clock;

int MsLeft(TClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool AfterPrefix(const std::string& line, const std::string& prefix, std::string& rest) {
  if (line.rfind(prefix, 0) != 0) return false;
  rest = line.substr(prefix.size());
  return true;
}

}  // namespace

TSimulatorProcess StartSimulator(const std::vector<std::string>& args, int timeoutMs) {
  TSimulatorProcess sim;
  std::vector<std::string> all = {"--port", "0"};
  all.insert(all.end(), args.begin(), args.end());
  std::string error;
  if (!sim.Process.Start(ProgramPath("VeltoSimulator"), all, &error)) {
    ADD_FAILURE() << error;
    return sim;
  }
  std::string line;
  std::string rest;
  if (!sim.Process.ReadLine(line, timeoutMs) || !AfterPrefix(line, "Listening on ", rest) ||
      rest.rfind(':') == std::string::npos) {
    ADD_FAILURE() << "simulator did not report its port; stdout: " << sim.Process.Stdout()
                  << " stderr: " << sim.Process.Stderr();
    return sim;
  }
  const int port = std::atoi(rest.substr(rest.rfind(':') + 1).c_str());
  bool wantPty = false;
  for (const std::string& a : args) wantPty = wantPty || a == "--pty";
  if (wantPty && (!sim.Process.ReadLine(line, timeoutMs) || !AfterPrefix(line, "PTY ", rest))) {
    ADD_FAILURE() << "simulator did not report its terminal; stdout: " << sim.Process.Stdout();
    return sim;
  }
  if (wantPty) sim.PtyPath = rest;
  sim.Port = static_cast<std::uint16_t>(port);
  return sim;
}

TLoopbackClient::~TLoopbackClient() {
  Close();
}

bool TLoopbackClient::Connect(std::uint16_t port, int timeoutMs) {
  Close();
  const auto deadline = TClock::now() + std::chrono::milliseconds(ScaledMs(timeoutMs));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // The server may still be coming up; retry until the deadline.
  for (;;) {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FFd < 0) return false;
    if (connect(FFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) break;
    Close();
    if (MsLeft(deadline) == 0) return false;
    usleep(10000);
  }
  const int yes = 1;
  setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
  FPeerClosed = false;
  FBuffer.clear();
  return true;
}

void TLoopbackClient::Close() {
  if (FFd >= 0) close(FFd);
  FFd = -1;
}

bool TLoopbackClient::Send(const TBytes& bytes) {
  std::size_t done = 0;
  while (FFd >= 0 && done < bytes.size()) {
    const ssize_t n = send(FFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return FFd >= 0;
}

bool TLoopbackClient::Fill(int timeoutMs) {
  if (FFd < 0 || FPeerClosed) return false;
  pollfd fd{FFd, POLLIN, 0};
  if (poll(&fd, 1, timeoutMs) <= 0) return false;
  std::uint8_t buffer[4096];
  const ssize_t n = recv(FFd, buffer, sizeof(buffer), 0);
  if (n <= 0) {
    FPeerClosed = true;
    return false;
  }
  FBuffer.insert(FBuffer.end(), buffer, buffer + n);
  return true;
}

TBytes TLoopbackClient::ReadSome(int timeoutMs) {
  if (FBuffer.empty()) Fill(ScaledMs(timeoutMs));
  TBytes bytes;
  bytes.swap(FBuffer);
  return bytes;
}

TBytes TLoopbackClient::ReadPacket(int timeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(ScaledMs(timeoutMs));
  for (;;) {
    // Drop anything in front of the next "*a".
    std::size_t start = 0;
    while (start + 1 < FBuffer.size() && !(FBuffer[start] == '*' && FBuffer[start + 1] == 'a')) {
      ++start;
    }
    if (start + 1 >= FBuffer.size() && !FBuffer.empty() && FBuffer.back() != '*') {
      start = FBuffer.size();
    }
    FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(start));
    if (FBuffer.size() >= 4) {
      const std::size_t total = (static_cast<std::size_t>(FBuffer[2]) << 8 | FBuffer[3]) + 4;
      if (FBuffer.size() >= total) {
        TBytes packet(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(total));
        FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(total));
        return packet;
      }
    }
    if (MsLeft(deadline) == 0 || !Fill(MsLeft(deadline))) {
      if (MsLeft(deadline) == 0 || FPeerClosed) return {};
    }
  }
}

bool TLoopbackClient::WaitClosed(int timeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(ScaledMs(timeoutMs));
  while (!FPeerClosed && MsLeft(deadline) > 0) {
    Fill(MsLeft(deadline));
  }
  return FPeerClosed;
}

std::vector<std::string> StopAndTakeReceived(TSimulatorProcess& sim) {
  int status = 0;
  sim.Process.Signal(SIGTERM);
  // A guard against a hang, not a measure: a stop is taken at once, but a
  // sanitizer build on a loaded machine may take seconds to end a process.
  EXPECT_TRUE(sim.Process.Wait(20000, status)) << "the simulator did not stop";
  std::vector<std::string> received;
  std::size_t from = 0;
  const std::string& log = sim.Process.Stderr();
  while (from < log.size()) {
    std::size_t end = log.find('\n', from);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(from, end - from);
    if (line.rfind("RX ", 0) == 0 && line.find('(') == std::string::npos)
      received.push_back(line.substr(3));
    from = end + 1;
  }
  return received;
}
