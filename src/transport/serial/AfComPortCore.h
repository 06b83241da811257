// The serial port engine: one open tty, its line settings, an event thread
// that watches the line and a writer thread that sends from an output ring,
// and the reports of everything that happens on the port to one handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "transport/serial/AfLineDirection.h"
#include "transport/serial/AfLineRecord.h"
#include "transport/serial/AfUtils.h"

// Raised by the engine with one of its texts ("Invalid port number (COM3)");
// Detail() says for a user what happened to which device, in one line
// ("/dev/ttyUSB0: no such device"), or is empty.
class EAfComPortCoreError : public std::runtime_error {
 public:
  explicit EAfComPortCoreError(const std::string& message, std::string detail = std::string())
      : std::runtime_error(message), FDetail(std::move(detail)) {}
  const std::string& Detail() const { return FDetail; }

 private:
  std::string FDetail;
};

// What a report is about.
enum TAfCoreEvent : int {
  ceOutFree = 0,       // the output ring has been written out
  ceLineEvent = 1,     // port events; value = their mask (kEv* bits)
  ceNeedReadData = 2,  // bytes wait unread; value = their count
  ceException = 3,     // a report handler failed; the error is passed on
  ceLineLost = 4,      // the device has gone (unplugged, hung up)
};

enum TThreadPriority : int {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical,
};

class TAfComPortCore;

// Receives every report, on the event thread.
using TAfCoreEventHandler = std::function<void(TAfComPortCore& core, TAfCoreEvent kind,
                                               std::uint32_t value, std::exception_ptr error)>;

// The driver's queue status.
struct TAfComStat {
  std::uint32_t InQueue = 0;   // bytes received and not read
  std::uint32_t OutQueue = 0;  // bytes written and not yet sent
};

struct TTtyCounters;
class TAfComPortEventThread;
class TAfComPortWriteThread;

class TAfComPortCore {
 public:
  explicit TAfComPortCore(TAfCoreEventHandler handler);
  ~TAfComPortCore();  // closes the port when open
  TAfComPortCore(const TAfComPortCore&) = delete;
  TAfComPortCore& operator=(const TAfComPortCore&) = delete;

  // Opens COM<portNumber> with the line record, queue sizes and priorities
  // set before. False when already open; EAfComPortCoreError when it fails,
  // with everything acquired released again.
  bool Open(int portNumber);
  // The same for a tty found otherwise than by port number (PortNumber() is
  // then 0); an empty path is refused like port 0.
  bool OpenPath(const std::string& path);
  // Stops both threads and closes the device. Does nothing when called on
  // one of the port's own threads, which cannot wait for themselves.
  void CloseIfOpen();
  bool IsOpen() const { return FOpen.load(); }
  bool Running() const { return FRunning.load(); }
  int PortNumber() const { return FPortNumber.load(); }
  std::string DevicePath() const;

  // Input and output queue counts; zero when not running.
  TAfComStat QueryStatus();
  // The input queue's count alone (QueryStatus's InQueue, a call fewer).
  std::uint32_t InQueue();
  // The line errors (kErr* bits) gathered since the last call; 0 when not running.
  std::uint32_t TakeErrors();
  // Reads at most `n` waiting bytes without waiting; -1 when not running.
  std::int32_t ReadInto(std::uint8_t* buffer, std::int32_t n);
  // Queues the bytes for sending (all or nothing); false when not running or
  // when the output ring has less room. Never waits for the line: with the
  // ring empty the tty takes what it can at once, the writer sends the rest.
  bool Write(const std::uint8_t* buffer, std::int32_t n);
  // Room in the output ring; 0 when not running.
  std::int32_t OutFree();
  bool PurgeInput();
  // Drops what the ring and the driver still hold for sending.
  bool PurgeOutput();
  // kModem* bits of the input lines; 0 when not running or the tty has none.
  std::uint32_t ModemStatus();
  // kEscape* codes: raise or lower DTR or RTS.
  bool EscapeLine(int code);
  // Waits at most `timeoutMs` for received bytes; true as soon as some wait.
  // Returns at once when the port closes or the device goes.
  bool WaitInput(std::uint32_t timeoutMs);

