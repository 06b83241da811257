// The thin platform layer of the serial engine: a tty device opened for
// exclusive use and the ioctls the engine needs of it. Every call reports
// failure by result with errno kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "transport/serial/AfLineRecord.h"

// Device of port COM<n>: the path in VELTO_COM<n> when that is set and not
// empty, else /dev/ttyS<n-1>.
std::string ComPortPath(int portNumber);

// Why a tty could not be opened.
enum class TTtyOpenFailure {
  None,
  NoDevice,    // no such path, or a port with no hardware behind it
  CannotOpen,  // no permission, not a tty, ...
  Held,        // another open holds its lock or its exclusive-open flag
};

struct TTtyOpenResult {
  int Fd = -1;
  TTtyOpenFailure Failure = TTtyOpenFailure::None;
  std::string Reason;  // "<path>: <why>", one line
};

// Opens `path` non-blocking and without becoming its controlling terminal,
// locks it (flock, so two programs that lock never share a line; root is not
// stopped by TIOCEXCL, which is still set to keep other openers out, except
// on a pseudo-terminal, where it would outlive the process), checks that it
// is a tty and asks for low latency where the driver allows it.
// One attempt: a port that another open holds (flock, or the exclusive-open
// flag, which root opens through and so looks at) fails as Held at once.
TTtyOpenResult OpenTtyExclusive(const std::string& path);
// The same, waiting up to `waitMs` for a held port to come free (0: one
// attempt). `onHeld` runs once, when the port is first found held.
TTtyOpenResult OpenTtyWaiting(const std::string& path, std::uint32_t waitMs,
                              const std::function<void()>& onHeld = {});
// A process-wide test that ends every such wait early (a program's stop
// signal); null, the default, waits out the bound.
void SetTtyWaitAbandon(bool (*abandon)());
// "<path> is held by process 812 (VeltoConsole)", or without the process
// where the holder cannot be learnt (only its exclusive-open flag is set).
std::string TtyHeldReason(const std::string& path);
// Gives back the low-latency flag as it was before the open, gives up the
// exclusive use (both would otherwise outlive us on the port) and closes
// `fd`; -1 afterwards.
void CloseTty(int& fd);

// The reason text for an errno met while opening or first configuring `path`,
// and whether it means there is no device.
std::string TtyFailureReason(const std::string& path, int error, bool& noDevice);

// Bytes waiting in the input queue; -1 (errno set) on failure.
int TtyInQueue(int fd);
// Bytes the driver has not sent yet; 0 when it cannot tell.
int TtyOutQueue(int fd);

// The modem input lines as kModem* bits; false (errno set) when the tty has none.
bool TtyModemLines(int fd, std::uint32_t& status);
enum class TTtyOutputLine { Dtr, Rts };
// Raises or lowers DTR or RTS. A tty without modem lines (a pseudo-terminal)
// counts as success; false (errno set) only when the device fails.
bool TtySetModemLine(int fd, TTtyOutputLine line, bool raised);

// Interrupt and error counters of the driver.
struct TTtyCounters {
  std::uint32_t Cts = 0, Dsr = 0, Ring = 0, Dcd = 0;
  std::uint32_t Frame = 0, Parity = 0, Overrun = 0, Break = 0, BufferOverrun = 0;
};
// False (errno set) when the driver keeps none.
bool TtyReadCounters(int fd, TTtyCounters& counters);

enum class TTtyApply { Applied, Untaken, Failed };

// Applies `record` to the tty and reads the result back. Untaken: the tty
// cannot do or did not take part of it (named in `untaken`); `record` then
// holds what the tty has. Failed: the tty refused the calls (errno set).
// Where the driver tells its base rate, the rate checked is the one its
// divisor makes, not the one it reports.
// The DTR and RTS lines follow the record unless a handshake drives them.
TTtyApply ApplyLineRecord(int fd, TAfLineRecord& record, std::string& untaken);

// --- the engine's byte moves and waits (AfTtyIo.cpp) ---

// Reads what waits without waiting: bytes read, 0 when none; `gone` is set
// when the device has gone (EIO).
long TtyRead(int fd, std::uint8_t* buffer, std::size_t n, bool& gone);
enum class TTtyWriteOutcome {
  Written,      // some or all bytes taken
  Full,         // the line takes nothing now (flow control, a slow reader)
  Interrupted,  // a signal came first: try again
  Gone,         // the device has gone (EIO)
  Failed,       // any other error
};
// Writes what the tty takes now; bytes taken (0 unless Written).
long TtyWrite(int fd, const std::uint8_t* data, std::size_t n, TTtyWriteOutcome& outcome);
// TtyInQueue, with `gone` set when the device has gone (EIO).
int TtyInQueueChecked(int fd, bool& gone);
enum class TTtyQueue { Input, Output, Both };
// Drops what the driver holds in that direction.
bool TtyFlush(int fd, TTtyQueue queue);
// ApplyLineRecord with its errno.
TTtyApply ApplyLineRecord(int fd, TAfLineRecord& record, std::string& untaken, int& error);

struct TTtyReady {
  bool Woken = false;   // the wake descriptor was signalled
  bool Input = false;   // the tty has bytes to read
  bool Output = false;  // the tty takes bytes
  bool Gone = false;    // the tty has hung up or failed
};
// Waits at most `timeoutMs` for the wake descriptor, or for the tty (`fd`,
// -1: not watched) to become readable (`input`) or writable (`output`); a
// hang-up always ends the wait.
TTtyReady TtyWait(int fd, bool input, bool output, int wakeFd, std::uint32_t timeoutMs);
// Names the calling thread (as tools that list threads show it).
void TtyNameThread(const char* name);
