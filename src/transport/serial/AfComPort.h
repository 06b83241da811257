// The serial port component: line settings as properties, the line-settings
// record built from them, the engine core opened and closed, and the core's
// reports turned into events on the thread that created the component.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "framework/uBytes.h"
#include "transport/serial/AfComPortCore.h"
#include "transport/serial/AfDataDispatcher.h"
#include "transport/serial/AfLineRecord.h"

// Raised by the component: its text followed by " - ", its name and a blank.
class EAfComPortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TAfBaudrate : int {
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br230400,
  br256000,
  br460800,
  br921600,
  brUser,  // the rate is UserBaudRate
};
enum TAfDatabits : int { db4, db5, db6, db7, db8 };
// Scoped: the serial-line interface names its codes of the same values alike.
enum class TAfParity : int { paNone, paOdd, paEven, paMark, paSpace };
enum class TAfStopbits : int { sbOne, sbOneAndHalf, sbTwo };
enum TAfFlowControl : int { fwNone, fwXOnXOff, fwRtsCts, fwDtrDsr };
enum TAfComOption : int {
  coParityCheck,
  coDsrSensitivity,
  coIgnoreXOff,
  coErrorChar,
  coStripNull,
  coBreakControl,
};
// A set of TAfComOption: bit (1 << option) for each member.
using TAfComOptions = std::uint32_t;
constexpr TAfComOptions AfOption(TAfComOption option) {
  return 1u << option;
}

// Bit rate of each TAfBaudrate, brUser last with 0.
std::uint32_t AfBaudrateValue(TAfBaudrate rate);
// Flag bits of a flow control and of an option in the record.
std::uint32_t AfFlowControlBits(TAfFlowControl flow);
std::uint32_t AfOptionBit(TAfComOption option);

class TAfCustomSerialPort;

using TAfNotifyEvent = std::function<void(TAfCustomSerialPort& sender)>;
using TAfDataReceivedEvent = std::function<void(TAfCustomSerialPort& sender, std::uint32_t count)>;
using TAfErrorEvent = std::function<void(TAfCustomSerialPort& sender, std::uint32_t errors)>;
using TAfCoreEventEvent =
    std::function<void(TAfCustomSerialPort& sender, TAfCoreEvent kind, std::uint32_t data)>;

// Events and properties are for the owner thread. Set the events while the
// port is closed; the synchronised ones run on the thread that created the
// component, when it processes its messages.
class TAfCustomSerialPort : public TAfDataDispConnComponent {
 public:
  // How long a report waits for the owner thread to take it.
  static constexpr std::uint32_t kSyncTimeoutMs = 2000;

  TAfCustomSerialPort();
  ~TAfCustomSerialPort() override;

  bool IsOpen() const;
  void OpenPort() override;
  // On one of the port's own threads (a non-synchronised event) the port
  // cannot be closed, as a thread cannot wait for its own end: it stays
  // open, and nothing is announced.
  void ClosePort() override;
  void WriteBytes(const std::uint8_t* buffer, std::int32_t n) override;
  void WriteText(const TBytes& data);
  void ReadBytes(std::uint8_t* buffer, std::int32_t n);
  TBytes ReadText();
  std::uint32_t InQueueCount();
  std::int32_t OutRingFree();
  // Line 1 CTS, 2 DSR, 3 ring, 4 carrier detect.
  bool ModemLineState(int line);
  bool PurgeInput();
  bool PurgeOutput();
  // Waits at most `timeoutMs` for received bytes; true as soon as some wait.
  bool WaitInput(std::uint32_t timeoutMs);
  // The device went away while open; the port stays open until closed.
  bool Lost() const { return FCore->Lost(); }
  std::string LostReason() const { return FCore->LostReason(); }
  std::string DevicePath() const { return FCore->DevicePath(); }
  // How long opening waits for a port that another open holds; 0: not at all.
  void SetPortWaitMs(std::uint32_t ms) { FCore->SetPortWaitMs(ms); }
  std::uint32_t GetPortWaitMs() const { return FCore->GetPortWaitMs(); }
  // Direction control of a half-duplex line, from the next open.
  void SetDirection(const TAfDirectionSettings& settings) { FCore->SetDirection(settings); }
  TAfDirectionSettings GetDirection() const { return FCore->GetDirection(); }
  // No configuration dialog exists on this platform: always false.
  virtual bool ShowConfigDialog() = 0;

  void BuildLineRecord();
  void LoadLineRecord(const TAfLineRecord& record);
  TAfLineRecord GetLineRecord() const;

