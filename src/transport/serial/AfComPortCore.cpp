#include "transport/serial/AfComPortCore.h"

#include <cerrno>
#include <cstdio>
#include <new>

#include "framework/uErrors.h"
#include "framework/uScopeGuard.h"
#include "transport/serial/AfComPortThreads.h"

namespace {

using TReadGuard = std::lock_guard<std::recursive_mutex>;
using TWriteGuard = std::lock_guard<std::recursive_mutex>;

}  // namespace

TAfComPortCore::TAfComPortCore(TAfCoreEventHandler handler)
    : FHandler(std::move(handler)), FErrorBase(std::make_unique<TTtyCounters>()) {}

TAfComPortCore::~TAfComPortCore() {
  try {
    CloseIfOpen();
  } catch (...) {
    // A destructor reports nothing; the descriptor is closed whatever failed.
  }
}

std::string TAfComPortCore::DevicePath() const {
  std::lock_guard<std::mutex> guard(FRecordLock);
  return FPath;
}

std::string TAfComPortCore::LostReason() const {
  if (!FLost) return std::string();
  return DevicePath() + ": the device has gone (unplugged or hung up)";
}

void TAfComPortCore::RaiseOpenError(const char* format, const std::string& detail) {
  char text[64];
  std::snprintf(text, sizeof text, format, FPortNumber.load());
  // A tty opened by its path is named by it, not as "COM0".
  if (FPortNumber.load() <= 0 && !DevicePath().empty())
    throw EAfComPortCoreError(std::string(format).find("Invalid") == 0
                                  ? "Invalid device " + DevicePath()
                                  : "Can't open device " + DevicePath(),
                              detail);
  throw EAfComPortCoreError(text, detail);
}

// --- open and close ---

bool TAfComPortCore::Open(int portNumber) {
  return OpenDevice(portNumber, portNumber > 0 ? ComPortPath(portNumber) : std::string());
}

bool TAfComPortCore::OpenPath(const std::string& path) {
  return OpenDevice(0, path);
}

bool TAfComPortCore::OpenDevice(int portNumber, const std::string& path) {
  std::lock_guard<std::mutex> openClose(FOpenCloseLock);
  if (FOpen) return false;
  FPortNumber = portNumber;
  {
    std::lock_guard<std::mutex> guard(FRecordLock);
    FPath = path;
  }
  if (path.empty())
    RaiseOpenError("Invalid port number (COM%d)",
                   "COM" + std::to_string(portNumber) + ": no such port (ports count from 1)");
  TTtyOpenResult opened = OpenTtyWaiting(path, FPortWaitMs.load());
  if (opened.Fd < 0)
    RaiseOpenError(opened.Failure == TTtyOpenFailure::NoDevice ? "Invalid port number (COM%d)"
                                                               : "Can't open device COM%d",
                   opened.Reason);
  {
    std::unique_lock<std::shared_mutex> use(FHandleUse);
    TReadGuard read(FReadLock);
    FHandle = opened.Fd;
    FLineErrors = 0;
    FHaveCounters = TtyReadCounters(FHandle, *FErrorBase);
  }
  FLost = false;
  FOutFree = false;
  FWatching = false;
  FEventWake.Drain();
  FWriteWake.Drain();
  FInputWake.Drain();
  TScopeGuard undo([this] { Shutdown(); });  // a port that failed to open holds nothing
  ApplyRecord(true);
  // A freshly opened port starts empty: what reached the line before (a
  // pseudo-terminal keeps it for a later opener) answers nothing of ours.
  {
    TReadGuard read(FReadLock);
    TtyFlush(FHandle, TTtyQueue::Input);
  }
  BeginDirection();
  StartThreads();
  undo.Dismiss();
  FOpen = true;
  return true;
}

