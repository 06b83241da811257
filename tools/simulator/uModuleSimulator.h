// A VELTO I/O module as seen on the wire. Bytes received on a channel (a
// connection) are framed like a module does it, each request addressed to the
// module is carried out and answered, and the bytes to send come out as a list
// of writes. Time comes in from the caller, so tests can drive it without
// sleeping. All public operations are safe to call from several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "framework/uBytes.h"
#include "protocol/uTervan97.h"
#include "protocol/uTervanFramer.h"
#include "simulator/uSimConfig.h"

// One write the carrier should make, in order.
struct TSimWrite {
  static constexpr int kAllChannels = -1;  // notifications go to every open channel

  int Channel = 0;
  TBytes Bytes;
  std::uint32_t DelayMs = 0;  // pause after the previous write of the channel
  bool Close = false;         // close the channel once the writes before this one are out
};

struct TSimLogEntry {
  bool Sent = false;  // false: received
  TBytes Bytes;
  std::string Note;    // empty for a plain packet
  std::string Source;  // on a bus of several modules: which one ("#49"); else empty
};

// "RX 2A 61 ..." / "TX 2A 61 ... (note)"; "#49 TX ..." with a source.
std::string FormatSimLogEntry(const TSimLogEntry& entry);

class TModuleSimulator {
 public:
  explicit TModuleSimulator(TSimConfig config = {});

  TModuleSimulator(const TModuleSimulator&) = delete;
  TModuleSimulator& operator=(const TModuleSimulator&) = delete;

  // --- Channels -------------------------------------------------------------
  // A channel starts fresh when it is opened (empty receive buffer, answer
  // count 0). Receive on a channel that is not open opens it.
  void OpenChannel(int channel);
  void CloseChannel(int channel);
  void Receive(int channel, const TBytes& bytes, std::uint32_t nowMs);
  void Receive(const TBytes& bytes, std::uint32_t nowMs) { Receive(0, bytes, nowMs); }

  // Timed outputs whose time has passed return to their earlier state.
  void Tick(std::uint32_t nowMs);
  // Earliest time at which Tick has something to do.
  std::optional<std::uint32_t> NextDeadline() const;

  // Writes produced so far, oldest first; taking them empties the list.
  std::vector<TSimWrite> TakeWrites();
  // Bytes of every write taken at once, delays ignored (for in-process use).
  TBytes TakeBytes();
  // Called (outside the simulator's lock) whenever new writes are queued.
  void SetOnWrites(std::function<void()> onWrites);

  // --- The module's surroundings ---------------------------------------------
  // Changes input `number` (from 1); an off->on edge counts on its counter.
  // Sends the input-change notification when notifications are on and the state changed.
  bool SetInput(int number, bool on);
  void SetTemperature(double degrees);
  void SetNotify(bool on);
  bool SetCounter(int number, std::uint64_t value);

  // --- Inspection -------------------------------------------------------------
  std::uint8_t Address() const;
  std::uint8_t BaudCode() const;
  std::vector<bool> Inputs() const;
  std::vector<bool> Outputs() const;
  std::uint64_t Counter(int number) const;
  bool CounterConfig(int number, bool& first, bool& second) const;
  std::uint8_t OptionByte() const;
  std::string Label(bool tableA, std::uint8_t index) const;
  std::uint8_t ValueF1() const;
  std::string TextF2() const;
  bool FlagFE() const;
  int CounterCount() const;
  // Requests addressed to the module, by instruction code.
  int RequestCount(std::uint8_t inst) const;
  std::vector<TSimLogEntry> TakeLog();

 private:
  // A receive buffer never needs more than one whole packet plus what follows it.
  static constexpr std::size_t kRxLimit = 0x20000;
  static constexpr std::size_t kRxKeep = 0x10004;

  struct TChannel {
    TTervanFramer Rx{kRxLimit, kRxKeep};
    int Answers = 0;
    bool Closing = false;  // a close is queued; nothing more is answered
  };
  struct TTimedOutput {
    bool Active = false;
    bool RevertState = false;
    std::uint32_t Deadline = 0;
  };
  struct TCounter {
    std::uint64_t Value = 0;
    bool First = false;
    bool Second = false;
  };
  struct TOutcome {
    bool Answer = true;  // false: the module stays silent
    std::uint8_t Ack = tervan::kAckOk;
    TBytes Data;
    std::optional<std::uint8_t> NewAddress;  // applied once the answer is built
  };

  // Frames the channel's bytes with the library's framer (bounded work per
  // byte whatever a client sends) and carries out each request in turn.
  void FrameLocked(int channel, TChannel& ch, std::uint32_t now);
  void HandlePacketLocked(int channel, TChannel& ch, const TTervanFormat97& packet,
                          std::uint32_t now);
  TOutcome ExecuteLocked(const TTervanFormat97& packet, std::uint32_t now);
  TOutcome SetOutputsLocked(const TBytes& data);
  TOutcome SetTimedOutputLocked(const TBytes& data, std::uint32_t now);
  TOutcome ReadCountersLocked(const TBytes& data);
  TOutcome ReadCounterConfigLocked(const TBytes& data);
  TOutcome WriteCounterConfigLocked(const TBytes& data);
  TOutcome WriteCommParamsLocked(const TBytes& data);
  TOutcome ChangeAddressByIdsLocked(const TBytes& data);
  void TickLocked(std::uint32_t now);
  TBytes StateBytesLocked(const std::vector<bool>& states) const;
  TBytes NotificationLocked() const;
  TSimFault* FaultLocked(std::uint8_t inst);
  void LogLocked(bool sent, const TBytes& bytes, std::string note = {});
  void QueueLocked(TSimWrite write);
  // Runs `work` under the lock, then tells the listener when writes were queued.
  void Mutate(const std::function<void()>& work);

  mutable std::mutex FLock;
  TSimConfig FConfig;
  std::function<void()> FOnWrites;
  std::map<int, TChannel> FChannels;
  std::vector<TSimWrite> FWrites;
  std::vector<TSimLogEntry> FLog;

  std::uint8_t FAddress;
  std::uint8_t FBaudCode;
  TBytes FCommExtra;  // bytes after address and baud code in the settings record
  std::vector<bool> FInputs;
  std::vector<bool> FOutputs;
  std::vector<TTimedOutput> FTimers;
  std::vector<TCounter> FCounters;
  std::map<std::uint8_t, TBytes> FLabelsA;
  std::map<std::uint8_t, TBytes> FLabelsB;
  std::uint8_t FOptionByte;
  std::uint8_t FValueF1;
  TBytes FTextF2;
  bool FFlagFE;
  double FTemperature;
  bool FArmedForE0 = false;  // the previous request was tervan::kInstE4
  std::map<int, TSimFault> FFaults;
  int FBadIdentLeft;
  std::map<std::uint8_t, int> FRequestCounts;
};