  bool GetAutoOpen() const { return FAutoOpen; }
  void SetAutoOpen(bool value) { FAutoOpen = value; }
  TAfBaudrate GetBaudRate() const;
  void SetBaudRate(TAfBaudrate value);
  TAfDatabits GetDatabits() const;
  void SetDatabits(TAfDatabits value);
  bool GetDTR() const;
  void SetDTR(bool value);
  TThreadPriority GetEventThreadPriority() const;
  void SetEventThreadPriority(TThreadPriority value);
  TAfFlowControl GetFlowControl() const;
  void SetFlowControl(TAfFlowControl value);
  std::int32_t GetInBufSize() const;
  void SetInBufSize(std::int32_t value);
  TAfComOptions GetOptions() const;
  void SetOptions(TAfComOptions value);
  std::int32_t GetOutBufSize() const;
  void SetOutBufSize(std::int32_t value);
  TAfParity GetParity() const;
  void SetParity(TAfParity value);
  bool GetRTS() const;
  void SetRTS(bool value);
  TAfStopbits GetStopbits() const;
  void SetStopbits(TAfStopbits value);
  std::int32_t GetUserBaudRate() const;
  void SetUserBaudRate(std::int32_t value);
  TThreadPriority GetWriteThreadPriority() const;
  void SetWriteThreadPriority(TThreadPriority value);
  char GetXOnChar() const;
  void SetXOnChar(char value);
  char GetXOffChar() const;
  void SetXOffChar(char value);
  std::uint16_t GetXOnLim() const;
  void SetXOnLim(std::uint16_t value);
  std::uint16_t GetXOffLim() const;
  void SetXOffLim(std::uint16_t value);

  TAfNotifyEvent OnCTSChanged;
  TAfNotifyEvent OnDSRChanged;
  TAfNotifyEvent OnRINGDetected;
  TAfNotifyEvent OnRLSDChanged;
  TAfNotifyEvent OnOutBufFree;
  TAfNotifyEvent OnPortOpen;
  TAfNotifyEvent OnPortClose;
  // The device went away while the port was open (unplugged, hung up).
  TAfNotifyEvent OnLineLost;
  TAfDataReceivedEvent OnDataRecived;
  TAfErrorEvent OnLineError;
  TAfCoreEventEvent OnSyncEvent;
  // Takes every report on the event thread instead of the owner's. Set it
  // before the port opens: the watch starts with the open only then.
  TAfCoreEventEvent OnNonSyncEvent;
  // Runs around the events of every report on the owner thread (`raise`
  // raises them). An owner whose handlers may free it, and the component
  // with it, keeps itself alive here for the length of the report.
  std::function<void(const std::function<void()>& raise)> OnReportScope;

 protected:
  virtual void OpenDevice() = 0;
  [[noreturn]] void RaisePortError(const std::string& message) const;
  TAfComPortCore& Core() { return *FCore; }

 private:
  // The core's reports, on its event thread.
  void CoreReport(TAfCoreEvent kind, std::uint32_t value, std::exception_ptr error);
  // The same report on the owner thread.
  void SyncReport();
  void RaiseReport();
  void RequireClosed() const;
  void RecomputeLimits();
  template <class T>
  T Get(const T& field) const {
    std::lock_guard<std::recursive_mutex> guard(FPropLock);
    return field;
  }
  // Stores a setting and rebuilds the record; nothing when it is unchanged.
  template <class T>
  void SetAndRebuild(T& field, T value) {
    {
      std::lock_guard<std::recursive_mutex> guard(FPropLock);
      if (field == value) return;
      field = value;
    }
    BuildLineRecord();
  }

  mutable std::recursive_mutex FPropLock;  // properties and the record copy
  bool FAutoOpen = false;
  TAfBaudrate FBaudRate = br115200;
  TAfDatabits FDatabits = db8;
  bool FDTR = true;
  TThreadPriority FEventThreadPriority = tpNormal;
  TAfFlowControl FFlowControl = fwNone;
  std::int32_t FInBufSize = 4096;
  TAfComOptions FOptions = 0;
  std::int32_t FOutBufSize = 2048;
  TAfParity FParity = TAfParity::paNone;
  bool FRTS = true;
  TAfStopbits FStopbits = TAfStopbits::sbOne;
  std::int32_t FUserBaudRate = 0;
  TThreadPriority FWriteThreadPriority = tpHighest;
  char FXOnChar = 17;
  char FXOffChar = 19;
  std::uint16_t FXOnLim = 0;
  std::uint16_t FXOffLim = 0;
  TAfLineRecord FLineRecord;

  std::atomic<bool> FClosing{false};
  std::atomic<bool> FDestroying{false};
  std::uint32_t FSyncId = 0;
  std::mutex FPendingLock;  // the report handed to the owner thread
  TAfCoreEvent FPendingKind = ceOutFree;
  std::uint32_t FPendingValue = 0;
  std::exception_ptr FPendingError;
  std::unique_ptr<TAfComPortCore> FCore;
};

class TAfCustomComPort : public TAfCustomSerialPort {
 public:
  bool ShowConfigDialog() override { return false; }
  std::uint16_t GetComNumber() const { return FComNumber.load(); }
  // On an open port: close, store, open again.
  void SetComNumber(std::uint16_t value);

 protected:
  void OpenDevice() override;

 private:
  std::atomic<std::uint16_t> FComNumber{0};
};

class TAfComPort final : public TAfCustomComPort {};