  // Applied at once when running: a record the line does not (wholly) take
  // raises "Error setting parameters from DCB" and the copy then holds what
  // the line has.
  void SetLineRecord(const TAfLineRecord& record);
  TAfLineRecord GetLineRecord() const;
  // Used at the next open (the output size is also the ring's size).
  void SetInQueueSize(std::int32_t size) { FInQueueSize = size; }
  void SetOutQueueSize(std::int32_t size) { FOutQueueSize = size; }
  std::int32_t GetInQueueSize() const { return FInQueueSize.load(); }
  std::int32_t GetOutQueueSize() const { return FOutQueueSize.load(); }
  // Direction control of a half-duplex line; used from the next open. In rts
  // mode Write returns once the request has left the line.
  void SetDirection(const TAfDirectionSettings& settings);
  TAfDirectionSettings GetDirection() const;
  // How long Open waits for a port that another open holds; 0: not at all.
  void SetPortWaitMs(std::uint32_t ms) { FPortWaitMs = ms; }
  std::uint32_t GetPortWaitMs() const { return FPortWaitMs.load(); }
  void SetEventThreadPriority(TThreadPriority priority);
  void SetWriteThreadPriority(TThreadPriority priority);
  // From the next open: the event thread waits for StartWatching instead of
  // starting with the open, for an owner whose reports reach nobody until it
  // serves its messages. What happens meanwhile is reported when it starts.
  void SetWatchOnDemand(bool onDemand) { FWatchOnDemand = onDemand; }
  // Starts the open port's event thread; false when the port is not open
  // (or is being opened or closed) or no thread could be made.
  bool StartWatching();

  // True once the device has gone while open (hung up, unplugged); the port
  // stays open until someone closes it. LostReason() is the line for a user.
  bool Lost() const { return FLost.load(); }
  std::string LostReason() const;

  // --- for the port's own threads ---
  std::uint32_t EventMask() const { return FEventMask; }
  // Records that the device has gone and wakes the event thread to report it.
  void MarkLost();
  // Reads the driver's error counters and adds what is new to the line errors.
  void SampleLineErrors();
  // The writer's signal that the ring has been written out.
  void SignalOutFree();
  bool TakeOutFree() { return FOutFree.exchange(false); }

 private:
  [[noreturn]] void RaiseOpenError(const char* format, const std::string& detail);
  bool OpenDevice(int portNumber, const std::string& path);
  void ApplyRecord(bool opening);
  void BeginDirection();
  void StartThreads();
  bool StartEventThread();
  void WakeEventThread();
  void Shutdown();
  bool OnOwnThread() const;

  TAfCoreEventHandler FHandler;
  std::mutex FOpenCloseLock;  // one open or close at a time
  std::atomic<bool> FRunning{false};
  std::atomic<bool> FOpen{false};
  std::atomic<int> FPortNumber{0};
  std::atomic<std::int32_t> FInQueueSize{8192};
  std::atomic<std::int32_t> FOutQueueSize{4096};
  std::atomic<std::uint32_t> FPortWaitMs{0};
  std::atomic<TThreadPriority> FEventPriority{tpNormal};
  std::atomic<TThreadPriority> FWritePriority{tpHighest};
  std::atomic<bool> FWatchOnDemand{false};
  std::atomic<bool> FWatching{false};  // the open port's event thread was started
  const std::uint32_t FEventMask = kDefaultEventMask;

  mutable std::mutex FRecordLock;  // the record copy and the device path
  TAfLineRecord FLineRecord;
  std::string FPath;
  TAfDirectionSettings FDirectionSettings;  // taken by the next open

  // Read side of the handle, status queries, input purges, the line errors.
  std::recursive_mutex FReadLock;
  // The output ring.
  std::recursive_mutex FWriteLock;
  // Held shared while a caller waits on the handle, exclusive to close it.
  std::shared_mutex FHandleUse;
  int FHandle = -1;
  std::uint32_t FLineErrors = 0;             // under FReadLock
  std::unique_ptr<TTtyCounters> FErrorBase;  // under FReadLock
  bool FHaveCounters = false;                // under FReadLock

  std::atomic<bool> FLost{false};
  std::atomic<bool> FOutFree{false};
  TAfWakeFd FEventWake;  // wakes the event thread
  TAfWakeFd FWriteWake;  // wakes the writer
  TAfWakeFd FInputWake;  // ends WaitInput at shutdown

  TAfLineDirection FDirection;  // under FWriteLock, but NoteReceived
  std::atomic<bool> FRtsDirection{false};  // the open port's RTS is the direction's

  std::unique_ptr<TAfComPortWriteThread> FWriteThread;
  std::unique_ptr<TAfComPortEventThread> FEventThread;
};
