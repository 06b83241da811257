// Where the traffic trace meets its monitor, and the checks that keep another
// user from taking the place over. Both sides use the same rule:
//   TERVAN_MONITOR_SOCKET when set and not empty;
//   else $XDG_RUNTIME_DIR/tervan-monitor.sock (a directory of the user's own);
//   else /tmp/tervan-monitor-<uid>/tervan-monitor.sock, in a directory the
//   monitor makes with mode 0700. A name in /tmp can be taken by anyone
//   first, so both sides use that directory only when it is a real
//   directory, not a link, owned by the user and writable by nobody else.
// The sender never sends to a socket the user does not own.
#pragma once

#include <cstdint>
#include <string>

#include "framework/uBytes.h"

struct TTraceSocketPlace {
  std::string Path;        // the socket
  std::string PrivateDir;  // the directory made for it; empty when the place is not in /tmp
};

TTraceSocketPlace TraceMonitorSocketPlace();

// Each check gives an empty text when all is well, otherwise one line naming
// the path and what is wrong with it.
std::string CheckPrivateDirectory(const std::string& dir);
// Makes the directory (mode 0700) when it is missing, then checks it.
std::string MakePrivateDirectory(const std::string& dir);
std::string CheckOwnSocket(const std::string& path);

// The sender's datagram socket. Each gives the errno of a failure, 0 on success.
// A non-blocking datagram socket connected to `path` (which must fit a
// socket address); `fd` is made when it is -1 and kept for the next call.
int ConnectTraceSocket(int& fd, const std::string& path);
// Sends one datagram without waiting (a signal retries it).
int SendTraceDatagram(int fd, const TBytes& datagram);
// Waits at most `timeoutMs` until the socket takes a datagram; false on time-out.
bool WaitTraceSocketWritable(int fd, std::uint32_t timeoutMs);
void CloseTraceSocket(int& fd);
