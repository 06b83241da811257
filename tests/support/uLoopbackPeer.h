// Loopback peers for the TCP transport and program tests: a listener on 127.0.0.1 and
// the accepted connection, plain POSIX sockets with bounded waits.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/uBytes.h"

// A connection end held by the test; closed by its destructor.
class TPeerSocket {
 public:
  explicit TPeerSocket(int fd = -1) : FFd(fd) {}
  ~TPeerSocket() { Close(); }
  TPeerSocket(TPeerSocket&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
  TPeerSocket& operator=(TPeerSocket&& other) noexcept;
  TPeerSocket(const TPeerSocket&) = delete;
  TPeerSocket& operator=(const TPeerSocket&) = delete;

  bool Valid() const { return FFd >= 0; }
  int Fd() const { return FFd; }
  bool SendAll(const TBytes& data);
  // Reads until `count` bytes came or `timeoutMs` passed without any.
  TBytes ReceiveExactly(std::size_t count, int timeoutMs);
  // The remote port of the connection (the other side's local port).
  int RemotePort() const;
  // Closes with a reset instead of an orderly end.
  void Abort();
  void Close();

 private:
  int FFd;
};

class TLoopbackListener {
 public:
  // Listens on 127.0.0.1 at a free port.
  explicit TLoopbackListener(int backlog = 16);
  ~TLoopbackListener();
  TLoopbackListener(const TLoopbackListener&) = delete;
  TLoopbackListener& operator=(const TLoopbackListener&) = delete;

  std::uint16_t Port() const { return FPort; }
  // Accepts one connection, waiting at most `timeoutMs`; invalid when none came.
  TPeerSocket Accept(int timeoutMs);
  // True when a connection waits to be accepted within `timeoutMs`.
  bool Pending(int timeoutMs);
  // Fills the accept queue with connections that are never accepted, until
  // the kernel drops any further handshake; such a listener leaves every new
  // connection attempt hanging. False when the queue could not be filled.
  bool FillAcceptQueue();

 private:
  bool QueueState(unsigned& waiting, unsigned& limit) const;

  int FFd = -1;
  std::uint16_t FPort = 0;
  std::vector<TPeerSocket> FFillers;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
std::uint16_t UnusedLoopbackPort();