void TAfComPortCore::StartThreads() {
  try {
    FWriteThread = std::make_unique<TAfComPortWriteThread>(*this, FHandle, FWriteWake,
                                                           FOutQueueSize.load(), FWriteLock);
  } catch (const std::bad_alloc&) {
    throw EAfComPortCoreError("Error initializing buffers",
                              DevicePath() + ": no memory for an output buffer of " +
                                  std::to_string(FOutQueueSize.load()) + " bytes");
  } catch (const std::invalid_argument&) {
    throw EAfComPortCoreError("Error initializing buffers",
                              DevicePath() + ": output buffer size " +
                                  std::to_string(FOutQueueSize.load()) + " is not usable");
  }
  // The writer starts with the first bytes the tty does not take at once.
  FWriteThread->SetPriority(FWritePriority);
  FRunning = true;
  FEventThread = std::make_unique<TAfComPortEventThread>(*this, FHandle, FEventWake, FHandler);
  FEventThread->SetPriority(FEventPriority);
  if (!FWatchOnDemand && !StartEventThread())
    throw EAfComPortCoreError("Error creating threads",
                              DevicePath() + ": the port's threads did not start");
}

bool TAfComPortCore::StartEventThread() {
  FWatching = true;
  FEventWake.Signal();  // its first look is at once
  return FEventThread->Start();
}

bool TAfComPortCore::StartWatching() {
  // Never waits for an open or close in progress: a close ends the watch
  // anyway, and an open that defers it has its own start coming.
  std::unique_lock<std::mutex> openClose(FOpenCloseLock, std::try_to_lock);
  if (!openClose.owns_lock() || !FOpen || !FEventThread) return false;
  return StartEventThread();
}

void TAfComPortCore::BeginDirection() {
  TReadGuard read(FReadLock);
  TWriteGuard write(FWriteLock);
  const TAfLineRecord record = GetLineRecord();
  FDirection.SetSettings(GetDirection());
  FRtsDirection = FDirection.Settings().Mode == TAfDirectionMode::Rts;
  // Ten bits a character, as the transport counts its character time.
  FDirection.SetCharTimeUs(record.BaudRate > 0 ? 10'000'000u / record.BaudRate : 0);
  int error = 0;
  if (FDirection.Begin(FHandle, error)) return;
  throw EAfComPortCoreError("Error setting parameters from DCB",
                            DevicePath() + ": the line does not switch its direction itself (" +
                                ErrnoText(error) + "); choose rts or off");
}

void TAfComPortCore::SetDirection(const TAfDirectionSettings& settings) {
  std::lock_guard<std::mutex> guard(FRecordLock);
  FDirectionSettings = settings;
}

TAfDirectionSettings TAfComPortCore::GetDirection() const {
  std::lock_guard<std::mutex> guard(FRecordLock);
  return FDirectionSettings;
}

void TAfComPortCore::CloseIfOpen() {
  // A port thread cannot wait for its own end; the port stays open for its owner.
  if (OnPortThread(*this)) return;
  std::lock_guard<std::mutex> openClose(FOpenCloseLock);
  if (!FOpen) return;
  Shutdown();
  FOpen = false;
}

void TAfComPortCore::Shutdown() {
  if (FHandle < 0) return;
  FRunning = false;
  FInputWake.Signal();
  // The threads are stopped without holding the read lock: the event
  // thread's status query takes it, so a stop that held it could wait for a
  // thread that waits for it. Callers see FRunning cleared and stay away.
  if (FEventThread) FEventThread->StopThread();
  if (FWriteThread) FWriteThread->StopThread();
  std::unique_lock<std::shared_mutex> use(FHandleUse);
  TReadGuard read(FReadLock);
  TWriteGuard write(FWriteLock);
  // Unsent output is dropped, so that closing never waits for a held-off line.
  TtyFlush(FHandle, TTtyQueue::Both);
  FDirection.End(FHandle);
  CloseTty(FHandle);
  FEventThread.reset();
  FWriteThread.reset();
}

// --- line settings ---

