#include "transport/serial/AfComPort.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "framework/uScopeGuard.h"
#include "transport/serial/AfComPortThreads.h"
#include "transport/serial/AfSafeSync.h"

namespace {

using TPropGuard = std::lock_guard<std::recursive_mutex>;

constexpr std::array<std::uint32_t, brUser + 1> kRates{
    110,   300,   600,    1200,   2400,   4800,   9600,   14400,  19200, 38400,
    56000, 57600, 115200, 128000, 230400, 256000, 460800, 921600, 0};

constexpr std::array<std::uint32_t, coBreakControl + 1> kOptionBits{
    kLineParityCheck, kLineDsrSensitivity, kLineTxContinueOnXoff,
    kLineErrorChar,   kLineNull,           kLineAbortOnError};

std::uint16_t Limit(std::int64_t value) {
  // The record's limits are 16-bit; a larger queue gets the largest.
  return static_cast<std::uint16_t>(std::clamp<std::int64_t>(value, 0, 0xFFFF));
}

}  // namespace

std::uint32_t AfBaudrateValue(TAfBaudrate rate) {
  return rate >= br110 && rate <= brUser ? kRates[static_cast<std::size_t>(rate)] : 0;
}

std::uint32_t AfFlowControlBits(TAfFlowControl flow) {
  switch (flow) {
    case fwXOnXOff:
      return kLineOutX | kLineInX;
    case fwRtsCts:
      return kLineOutCtsFlow | kLineRtsHandshake;
    case fwDtrDsr:
      return kLineOutDsrFlow | kLineDtrHandshake;
    case fwNone:
      break;
  }
  return 0;
}

std::uint32_t AfOptionBit(TAfComOption option) {
  return option >= coParityCheck && option <= coBreakControl
             ? kOptionBits[static_cast<std::size_t>(option)]
             : 0;
}

// --- life ---

TAfCustomSerialPort::TAfCustomSerialPort() {
  FSyncId = RegisterTarget([this] { SyncReport(); });
  FCore = std::make_unique<TAfComPortCore>(
      [this](TAfComPortCore&, TAfCoreEvent kind, std::uint32_t value, std::exception_ptr error) {
        CoreReport(kind, value, std::move(error));
      });
  BuildLineRecord();
}

TAfCustomSerialPort::~TAfCustomSerialPort() {
  FDestroying = true;
  // Unregistered first, so that a report waiting for this thread returns at
  // once and the core's threads can stop.
  UnregisterTarget(FSyncId);
  FCore.reset();
}

bool TAfCustomSerialPort::IsOpen() const {
  return FCore && FCore->IsOpen();
}

void TAfCustomSerialPort::RaisePortError(const std::string& message) const {
  throw EAfComPortError(message + " - " + GetName() + " ");
}

void TAfCustomSerialPort::OpenPort() {
  if (IsOpen()) return;
  TAfDataDispConnComponent::OpenPort();
  EnableTarget(FSyncId, true);
  {
    TPropGuard guard(FPropLock);
    FCore->SetLineRecord(FLineRecord);
    FCore->SetInQueueSize(FInBufSize);
    FCore->SetOutQueueSize(FOutBufSize);
    FCore->SetEventThreadPriority(FEventThreadPriority);
    FCore->SetWriteThreadPriority(FWriteThreadPriority);
  }
  // Reports for the owner thread reach it only when it serves its messages:
  // the line is watched from the first time it does (a run that never does,
  // a one-shot console run, starts no thread for it). Reports taken on the
  // event thread itself need the watch from the open.
  const bool synced = !OnNonSyncEvent;
  FCore->SetWatchOnDemand(synced);
  FClosing = false;
  {
    // No reports can come from a port that did not open.
    TScopeGuard undo([this] { EnableTarget(FSyncId, false); });
    OpenDevice();
    undo.Dismiss();
  }
  if (synced && !PostCall(FSyncId, [this] { FCore->StartWatching(); })) FCore->StartWatching();
  if (OnPortOpen) OnPortOpen(*this);
}

