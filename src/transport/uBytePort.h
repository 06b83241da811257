// The byte port beneath every transport, and how a new transport is added.
//
// A transport is two pieces. The port (a class implementing IBytePort) is the
// only code that talks to the platform or to a driver library: it opens and
// closes one line, moves bytes, counts what waits and waits for bytes, and
// says how each step went in a TPortResult: done, failed (the line is still
// there) or line lost (the line has gone and must be closed). A failure or a
// loss carries its errno, when it has one, and the line a user reads, naming
// the port ("/dev/ttyUSB0: the device has gone (unplugged or hung up)").
// Ports never see a transport's lock, never announce and never trace.
//
// Everything else is the transport contract, written once in TPortLink
// (uPortLink.h): the transaction lock held around every port step, waiting
// on the port's own readiness (a descriptor or a driver event, never a
// fixed poll), a lost line closed once with its reason kept as the last
// error, the trace of every block, and announcements (opened, closed, data
// received) made only after the lock is released, while a counted reference
// keeps the transport alive for a handler that drops the last other one.
// TCP (tcp/uPosixSocket.*), the serial port and the USB adapter's kernel
// device path (serial/uSerialBytePort.*) stand on it, and so does the adapter
// library's path (usb/uci_FTDIcore.*): its port opens the library's handle
// with its receive thread and closes them, and the transport adds the rate
// to the open through the link's locked steps.
//
// To add a transport (an RS-485 mode, another adapter library, a new kind
// of device path):
//   1. write one port class implementing IBytePort, in its own file beside
//      the transport; platform calls and errno stay in that file;
//   2. derive the transport from TCommunicationInterface (or the serial-line
//      layer TSerialPortCoreInterface when it has line settings), hold the
//      port and a TPortLink on it, and forward GetActive, Open, Close, Write,
//      Read, GetReceivedCount and WaitReceived to the link; its receiving
//      side (a receive thread, a driver event, a poll source) calls the
//      link's Arrived, and a thread that sees the line go calls CheckLine.
//      Its own code is the connection string and the settings; a line that
//      opens in steps of the transport's own (a name look-up, connection
//      attempts) uses the link's *Locked steps, as TCP does;
//   3. register its class under a provider name in uTransports.cpp.
// tests/transport/uPortLinkTest.cpp drives the link through a scripted port:
// a new port needs tests of its own steps only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "framework/uBytes.h"

enum class TPortStatus {
  Done,      // the step happened
  Failed,    // it did not; the line is still usable
  LineLost,  // the line has gone (unplugged, hung up, reset, closed by the peer)
};

struct TPortResult {
  TPortStatus Status = TPortStatus::Done;
  // Bytes moved by Write or Read, bytes waiting for BytesWaiting and
  // WaitReadable (also with LineLost: what a Read took before the loss).
  std::size_t Count = 0;
  int Error = 0;     // errno of a failure or loss; 0 when it has none
  std::string Text;  // the reason for a user, naming the port; empty on Done

  bool Ok() const { return Status == TPortStatus::Done; }
  bool Lost() const { return Status == TPortStatus::LineLost; }

  static TPortResult Done(std::size_t count = 0) {
    return TPortResult{TPortStatus::Done, count, 0, std::string()};
  }
  static TPortResult Failed(int error, std::string text, std::size_t count = 0) {
    return TPortResult{TPortStatus::Failed, count, error, std::move(text)};
  }
  static TPortResult LineLost(int error, std::string text, std::size_t count = 0) {
    return TPortResult{TPortStatus::LineLost, count, error, std::move(text)};
  }
};

// One line a transport drives. The link calls every step under the
// transport's lock except WaitReadable, which runs without it so that a
// close from another thread can end the wait; a port whose Close may run
// during a wait makes that safe (a wake descriptor, a counted handle).
class IBytePort {
 public:
  virtual ~IBytePort() = default;

  // Opens the line; Failed with the reason when it cannot.
  virtual TPortResult Open() = 0;
  // Closes the line; false when it could not be closed on this thread (a
  // port's own thread), so that nothing is announced. True when it was closed.
  virtual bool Close() = 0;
  // Done while open; LineLost (with the reason) once the line has gone while
  // open; Failed when closed. Cheap: no system call where the port keeps
  // the state itself.
  virtual TPortResult State() = 0;
  // Hands the whole block over or nothing: Done with Count = its size.
  virtual TPortResult Write(const TBytes& data) = 0;
  // What waits now, bounded by the port (a peer that never stops sending
  // cannot hold the lock); `data` is replaced.
  virtual TPortResult Read(TBytes& data) = 0;
  virtual TPortResult BytesWaiting() = 0;
  // Returns as soon as bytes wait (Count > 0), the line is lost, the port is
  // closed, or the millisecond tick passes `deadline` (Count 0).
  virtual TPortResult WaitReadable(std::uint32_t deadline) = 0;
};
