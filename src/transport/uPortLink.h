// The transport contract written once, on a byte port (uBytePort.h says how
// the two pieces divide the work and how a new transport is added).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "transport/uBytePort.h"
#include "transport/uci_ICommunicationInterface.h"

// Drives one port for one transport: the transport forwards its operations
// here. Every port step but the wait runs under the transport's lock; what a
// step has to announce is announced after the lock is let go, while a
// counted reference holds the transport (a handler may drop the last other
// one). A lost line is closed once, its reason kept as the last error.
class TPortLink {
 public:
  // What a locked step leaves to announce once the lock is let go.
  enum class TNotice { None, Opened, Closed, DataReceived };
  // How Arrived comes by the lock.
  enum class TArrivalLock {
    Wait,  // takes it
    Try,   // a receive thread that never waits for a caller in an exchange
           // leaves the bytes to that caller
    Held,  // taken by the caller with TryLock; let go here
  };

  TPortLink(TCommunicationInterface& transport, IBytePort& port);
  TPortLink(const TPortLink&) = delete;
  TPortLink& operator=(const TPortLink&) = delete;

  // Runs under the lock just before the port closes, whoever closes it (a
  // close asked for or a lost line): the transport lets go of what it kept
  // beside the open port (a poll source on its descriptor, a state).
  void SetOnClosing(std::function<void()> closing) { FOnClosing = std::move(closing); }

  // --- the operations a transport forwards ---
  // Open with the line there. A lost line is closed (and announced) first;
  // never takes the lock when nothing is lost.
  bool Active();
  // Opens the port when it is not open: the last error is cleared or says
  // why, opened is announced. A line lost before is closed first.
  bool Open();
  // True when an open port was closed here (closed is announced).
  bool Close();
  // Bytes handed to the port (0 when closed, empty or refused); traced first.
  std::int32_t Write(const TBytes& data);
  // What waits now; the block is traced (also an empty one).
  void Read(TBytes& data);
  std::int32_t ReceivedCount();
  // Waits on the port's readiness, not under the lock, until bytes wait, the
  // line is lost or closed, or `timeout` ms pass.
  bool WaitReceived(std::int32_t timeout);
  // The receiving side's report that bytes may wait: announced when some do
  // (a loss found on the way is closed and announced instead).
  void Arrived(TArrivalLock how = TArrivalLock::Wait);
  // The port saw its line go outside any step (an event thread): closed,
  // with the reason kept, and announced.
  void CheckLine();

  // --- steps for a transport that opens in steps of its own (a name look-up
  // and connection attempts); each runs under the transport's lock ---
  // The port has opened: clears the last error.
  TNotice OpenedLocked();
  // Closes the port when open; `reason`, when not empty, becomes the last
  // error. None when there was nothing to close.
  TNotice CloseLocked(const std::string& reason = std::string());
  // Bytes waiting (DataReceived) or a lost line (Closed).
  TNotice PollLocked();
  // Announces, outside the lock.
  void Deliver(TNotice notice);

 private:
  TIntf<ICommunicationInterface> Keep();
  TNotice LoseLocked(const TPortResult& result);
  // Under the lock: a lost line is closed; on an open one `step` runs (a port
  // step returning its TPortResult), and a loss it meets closes the line.
  template <class F>
  TNotice StepLocked(F step);

  TCommunicationInterface& FTransport;
  IBytePort& FPort;
  std::function<void()> FOnClosing;
};