void TAfCustomSerialPort::ClosePort() {
  if (OnPortThread(*FCore)) return;
  FClosing = true;
  TAfDataDispConnComponent::ClosePort();
  // Disabled before the threads stop: a report waiting for the owner thread
  // returns at once instead of holding the event thread.
  EnableTarget(FSyncId, false);
  FCore->CloseIfOpen();
  if (OnPortClose) OnPortClose(*this);
  FClosing = false;
}

// --- data ---

void TAfCustomSerialPort::WriteBytes(const std::uint8_t* buffer, std::int32_t n) {
  if (FClosing) return;
  if (FCore->Write(buffer, n)) return;
  char text[96];
  std::snprintf(text, sizeof text, "Write data error [requested: %d, free: %d]", n,
                FCore->OutFree());
  RaisePortError(text);
}

void TAfCustomSerialPort::WriteText(const TBytes& data) {
  if (!data.empty()) WriteBytes(data.data(), static_cast<std::int32_t>(data.size()));
}

void TAfCustomSerialPort::ReadBytes(std::uint8_t* buffer, std::int32_t n) {
  if (FClosing) return;
  if (FCore->ReadInto(buffer, n) != n) RaisePortError("Read data error");
}

TBytes TAfCustomSerialPort::ReadText() {
  TBytes data;
  if (FClosing) return data;
  const std::uint32_t waiting = FCore->InQueue();
  if (waiting == 0) return data;
  data.resize(waiting);
  const std::int32_t got = FCore->ReadInto(data.data(), static_cast<std::int32_t>(waiting));
  data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return data;
}

std::uint32_t TAfCustomSerialPort::InQueueCount() {
  return FCore->InQueue();
}

std::int32_t TAfCustomSerialPort::OutRingFree() {
  return FCore->OutFree();
}

bool TAfCustomSerialPort::ModemLineState(int line) {
  static constexpr std::array<std::uint32_t, 4> kBits{kModemCts, kModemDsr, kModemRing, kModemRlsd};
  if (line < 1 || line > 4) return false;
  return (FCore->ModemStatus() & kBits[static_cast<std::size_t>(line - 1)]) != 0;
}

bool TAfCustomSerialPort::PurgeInput() {
  return !FClosing && FCore->PurgeInput();
}

bool TAfCustomSerialPort::PurgeOutput() {
  return !FClosing && FCore->PurgeOutput();
}

bool TAfCustomSerialPort::WaitInput(std::uint32_t timeoutMs) {
  return !FClosing && FCore->WaitInput(timeoutMs);
}

// --- reports ---

void TAfCustomSerialPort::CoreReport(TAfCoreEvent kind, std::uint32_t value,
                                     std::exception_ptr error) {
  if (FClosing || FDestroying) return;
  if (kind != ceException && OnNonSyncEvent) {
    OnNonSyncEvent(*this, kind, value);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(FPendingLock);
    FPendingKind = kind;
    FPendingValue = value;
    FPendingError = std::move(error);
  }
  // A false result (the owner did not take it, or the target was disabled)
  // leaves the report untold; the event thread goes on.
  SyncCall(FSyncId, kSyncTimeoutMs);
}

void TAfCustomSerialPort::SyncReport() {
  if (FClosing) return;
  // A copy: the member goes with the component, which a handler may free.
  const auto scope = OnReportScope;
  if (scope)
    scope([this] { RaiseReport(); });
  else
    RaiseReport();
}

