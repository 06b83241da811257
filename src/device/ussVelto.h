// The device object of one VELTO I/O module: outputs, inputs, counters,
// thermometer, option byte and label tables, with copies of the last known
// states from which change events are raised.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "device/uVelto.h"
#include "framework/uEventer.h"
#include "protocol/uTervanInstructions.h"
#include "protocol/uTervanStackDevice.h"
#include "protocol/uiTervanStackDevice.h"
#include "transport/uci_ICommunicationInterface.h"

class IVelto;

// One known input or output state; index 0 of the array = number 1.
struct TIOStatusRec {
  bool State = false;
  bool Valid = false;
};
using TIOStatusRecs = std::vector<TIOStatusRec>;

// One change of an input or output; `Number` counts from 1.
struct TIOChngItem {
  std::int16_t Number = 0;
  bool OldState = false;
  bool NewState = false;

  bool operator==(const TIOChngItem&) const = default;
};
using TIOsChngRec = std::vector<TIOChngItem>;

// One counter as last read or configured; index 0 of the array = counter 1.
struct TCounterValueRec {
  std::uint32_t Value = 0;
  bool ValueValid = false;
  bool FirstFlag = false;   // bit 7 of the configuration byte
  bool SecondFlag = false;  // bit 6 of the configuration byte
  bool ConfigValid = false;
};
using TCounterValueRecs = std::vector<TCounterValueRec>;

// The outcome of the last thermometer reading attempt.
struct TTemperatureReading {
  double ReadAt = 0.0;  // local date and time of the attempt (days)
  bool Valid = false;
  double Degrees = 0.0;
};

// What the temperature event carries: the reading before and after an attempt.
struct TTemperatureChange {
  TTemperatureReading Previous;
  TTemperatureReading Current;
};

// All changes of one update: (device, changes).
class TeventerVeltoNotifyChangeIOs : public TEventer<TIntf<IVelto>, TIOsChngRec> {};
// One change: (device, number from 1, new state, old state).
class TeventerVeltoNotifyChangeIO : public TEventer<TIntf<IVelto>, std::int16_t, bool, bool> {};
// One thermometer attempt, successful or not: (device, previous and new reading).
class TeventerVeltoTemperature : public TEventer<TIntf<IVelto>, TTemperatureChange> {};

// Operations of the module. "wait": send and wait for the answer (success only
// for acknowledge code 0); without it the request is only sent.
class IVelto : public virtual ITervanStackDevice {
 public:
  static constexpr TGUID IID = GuidLiteral("{9E22D83F-21CC-4DEB-944C-F4B43B2290FC}");

  virtual void NoOperation() = 0;
  virtual bool ReadTemperature(TTemperatureReading& reading) = 0;
  virtual bool ReadInputs(TVeltoIOArray& states, bool wait) = 0;
  virtual bool ReadOutputs(TVeltoIOArray& states, bool wait) = 0;
  virtual bool ReadInput(std::int32_t number, bool& state) = 0;
  virtual bool ReadOutput(std::int32_t number, bool& state) = 0;
  // `time` in half-seconds; 0 = the state holds until changed.
  virtual bool SetOutput(std::int32_t number, bool state, std::uint8_t time, bool wait) = 0;
  virtual bool SetOutputs(const TVeltoIOArray& states, bool wait) = 0;
  // Index 1..60; `clear` makes the module clear the counter as it is read.
  virtual bool ReadCounter(std::int32_t index, std::uint32_t& value, bool clear, bool wait) = 0;
  virtual bool ReadCounters(TVeltoCounterArray& values, bool clear, bool wait) = 0;
  virtual bool WriteOptionByte(std::uint8_t value) = 0;
  virtual bool ReadOptionFlag(bool& flag) = 0;
  virtual bool ReadCounterConfig(std::int32_t index, bool& first, bool& second) = 0;
  virtual bool WriteCounterConfig(std::int32_t index, bool first, bool second) = 0;
  virtual TeventerVeltoNotifyChangeIOs& InputsChangedEvents() = 0;
  virtual TeventerVeltoNotifyChangeIOs& OutputsChangedEvents() = 0;
  virtual TeventerVeltoNotifyChangeIO& InputChangedEvents() = 0;
  virtual TeventerVeltoNotifyChangeIO& OutputChangedEvents() = 0;
  virtual TeventerVeltoTemperature& TemperatureEvents() = 0;
  virtual bool GetInfo(TVeltoInfo& info) = 0;
  virtual bool GetOptionFlag() = 0;
  virtual void SetOptionFlag(bool flag) = 0;
  virtual bool RefreshAll(bool outputs, bool inputs, bool counters, bool configs) = 0;
  // Each chosen flag becomes the success of its group; the result is their AND.
  virtual bool RefreshSelected(bool& outputs, bool& inputs, bool& counters, bool& configs) = 0;
  // Length of the copy when every state in it is known, else 0.
  virtual std::int32_t GetCachedInputs(TVeltoIOArray& states) = 0;
  virtual std::int32_t GetCachedOutputs(TVeltoIOArray& states) = 0;
  virtual bool GetCachedInput(std::int32_t number, bool& state) = 0;
  virtual bool GetCachedOutput(std::int32_t number, bool& state) = 0;
  virtual bool GetCachedCounter(std::int32_t index, std::uint32_t& value) = 0;
  virtual bool GetCachedCounterConfig(std::int32_t index, bool& first, bool& second) = 0;
  virtual std::int32_t GetCounterCount() = 0;
  virtual std::int32_t GetInputCount() = 0;
  virtual std::int32_t GetOutputCount() = 0;
  // Label records: a digit 0..9 and a text of at most 20 characters.
  virtual bool ReadLabelB(std::uint8_t index, std::uint8_t& digit, std::string& text) = 0;
  virtual bool WriteLabelB(std::uint8_t index, const std::string& text, std::uint8_t digit) = 0;
  virtual bool ReadLabelA(std::uint8_t index, std::uint8_t& digit, std::string& text) = 0;
  virtual bool WriteLabelA(std::uint8_t index, const std::string& text, std::uint8_t digit) = 0;
};

