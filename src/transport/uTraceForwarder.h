// The traffic trace to the monitor program: each traced block becomes one
// datagram on a Unix datagram socket, the direction byte (1 sent, 2 received)
// followed by the bytes. When no monitor listens nothing is sent; the
// forwarder never blocks and never fails the transport.
//
// Socket path: the environment variable TERVAN_MONITOR_SOCKET when set and
// not empty, else $XDG_RUNTIME_DIR/tervan-monitor.sock, else
// /tmp/tervan-monitor-<uid>.sock. The monitor program (TervanMonitor) uses
// the same rule.
#pragma once

#include <cstddef>
#include <string>

#include "transport/uci_ICommunicationInterface.h"

std::string TraceMonitorSocketPath();

// Blocks larger than this go out as several datagrams, each with the
// direction byte, so that none exceeds what a datagram socket carries.
constexpr std::size_t kTraceDatagramPayload = 60000;

// The built-in forwarder as a trace handler. The socket path is taken when
// the handler is made.
TTraceHandler MakeTraceForwarder();

// Scans the program's arguments (its path included) for the trace switches
// DST and STD; when one is present the process trace handler becomes the
// forwarder. Returns whether the trace was switched on.
bool ScanTraceSwitches(int argc, const char* const* argv);