void TAfCustomSerialPort::RaiseReport() {
  TAfCoreEvent kind;
  std::uint32_t value;
  std::exception_ptr error;
  {
    std::lock_guard<std::mutex> guard(FPendingLock);
    kind = FPendingKind;
    value = FPendingValue;
    error = std::exchange(FPendingError, nullptr);
  }
  if (OnSyncEvent) OnSyncEvent(*this, kind, value);
  switch (kind) {
    case ceOutFree:
      if (OnOutBufFree) OnOutBufFree(*this);
      break;
    case ceLineEvent: {
      if ((value & kEvRxChar) != 0 && OnDataRecived) OnDataRecived(*this, InQueueCount());
      const std::uint32_t errors = FCore->TakeErrors();
      if ((value & kEvErr) != 0 && OnLineError) OnLineError(*this, errors);
      if ((value & kEvCts) != 0 && OnCTSChanged) OnCTSChanged(*this);
      if ((value & kEvDsr) != 0 && OnDSRChanged) OnDSRChanged(*this);
      if ((value & kEvRing) != 0 && OnRINGDetected) OnRINGDetected(*this);
      if ((value & kEvRlsd) != 0 && OnRLSDChanged) OnRLSDChanged(*this);
      break;
    }
    case ceNeedReadData:
      if (OnDataRecived) OnDataRecived(*this, value);
      break;
    case ceException:
      if (error) std::rethrow_exception(error);
      break;
    case ceLineLost:
      if (OnLineLost) OnLineLost(*this);
      break;
  }
}

// --- the line-settings record ---

void TAfCustomSerialPort::BuildLineRecord() {
  TAfLineRecord record;
  {
    TPropGuard guard(FPropLock);
    record.Length = kLineRecordLength;
    record.BaudRate = FBaudRate == brUser ? static_cast<std::uint32_t>(FUserBaudRate)
                                          : AfBaudrateValue(FBaudRate);
    record.ByteSize = static_cast<std::uint8_t>(FDatabits + 4);
    record.Parity = static_cast<std::uint8_t>(FParity);
    record.StopBits = static_cast<std::uint8_t>(FStopbits);
    record.XonChar = FXOnChar;
    record.XoffChar = FXOffChar;
    record.XonLim = FXOnLim;
    record.XoffLim = FXOffLim;
    record.Flags = kLineBinary | AfFlowControlBits(FFlowControl);
    for (int option = coParityCheck; option <= coBreakControl; ++option)
      if ((FOptions & AfOption(static_cast<TAfComOption>(option))) != 0)
        record.Flags |= AfOptionBit(static_cast<TAfComOption>(option));
    if (FDTR && FFlowControl != fwDtrDsr) record.Flags |= kLineDtrEnable;
    if (FRTS && FFlowControl != fwRtsCts) record.Flags |= kLineRtsEnable;
    FLineRecord = record;
    if (!IsOpen()) return;
    try {
      FCore->SetLineRecord(record);
    } catch (const EAfComPortCoreError&) {
      // The properties follow what the line has, so that a setting it
      // refused is not asked again, and refused again, with every later change.
      FLineRecord = FCore->GetLineRecord();
      const TAfLineRecord& has = FLineRecord;
      if (has.ByteSize >= 5 && has.ByteSize <= 8)
        FDatabits = static_cast<TAfDatabits>(has.ByteSize - 4);
      if (has.Parity <= kParitySpace) FParity = static_cast<TAfParity>(has.Parity);
      if (has.StopBits <= kStopBitsTwo) FStopbits = static_cast<TAfStopbits>(has.StopBits);
      if (has.BaudRate != record.BaudRate && has.BaudRate != 0) {
        FBaudRate = brUser;
        FUserBaudRate = static_cast<std::int32_t>(has.BaudRate);
      }
      throw;
    }
  }
}