// The module's instruction codes are in protocol/uTervanInstructions.h.
namespace velto {
constexpr std::uint8_t kOptionOn = 0x61;  // the option byte that reads as a set flag
constexpr std::int32_t kMaxCounters = 60;
constexpr std::int32_t kCounterTimeout = 500;
// Highest output number a command byte can carry (seven bits).
constexpr std::int32_t kMaxOutputNumber = 0x7F;
// Highest input or output number a change record can carry.
constexpr std::int32_t kMaxIONumber = 0x7FFF;
}  // namespace velto

class TVelto : public TTervanStackDevice, public virtual IVelto {
 public:
  explicit TVelto(std::uint8_t address);
  ~TVelto() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;

  // IVelto
  void NoOperation() override {}
  bool ReadTemperature(TTemperatureReading& reading) override;
  bool ReadInputs(TVeltoIOArray& states, bool wait) override;
  bool ReadOutputs(TVeltoIOArray& states, bool wait) override;
  bool ReadInput(std::int32_t number, bool& state) override;
  bool ReadOutput(std::int32_t number, bool& state) override;
  bool SetOutput(std::int32_t number, bool state, std::uint8_t time, bool wait) override;
  bool SetOutputs(const TVeltoIOArray& states, bool wait) override;
  bool ReadCounter(std::int32_t index, std::uint32_t& value, bool clear, bool wait) override;
  bool ReadCounters(TVeltoCounterArray& values, bool clear, bool wait) override;
  bool WriteOptionByte(std::uint8_t value) override;
  bool ReadOptionFlag(bool& flag) override;
  bool ReadCounterConfig(std::int32_t index, bool& first, bool& second) override;
  bool WriteCounterConfig(std::int32_t index, bool first, bool second) override;
  TeventerVeltoNotifyChangeIOs& InputsChangedEvents() override { return FInputs.ListEvents.Get(); }
  TeventerVeltoNotifyChangeIOs& OutputsChangedEvents() override {
    return FOutputs.ListEvents.Get();
  }
  TeventerVeltoNotifyChangeIO& InputChangedEvents() override { return FInputs.SingleEvents.Get(); }
  TeventerVeltoNotifyChangeIO& OutputChangedEvents() override {
    return FOutputs.SingleEvents.Get();
  }
  TeventerVeltoTemperature& TemperatureEvents() override { return FTemperatureEvents.Get(); }
  bool GetInfo(TVeltoInfo& info) override;
  bool GetOptionFlag() override;
  void SetOptionFlag(bool flag) override;
  bool RefreshAll(bool outputs, bool inputs, bool counters, bool configs) override;
  bool RefreshSelected(bool& outputs, bool& inputs, bool& counters, bool& configs) override;
  std::int32_t GetCachedInputs(TVeltoIOArray& states) override;
  std::int32_t GetCachedOutputs(TVeltoIOArray& states) override;
  bool GetCachedInput(std::int32_t number, bool& state) override;
  bool GetCachedOutput(std::int32_t number, bool& state) override;
  bool GetCachedCounter(std::int32_t index, std::uint32_t& value) override;
  bool GetCachedCounterConfig(std::int32_t index, bool& first, bool& second) override;
  std::int32_t GetCounterCount() override;
  std::int32_t GetInputCount() override;
  std::int32_t GetOutputCount() override;
  bool ReadLabelB(std::uint8_t index, std::uint8_t& digit, std::string& text) override;
  bool WriteLabelB(std::uint8_t index, const std::string& text, std::uint8_t digit) override;
  bool ReadLabelA(std::uint8_t index, std::uint8_t& digit, std::string& text) override;
  bool WriteLabelA(std::uint8_t index, const std::string& text, std::uint8_t digit) override;