void TAfComPortCore::SetLineRecord(const TAfLineRecord& record) {
  {
    std::lock_guard<std::mutex> guard(FRecordLock);
    FLineRecord = record;
  }
  if (FRunning) ApplyRecord(false);
}

TAfLineRecord TAfComPortCore::GetLineRecord() const {
  std::lock_guard<std::mutex> guard(FRecordLock);
  return FLineRecord;
}

void TAfComPortCore::ApplyRecord(bool opening) {
  TAfLineRecord record = GetLineRecord();
  // RTS belongs to the direction control: it stays low while listening.
  const bool rtsDirection =
      opening ? GetDirection().Mode == TAfDirectionMode::Rts : FRtsDirection.load();
  if (rtsDirection) record.Flags &= ~kLineRtsMask;
  std::string untaken;
  TTtyApply result = TTtyApply::Failed;
  int error = 0;
  {
    TReadGuard read(FReadLock);
    if (FHandle < 0) return;
    result = ApplyLineRecord(FHandle, record, untaken, error);
  }
  if (result == TTtyApply::Applied) return;
  const std::string path = DevicePath();
  if (result == TTtyApply::Untaken) {
    {
      std::lock_guard<std::mutex> guard(FRecordLock);
      FLineRecord = record;
    }
    throw EAfComPortCoreError("Error setting parameters from DCB",
                              path + ": the line does not take " + untaken);
  }
  // A port with no hardware behind it fails its first configuration with EIO.
  if (opening && error == EIO)
    RaiseOpenError("Invalid port number (COM%d)", path + ": no such device");
  if (error == EIO) MarkLost();
  bool noDevice = false;
  throw EAfComPortCoreError("Error setting parameters from DCB",
                            TtyFailureReason(path, error, noDevice));
}

void TAfComPortCore::SetEventThreadPriority(TThreadPriority priority) {
  FEventPriority = priority;
  std::lock_guard<std::mutex> openClose(FOpenCloseLock);
  if (FEventThread) FEventThread->SetPriority(priority);
}

void TAfComPortCore::SetWriteThreadPriority(TThreadPriority priority) {
  FWritePriority = priority;
  std::lock_guard<std::mutex> openClose(FOpenCloseLock);
  if (FWriteThread) FWriteThread->SetPriority(priority);
}

// --- data ---

std::uint32_t TAfComPortCore::InQueue() {
  TReadGuard read(FReadLock);
  if (!FRunning) return 0;
  bool gone = false;
  const int waiting = TtyInQueueChecked(FHandle, gone);
  if (gone) MarkLost();
  SampleLineErrors();
  return waiting > 0 ? static_cast<std::uint32_t>(waiting) : 0;
}

TAfComStat TAfComPortCore::QueryStatus() {
  TAfComStat status;
  {
    TReadGuard read(FReadLock);
    if (!FRunning) return status;
    status.InQueue = InQueue();  // the read lock is recursive
    status.OutQueue = static_cast<std::uint32_t>(TtyOutQueue(FHandle));
  }
  TWriteGuard write(FWriteLock);
  if (FRunning && FWriteThread) status.OutQueue += static_cast<std::uint32_t>(FWriteThread->Used());
  return status;
}

std::uint32_t TAfComPortCore::TakeErrors() {
  TReadGuard read(FReadLock);
  if (!FRunning) return 0;
  SampleLineErrors();
  return std::exchange(FLineErrors, 0u);
}

void TAfComPortCore::SampleLineErrors() {
  TReadGuard read(FReadLock);
  if (!FHaveCounters || FHandle < 0) return;
  TTtyCounters now;
  if (!TtyReadCounters(FHandle, now)) return;
  if (now.Frame != FErrorBase->Frame) FLineErrors |= kErrFrame;
  if (now.Parity != FErrorBase->Parity) FLineErrors |= kErrParity;
  if (now.Overrun != FErrorBase->Overrun) FLineErrors |= kErrOverrun;
  if (now.BufferOverrun != FErrorBase->BufferOverrun) FLineErrors |= kErrRxOver;
  if (now.Break != FErrorBase->Break) FLineErrors |= kErrBreak;
  *FErrorBase = now;
}