void TAfCustomSerialPort::LoadLineRecord(const TAfLineRecord& record) {
  if (record.Length != kLineRecordLength) RaisePortError("Error setting parameters from DCB");
  {
    TPropGuard guard(FPropLock);
    FLineRecord = record;
    FBaudRate = brUser;
    FUserBaudRate = static_cast<std::int32_t>(record.BaudRate);
    for (int rate = br110; rate <= brUser; ++rate) {
      if (kRates[static_cast<std::size_t>(rate)] == record.BaudRate) {
        FBaudRate = static_cast<TAfBaudrate>(rate);
        if (FBaudRate != brUser) FUserBaudRate = 0;
        break;
      }
    }
    FDatabits = record.ByteSize >= 4 && record.ByteSize <= 8
                    ? static_cast<TAfDatabits>(record.ByteSize - 4)
                    : db8;
    FParity =
        record.Parity <= kParitySpace ? static_cast<TAfParity>(record.Parity) : TAfParity::paNone;
    FStopbits = record.StopBits <= kStopBitsTwo ? static_cast<TAfStopbits>(record.StopBits)
                                                : TAfStopbits::sbOne;
    FFlowControl = fwNone;
    for (TAfFlowControl flow : {fwDtrDsr, fwRtsCts, fwXOnXOff}) {
      if ((record.Flags & AfFlowControlBits(flow)) == AfFlowControlBits(flow)) {
        FFlowControl = flow;
        break;
      }
    }
    FOptions = 0;
    for (int option = coParityCheck; option <= coBreakControl; ++option)
      if ((record.Flags & AfOptionBit(static_cast<TAfComOption>(option))) != 0)
        FOptions |= AfOption(static_cast<TAfComOption>(option));
    FXOnChar = record.XonChar;
    FXOffChar = record.XoffChar;
    FXOnLim = record.XonLim;
    FXOffLim = record.XoffLim;
  }
  BuildLineRecord();
}

TAfLineRecord TAfCustomSerialPort::GetLineRecord() const {
  TPropGuard guard(FPropLock);
  return FLineRecord;
}

// --- properties ---

void TAfCustomSerialPort::RequireClosed() const {
  if (IsOpen()) RaisePortError("Port is not closed");
}

void TAfCustomSerialPort::RecomputeLimits() {
  if (FFlowControl == fwNone) {
    FXOnLim = 0;
    FXOffLim = 0;
  } else {
    FXOnLim = Limit(FInBufSize / 4);
    FXOffLim = Limit(FInBufSize - FInBufSize / 4);
  }
}

TAfBaudrate TAfCustomSerialPort::GetBaudRate() const {
  TPropGuard guard(FPropLock);
  return FBaudRate;
}

void TAfCustomSerialPort::SetBaudRate(TAfBaudrate value) {
  {
    TPropGuard guard(FPropLock);
    if (value == FBaudRate) return;
    FBaudRate = value;
    if (value != brUser) FUserBaudRate = 0;
  }
  BuildLineRecord();
}

std::int32_t TAfCustomSerialPort::GetUserBaudRate() const {
  TPropGuard guard(FPropLock);
  return FUserBaudRate;
}

void TAfCustomSerialPort::SetUserBaudRate(std::int32_t value) {
  {
    TPropGuard guard(FPropLock);
    if (value == FUserBaudRate && FBaudRate == brUser) return;
    FUserBaudRate = value;
    FBaudRate = brUser;
  }
  BuildLineRecord();
}

TAfDatabits TAfCustomSerialPort::GetDatabits() const {
  return Get(FDatabits);
}
void TAfCustomSerialPort::SetDatabits(TAfDatabits value) {
  SetAndRebuild(FDatabits, value);
}
TAfParity TAfCustomSerialPort::GetParity() const {
  return Get(FParity);
}
void TAfCustomSerialPort::SetParity(TAfParity value) {
  SetAndRebuild(FParity, value);
}
TAfStopbits TAfCustomSerialPort::GetStopbits() const {
  return Get(FStopbits);
}
void TAfCustomSerialPort::SetStopbits(TAfStopbits value) {
  SetAndRebuild(FStopbits, value);
}
TAfComOptions TAfCustomSerialPort::GetOptions() const {
  return Get(FOptions);
}
void TAfCustomSerialPort::SetOptions(TAfComOptions value) {
  SetAndRebuild(FOptions, value);
}
char TAfCustomSerialPort::GetXOnChar() const {
  return Get(FXOnChar);
}
void TAfCustomSerialPort::SetXOnChar(char value) {
  SetAndRebuild(FXOnChar, value);
}
char TAfCustomSerialPort::GetXOffChar() const {
  return Get(FXOffChar);
}
void TAfCustomSerialPort::SetXOffChar(char value) {
  SetAndRebuild(FXOffChar, value);
}
TThreadPriority TAfCustomSerialPort::GetEventThreadPriority() const {
  return Get(FEventThreadPriority);
}
TThreadPriority TAfCustomSerialPort::GetWriteThreadPriority() const {
  return Get(FWriteThreadPriority);
}
std::int32_t TAfCustomSerialPort::GetInBufSize() const {
  return Get(FInBufSize);
}
std::int32_t TAfCustomSerialPort::GetOutBufSize() const {
  return Get(FOutBufSize);
}
TAfFlowControl TAfCustomSerialPort::GetFlowControl() const {
  return Get(FFlowControl);
}
bool TAfCustomSerialPort::GetDTR() const {
  return Get(FDTR);
}
bool TAfCustomSerialPort::GetRTS() const {
  return Get(FRTS);
}
std::uint16_t TAfCustomSerialPort::GetXOnLim() const {
  return Get(FXOnLim);
}
std::uint16_t TAfCustomSerialPort::GetXOffLim() const {
  return Get(FXOffLim);
}