  // State kept by the device, for programs that show it.
  bool GetInfoKnown() const { return FInfoKnown.load(); }
  bool GetCountersUnsupported() const { return FCountersUnsupported.load(); }
  bool GetOptionKnown() const { return FOptionKnown.load(); }
  TTemperatureReading GetTemperature();
  TCounterValueRecs GetCounterCopy();

 protected:
  // The module's input-change notification updates the input copy.
  void ProcessNotification(const TTervanFormat97& packet) override;

 private:
  // One copy of states with its lock and its events.
  struct TStateCopy {
    std::recursive_mutex Lock;  // recursive: handlers may read the copy while it fires
    TIOStatusRecs Recs;
    TLazyEventer<TeventerVeltoNotifyChangeIOs> ListEvents;
    TLazyEventer<TeventerVeltoNotifyChangeIO> SingleEvents;
  };

  bool Identify();
  // The transport of the device's stack, or empty. The receive path holds its
  // lock while it updates a copy and fires the copy's events; the caller's
  // thread takes it before a copy's lock too, so that the two threads take the
  // locks in one order and a handler may talk to the module.
  TIntf<ICommunicationInterface> LineOfStack();
  // The module's count of inputs (or outputs) when the module is known, else -1.
  std::int32_t KnownCount(bool inputs);
  bool ReadStates(std::uint8_t inst, TStateCopy& copy, bool inputs, TVeltoIOArray& states,
                  bool wait);
  bool ReadOne(bool inputs, std::int32_t number, bool& state);
  // Merges new states into a copy and fires its events for what changed.
  void UpdateStateCopy(const TVeltoIOArray& states, TStateCopy& copy, bool inputs);
  // Sizes a copy (caller holds its lock) to hold at least `wanted` states.
  void SizeCopyLocked(TStateCopy& copy, bool inputs, std::size_t wanted);
  // Records one state (caller holds the lock); with `always` also an unchanged one.
  void RecordStateLocked(TStateCopy& copy, std::size_t position, bool state, bool always,
                         TIOsChngRec& changes);
  // Fires the single event of each change, then the list event (caller holds the lock).
  void FireChangesLocked(TStateCopy& copy, const TIOsChngRec& changes);
  void HandleSetOutputAnswer(const TTervanFormat97& request, const TTervanFormat97& answer);
  std::int32_t GetCachedStates(TStateCopy& copy, TVeltoIOArray& states);
  bool GetCachedState(TStateCopy& copy, std::int32_t number, bool& state);
  // The module refused a counter instruction as unknown: it has no counters.
  void NoteCounterRefusal();
  bool ReadCounterConfigs(TVeltoIOArray& firstFlags, TVeltoIOArray& secondFlags);
  bool ReadLabel(std::uint8_t inst, std::uint8_t index, std::uint8_t& digit, std::string& text);
  bool WriteLabel(std::uint8_t inst, std::uint8_t index, const std::string& text,
                  std::uint8_t digit);
  TIntf<IVelto> Self() { return TIntf<IVelto>(this); }

  TStateCopy FInputs;
  TStateCopy FOutputs;
  TLazyEventer<TeventerVeltoTemperature> FTemperatureEvents;

  std::mutex FInfoLock;  // guards FInfo
  TVeltoInfo FInfo;
  std::atomic<bool> FInfoKnown{false};
  std::atomic<bool> FCountersUnsupported{false};
  std::atomic<bool> FOptionFlag{false};
  std::atomic<bool> FOptionKnown{false};

  std::recursive_mutex FCounterLock;  // guards FCounterCopy
  TCounterValueRecs FCounterCopy;
  std::mutex FTemperatureLock;  // guards FTemperature
  TTemperatureReading FTemperature;
};