std::int32_t TAfComPortCore::ReadInto(std::uint8_t* buffer, std::int32_t n) {
  TReadGuard read(FReadLock);
  if (!FRunning) return -1;
  if (n <= 0) return 0;
  bool gone = false;
  const long got = TtyRead(FHandle, buffer, static_cast<std::size_t>(n), gone);
  if (gone) MarkLost();
  // The queue shrank: the event thread may watch for input again.
  if (got > 0) {
    FDirection.NoteReceived(buffer, static_cast<std::size_t>(got));
    WakeEventThread();
  }
  return static_cast<std::int32_t>(got);
}

bool TAfComPortCore::Write(const std::uint8_t* buffer, std::int32_t n) {
  TWriteGuard write(FWriteLock);
  if (!FRunning || !FWriteThread) return false;
  if (n <= 0) return FWriteThread->Enqueue(buffer, n);
  return FDirection.Send(FHandle, buffer, static_cast<std::size_t>(n),
                         [&] { return FWriteThread->Enqueue(buffer, n); });
}

std::int32_t TAfComPortCore::OutFree() {
  TWriteGuard write(FWriteLock);
  if (!FRunning || !FWriteThread) return 0;
  return FWriteThread->FreeSpace();
}

bool TAfComPortCore::PurgeInput() {
  TReadGuard read(FReadLock);
  if (!FRunning) return false;
  const bool done = TtyFlush(FHandle, TTtyQueue::Input);
  WakeEventThread();
  return done;
}

bool TAfComPortCore::PurgeOutput() {
  TWriteGuard write(FWriteLock);
  if (!FRunning || !FWriteThread) return false;
  FWriteThread->Purge();
  return TtyFlush(FHandle, TTtyQueue::Output);
}

std::uint32_t TAfComPortCore::ModemStatus() {
  TReadGuard read(FReadLock);
  std::uint32_t status = 0;
  if (!FRunning || !TtyModemLines(FHandle, status)) return 0;
  return status;
}

bool TAfComPortCore::EscapeLine(int code) {
  TReadGuard read(FReadLock);
  if (!FRunning) return false;
  switch (code) {
    case kEscapeSetDtr:
      return TtySetModemLine(FHandle, TTtyOutputLine::Dtr, true);
    case kEscapeClrDtr:
      return TtySetModemLine(FHandle, TTtyOutputLine::Dtr, false);
    case kEscapeSetRts:
      return TtySetModemLine(FHandle, TTtyOutputLine::Rts, true);
    case kEscapeClrRts:
      return TtySetModemLine(FHandle, TTtyOutputLine::Rts, false);
    default:
      return false;
  }
}

bool TAfComPortCore::WaitInput(std::uint32_t timeoutMs) {
  std::shared_lock<std::shared_mutex> use(FHandleUse);
  if (!FRunning || FLost) return false;
  bool gone = false;
  const int waiting = TtyInQueueChecked(FHandle, gone);
  if (waiting > 0) return true;
  if (gone) {
    MarkLost();
    return false;
  }
  if (TtyWait(FHandle, true, false, FInputWake.Fd(), timeoutMs).Gone) {
    MarkLost();
    return false;
  }
  if (!FRunning) return false;
  const int now = TtyInQueueChecked(FHandle, gone);
  if (gone) MarkLost();
  return now > 0;
}

// --- for the port's threads ---

void TAfComPortCore::MarkLost() {
  if (FLost.exchange(true)) return;
  WakeEventThread();
  FInputWake.Signal();
}

void TAfComPortCore::SignalOutFree() {
  FOutFree = true;
  WakeEventThread();
}

void TAfComPortCore::WakeEventThread() {
  // Until the watch begins nothing sleeps on the descriptor: the thread looks
  // at everything when it starts, woken once then.
  if (FWatching.load()) FEventWake.Signal();
}