void TAfCustomSerialPort::SetEventThreadPriority(TThreadPriority value) {
  TPropGuard guard(FPropLock);
  FEventThreadPriority = value;  // applied at the next open
}

void TAfCustomSerialPort::SetWriteThreadPriority(TThreadPriority value) {
  TPropGuard guard(FPropLock);
  FWriteThreadPriority = value;  // applied at the next open
}

// DTR and RTS also rebuild the record, so that the record a later open
// applies raises or lowers the line as the property says.
void TAfCustomSerialPort::SetDTR(bool value) {
  if (value == GetDTR()) return;
  if (FCore->Running()) FCore->EscapeLine(value ? kEscapeSetDtr : kEscapeClrDtr);
  SetAndRebuild(FDTR, value);
}

void TAfCustomSerialPort::SetRTS(bool value) {
  if (value == GetRTS()) return;
  if (FCore->Running()) FCore->EscapeLine(value ? kEscapeSetRts : kEscapeClrRts);
  SetAndRebuild(FRTS, value);
}

void TAfCustomSerialPort::SetFlowControl(TAfFlowControl value) {
  {
    TPropGuard guard(FPropLock);
    if (value == FFlowControl) return;
    FFlowControl = value;
    RecomputeLimits();
  }
  BuildLineRecord();
}

void TAfCustomSerialPort::SetInBufSize(std::int32_t value) {
  {
    TPropGuard guard(FPropLock);
    if (value == FInBufSize) return;
    RequireClosed();
    FInBufSize = value;
    RecomputeLimits();
  }
  BuildLineRecord();
}

void TAfCustomSerialPort::SetOutBufSize(std::int32_t value) {
  TPropGuard guard(FPropLock);
  if (value == FOutBufSize) return;
  RequireClosed();
  FOutBufSize = value;
}

void TAfCustomSerialPort::SetXOnLim(std::uint16_t value) {
  {
    TPropGuard guard(FPropLock);
    if (value == FXOnLim) return;
    FXOnLim = value;
    FXOffLim = Limit(std::int64_t{FInBufSize} - value);
  }
  BuildLineRecord();
}

void TAfCustomSerialPort::SetXOffLim(std::uint16_t value) {
  {
    TPropGuard guard(FPropLock);
    if (value == FXOffLim) return;
    FXOffLim = value;
    FXOnLim = Limit(std::int64_t{FInBufSize} - value);
  }
  BuildLineRecord();
}

// --- TAfCustomComPort ---

void TAfCustomComPort::SetComNumber(std::uint16_t value) {
  if (value == FComNumber) return;
  if (!IsOpen()) {
    FComNumber = value;
    return;
  }
  ClosePort();
  FComNumber = value;
  OpenPort();
}

void TAfCustomComPort::OpenDevice() {
  Core().Open(FComNumber);
}
