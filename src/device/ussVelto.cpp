#include "device/ussVelto.h"

#include <algorithm>
#include <utility>

#include "framework/uTick.h"
#include "protocol/uiTervanStack.h"

using namespace velto;

namespace {

constexpr std::int32_t kDefault = -1;  // the device's own time-out

bool CounterIndexValid(std::int32_t index) {
  return index >= 0 && index <= kMaxCounters;
}

}  // namespace

TVelto::TVelto(std::uint8_t address) : TTervanStackDevice(tervan::kAdrUniversal) {
  SetAddress(address);
}

TVelto::~TVelto() = default;

HRESULT TVelto::QueryInterface(const TGUID& iid, void** obj) {
  if (QueryAs<IVelto>(this, iid, obj)) return S_OK;
  return TTervanStackDevice::QueryInterface(iid, obj);
}

// --- Identification ---------------------------------------------------------

bool TVelto::Identify() {
  TBytes answer;
  if (!AskAndWait(kInstIdentify, {}, answer)) {
    FInfoKnown.store(false);
    return false;
  }
  TVeltoInfo parsed;
  bool known = ParseVeltoInfo(TextOf(answer), parsed);
  bool legacy = false;
  if (!known && parsed.Identification.Raw.rfind("Velto;", 0) == 0 &&
      parsed.Identification.Version.Text == "0094.01") {
    // The first module generation names no counts: eight of each, no counters.
    parsed.InputCount = 8;
    parsed.OutputCount = 8;
    parsed.ThermometerCount = 0;
    known = true;
    legacy = true;
  }
  {
    std::lock_guard<std::mutex> guard(FInfoLock);
    FInfo = parsed;
  }
  if (legacy) FCountersUnsupported.store(true);
  if (known) FInfoKnown.store(true);
  // An answer that was not recognised still counts as an identification.
  return true;
}

bool TVelto::GetInfo(TVeltoInfo& info) {
  if (!FInfoKnown.load() && !Identify()) return false;
  std::lock_guard<std::mutex> guard(FInfoLock);
  info = FInfo;
  return true;
}

std::int32_t TVelto::GetInputCount() {
  TVeltoInfo info;
  return GetInfo(info) ? info.InputCount : 0;
}

std::int32_t TVelto::GetOutputCount() {
  TVeltoInfo info;
  return GetInfo(info) ? info.OutputCount : 0;
}

std::int32_t TVelto::KnownCount(bool inputs) {
  if (!FInfoKnown.load()) return -1;
  std::lock_guard<std::mutex> guard(FInfoLock);
  return inputs ? FInfo.InputCount : FInfo.OutputCount;
}

// --- State copies -------------------------------------------------------------

TIntf<ICommunicationInterface> TVelto::LineOfStack() {
  const TIntf<ITervanStack> stack = GetStack();
  return stack ? stack->GetTransport() : TIntf<ICommunicationInterface>();
}

void TVelto::SizeCopyLocked(TStateCopy& copy, bool inputs, std::size_t wanted) {
  // Change records number states with 16 bits: no copy grows past that.
  const auto limit = static_cast<std::size_t>(kMaxIONumber);
  const std::int32_t count = KnownCount(inputs);
  std::size_t target = 0;
  if (count >= 0) {
    target = std::min(static_cast<std::size_t>(count), limit);
    if (copy.Recs.size() == target) return;
  } else {
    target = std::min(wanted, limit);
    if (copy.Recs.size() >= target) return;
  }
  // A copy of another length no longer describes the module: nothing in it is known.
  copy.Recs.assign(target, TIOStatusRec{});
}

void TVelto::RecordStateLocked(TStateCopy& copy, std::size_t position, bool state, bool always,
                               TIOsChngRec& changes) {
  TIOStatusRec& rec = copy.Recs[position];
  if (!always && rec.Valid && rec.State == state) return;
  const bool old = rec.Valid ? rec.State : state;
  rec.State = state;
  rec.Valid = true;
  changes.push_back({static_cast<std::int16_t>(position + 1), old, state});
}

void TVelto::FireChangesLocked(TStateCopy& copy, const TIOsChngRec& changes) {
  // Fired only once every state of the update is stored: a handler that talks
  // to the module may merge newer states, which nothing here overwrites later.
  if (changes.empty()) return;
  if (auto* events = copy.SingleEvents.Peek()) {
    for (const TIOChngItem& change : changes) {
      events->Fire(Self(), change.Number, change.NewState, change.OldState);
    }
  }
  if (auto* events = copy.ListEvents.Peek()) events->Fire(Self(), changes);
}

void TVelto::UpdateStateCopy(const TVeltoIOArray& states, TStateCopy& copy, bool inputs) {
  std::lock_guard<std::recursive_mutex> guard(copy.Lock);
  SizeCopyLocked(copy, inputs, states.size());
  const std::size_t count = std::min(copy.Recs.size(), states.size());
  TIOsChngRec changes;
  for (std::size_t i = 0; i < count; ++i) RecordStateLocked(copy, i, states[i], false, changes);
  FireChangesLocked(copy, changes);
}

std::int32_t TVelto::GetCachedStates(TStateCopy& copy, TVeltoIOArray& states) {
  std::lock_guard<std::recursive_mutex> guard(copy.Lock);
  if (states.size() < copy.Recs.size()) states.resize(copy.Recs.size());
  bool allValid = true;
  for (std::size_t i = 0; i < copy.Recs.size(); ++i) {
    states[i] = copy.Recs[i].State;
    allValid = allValid && copy.Recs[i].Valid;
  }
  return allValid ? static_cast<std::int32_t>(copy.Recs.size()) : 0;
}

bool TVelto::GetCachedState(TStateCopy& copy, std::int32_t number, bool& state) {
  std::lock_guard<std::recursive_mutex> guard(copy.Lock);
  if (number < 1 || static_cast<std::size_t>(number) > copy.Recs.size()) return false;
  const TIOStatusRec& rec = copy.Recs[static_cast<std::size_t>(number - 1)];
  if (!rec.Valid) return false;
  state = rec.State;
  return true;
}

std::int32_t TVelto::GetCachedInputs(TVeltoIOArray& states) {
  return GetCachedStates(FInputs, states);
}

std::int32_t TVelto::GetCachedOutputs(TVeltoIOArray& states) {
  return GetCachedStates(FOutputs, states);
}

bool TVelto::GetCachedInput(std::int32_t number, bool& state) {
  return GetCachedState(FInputs, number, state);
}

bool TVelto::GetCachedOutput(std::int32_t number, bool& state) {
  return GetCachedState(FOutputs, number, state);
}

// --- Inputs and outputs -------------------------------------------------------------

bool TVelto::ReadStates(std::uint8_t inst, TStateCopy& copy, bool inputs, TVeltoIOArray& states,
                        bool wait) {
  if (!wait) return Post(inst);
  TBytes answer;
  if (!AskAndWait(inst, {}, answer)) return false;
  if (!DecodeBits(answer, states, -1)) return false;
  // A longer caller's array keeps its tail, but only what the module answered goes into the copy.
  const std::size_t decoded = std::min(states.size(), answer.size() * 8);
  const auto end = states.begin() + static_cast<std::ptrdiff_t>(decoded);
  const TVeltoIOArray answered(states.begin(), end);
  TOptionalTransportLock line(LineOfStack());
  UpdateStateCopy(answered, copy, inputs);
  return true;
}

bool TVelto::ReadInputs(TVeltoIOArray& states, bool wait) {
  return ReadStates(kInstReadInputs, FInputs, true, states, wait);
}

bool TVelto::ReadOutputs(TVeltoIOArray& states, bool wait) {
  return ReadStates(kInstReadOutputs, FOutputs, false, states, wait);
}

bool TVelto::ReadOne(bool inputs, std::int32_t number, bool& state) {
  TVeltoIOArray states;
  const bool ok = inputs ? ReadInputs(states, true) : ReadOutputs(states, true);
  if (!ok || number < 1 || static_cast<std::size_t>(number) > states.size()) return false;
  state = states[static_cast<std::size_t>(number - 1)];
  return true;
}

bool TVelto::ReadInput(std::int32_t number, bool& state) {
  return ReadOne(true, number, state);
}

bool TVelto::ReadOutput(std::int32_t number, bool& state) {
  return ReadOne(false, number, state);
}

bool TVelto::SetOutput(std::int32_t number, bool state, std::uint8_t time, bool wait) {
  // A command byte has seven bits for the number: anything else would switch another output.
  if (number < 1 || number > kMaxOutputNumber) return false;
  const std::uint8_t command = PackOutputCommand(number, state);
  if (time != 0) {
    // The module returns the output to its earlier state by itself: the copy stays.
    const TBytes data{time, command};
    return wait ? AskAndWait(kInstSetTimedOutput, data) : Post(kInstSetTimedOutput, data);
  }
  if (!wait) {
    return Post(kInstSetOutputs, TBytes{command}, kDefault,
                [this](const TTervanFormat97& request, const TTervanFormat97& answer) {
                  HandleSetOutputAnswer(request, answer);
                });
  }
  if (!AskAndWait(kInstSetOutputs, TBytes{command})) return false;
  bool covered = false;
  {
    TOptionalTransportLock line(LineOfStack());
    std::lock_guard<std::recursive_mutex> guard(FOutputs.Lock);
    covered = static_cast<std::size_t>(number) <= FOutputs.Recs.size();
    if (covered) {
      TIOsChngRec changes;
      RecordStateLocked(FOutputs, static_cast<std::size_t>(number - 1), state, false, changes);
      FireChangesLocked(FOutputs, changes);
    }
  }
  if (!covered) {
    // The copy does not reach this output yet: learn all of them. The output
    // is set either way, so the read-back does not decide the result.
    TVeltoIOArray states;
    ReadOutputs(states, true);
  }
  return true;
}

void TVelto::HandleSetOutputAnswer(const TTervanFormat97& request, const TTervanFormat97& answer) {
  if (answer.INST != tervan::kAckOk || request.Data.empty()) return;
  std::size_t highest = 0;
  for (std::uint8_t command : request.Data) {
    highest = std::max<std::size_t>(highest, command & 0x7Fu);
  }
  std::lock_guard<std::recursive_mutex> guard(FOutputs.Lock);
  SizeCopyLocked(FOutputs, false, highest);
  TIOsChngRec changes;
  for (std::uint8_t command : request.Data) {
    const std::size_t number = command & 0x7Fu;
    if (number < 1 || number > FOutputs.Recs.size()) continue;
    RecordStateLocked(FOutputs, number - 1, (command & 0x80u) != 0, true, changes);
  }
  FireChangesLocked(FOutputs, changes);
}

bool TVelto::SetOutputs(const TVeltoIOArray& states, bool wait) {
  // Element i names output i+1 in seven bits; a longer array would wrap around.
  if (states.empty() || states.size() > static_cast<std::size_t>(kMaxOutputNumber)) return false;
  TBytes data;
  data.reserve(states.size());
  for (std::size_t i = 0; i < states.size(); ++i) {
    data.push_back(PackOutputCommand(static_cast<int>(i + 1), states[i]));
  }
  return wait ? AskAndWait(kInstSetOutputs, data) : Post(kInstSetOutputs, data);
}

// --- Option byte ----------------------------------------------------------------

bool TVelto::WriteOptionByte(std::uint8_t value) {
  return AskAndWait(kInstWriteOption, TBytes{value});
}

bool TVelto::ReadOptionFlag(bool& flag) {
  TBytes answer;
  if (!AskAndWait(kInstReadOption, {}, answer)) return false;
  if (answer.size() != 1) return false;
  flag = answer[0] == kOptionOn;
  return true;
}

void TVelto::SetOptionFlag(bool flag) {
  // The flag's own byte value (1 or 0). What the module reports back for it
  // is the module's business; the recorded flag answers GetOptionFlag.
  const bool ok = WriteOptionByte(flag ? 1 : 0);
  FOptionFlag.store(flag);
  FOptionKnown.store(ok);
}

bool TVelto::GetOptionFlag() {
  if (FOptionKnown.load()) return FOptionFlag.load();
  bool flag = false;
  if (!ReadOptionFlag(flag)) flag = false;
  FOptionFlag.store(flag);
  return flag;
}

// --- Labels -------------------------------------------------------------------

bool TVelto::ReadLabel(std::uint8_t inst, std::uint8_t index, std::uint8_t& digit,
                       std::string& text) {
  TBytes answer;
  if (!AskAndWait(inst, TBytes{index}, answer)) return false;
  std::string label;
  if (!DecodeLabel(answer, label)) return false;
  const bool hasDigit = !label.empty() && label[0] >= '0' && label[0] <= '9';
  digit = hasDigit ? static_cast<std::uint8_t>(label[0] - '0') : 0;
  text = label.size() > 1 ? label.substr(1) : std::string();
  return true;
}

bool TVelto::WriteLabel(std::uint8_t inst, std::uint8_t index, const std::string& text,
                        std::uint8_t digit) {
  // The record keeps one character for the digit; a wider number would run into the text.
  if (digit > 9) return false;
  const TBytes data = EncodeLabel(index, std::to_string(digit) + text);
  return AskAndWait(inst, data);
}

bool TVelto::ReadLabelA(std::uint8_t index, std::uint8_t& digit, std::string& text) {
  return ReadLabel(kInstReadLabelA, index, digit, text);
}

bool TVelto::WriteLabelA(std::uint8_t index, const std::string& text, std::uint8_t digit) {
  return WriteLabel(kInstWriteLabelA, index, text, digit);
}

bool TVelto::ReadLabelB(std::uint8_t index, std::uint8_t& digit, std::string& text) {
  return ReadLabel(kInstReadLabelB, index, digit, text);
}

bool TVelto::WriteLabelB(std::uint8_t index, const std::string& text, std::uint8_t digit) {
  return WriteLabel(kInstWriteLabelB, index, text, digit);
}

// --- Counters -------------------------------------------------------------------

std::int32_t TVelto::GetCounterCount() {
  if (FCountersUnsupported.load()) return 0;
  const std::int32_t inputs = GetInputCount();
  // The identification may have found a module without counters.
  if (FCountersUnsupported.load()) return 0;
  const std::int32_t count = std::clamp(inputs, 0, kMaxCounters);
  if (count > 0) {
    std::lock_guard<std::recursive_mutex> guard(FCounterLock);
    if (FCounterCopy.size() != static_cast<std::size_t>(count)) {
      FCounterCopy.resize(static_cast<std::size_t>(count));
    }
  }
  return count;
}

void TVelto::NoteCounterRefusal() {
  if (GetLastResult() == tervan::kResultRefused && GetLastAck() == tervan::kAckUnsupported) {
    FCountersUnsupported.store(true);
  }
}

bool TVelto::ReadCounter(std::int32_t index, std::uint32_t& value, bool clear, bool wait) {
  // Six bits carry the index: a larger one would ask for another counter.
  if (!CounterIndexValid(index)) return false;
  const TBytes request{PackCounterRequest(clear, index)};
  TBytes answer;  // stays empty for a request that is only sent
  if (wait ? !AskAndWait(kInstReadCounters, request, answer, kCounterTimeout)
           : !Post(kInstReadCounters, request, kCounterTimeout)) {
    NoteCounterRefusal();
    return false;
  }
  TCounterReading reading;
  if (!ExtractCounterValue(answer, 1, reading)) return false;
  const std::int32_t count = GetCounterCount();
  if (index >= 1 && index <= count) {
    std::lock_guard<std::recursive_mutex> guard(FCounterLock);
    if (static_cast<std::size_t>(index) <= FCounterCopy.size()) {
      TCounterValueRec& rec = FCounterCopy[static_cast<std::size_t>(index - 1)];
      // Read with clear, the module's counter now stands at 0.
      rec.Value = clear ? 0 : reading.Value;
      rec.ValueValid = true;
    }
  }
  value = reading.Value;
  return true;
}

bool TVelto::ReadCounters(TVeltoCounterArray& values, bool clear, bool wait) {
  const TBytes request{PackCounterRequest(clear, 0)};
  TBytes answer;  // stays empty for a request that is only sent
  if (wait ? !AskAndWait(kInstReadCounters, request, answer, kCounterTimeout)
           : !Post(kInstReadCounters, request, kCounterTimeout)) {
    NoteCounterRefusal();
    return false;
  }
  const std::int32_t count = GetCounterCount();
  if (values.size() < static_cast<std::size_t>(count))
    values.resize(static_cast<std::size_t>(count));
  bool all = true;
  std::lock_guard<std::recursive_mutex> guard(FCounterLock);
  for (std::int32_t i = 1; i <= count; ++i) {
    TCounterReading reading;
    if (!ExtractCounterValue(answer, i, reading)) {
      all = false;
      continue;
    }
    const auto at = static_cast<std::size_t>(i - 1);
    values[at] = reading.Value;
    if (at < FCounterCopy.size()) {
      FCounterCopy[at].Value = reading.Value;
      FCounterCopy[at].ValueValid = true;
    }
  }
  return all;
}

bool TVelto::ReadCounterConfig(std::int32_t index, bool& first, bool& second) {
  if (!CounterIndexValid(index)) return false;
  TBytes answer;
  if (!AskAndWait(kInstReadCounterConfig, TBytes{static_cast<std::uint8_t>(index)}, answer)) {
    NoteCounterRefusal();
    return false;
  }
  bool f = false;
  bool s = false;
  if (!FindCounterConfig(answer, index, f, s)) return false;
  first = f;
  second = s;
  const std::int32_t count = GetCounterCount();
  if (index >= 1 && index <= count) {
    std::lock_guard<std::recursive_mutex> guard(FCounterLock);
    if (static_cast<std::size_t>(index) <= FCounterCopy.size()) {
      TCounterValueRec& rec = FCounterCopy[static_cast<std::size_t>(index - 1)];
      rec.FirstFlag = f;
      rec.SecondFlag = s;
      rec.ConfigValid = true;
    }
  }
  return true;
}

bool TVelto::WriteCounterConfig(std::int32_t index, bool first, bool second) {
  if (!CounterIndexValid(index)) return false;
  if (!AskAndWait(kInstWriteCounterConfig, TBytes{PackCounterConfig(index, first, second)})) {
    NoteCounterRefusal();
    return false;
  }
  std::lock_guard<std::recursive_mutex> guard(FCounterLock);
  if (index >= 1 && static_cast<std::size_t>(index) <= FCounterCopy.size()) {
    TCounterValueRec& rec = FCounterCopy[static_cast<std::size_t>(index - 1)];
    rec.FirstFlag = first;
    rec.SecondFlag = second;
    rec.ConfigValid = true;
  }
  return true;
}

bool TVelto::ReadCounterConfigs(TVeltoIOArray& firstFlags, TVeltoIOArray& secondFlags) {
  TBytes answer;
  if (!AskAndWait(kInstReadCounterConfig, TBytes{0x00}, answer, kCounterTimeout)) {
    NoteCounterRefusal();
    return false;
  }
  const auto count = static_cast<std::size_t>(GetCounterCount());
  if (firstFlags.size() < count) firstFlags.resize(count);
  if (secondFlags.size() < count) secondFlags.resize(count);
  bool all = true;
  std::lock_guard<std::recursive_mutex> guard(FCounterLock);
  for (std::size_t at = 0; at < count; ++at) {
    bool f = false;
    bool s = false;
    if (!FindCounterConfig(answer, static_cast<int>(at + 1), f, s)) {
      all = false;
      continue;
    }
    firstFlags[at] = f;
    secondFlags[at] = s;
    if (at < FCounterCopy.size()) {
      FCounterCopy[at].FirstFlag = f;
      FCounterCopy[at].SecondFlag = s;
      FCounterCopy[at].ConfigValid = true;
    }
  }
  return all;
}

bool TVelto::GetCachedCounter(std::int32_t index, std::uint32_t& value) {
  // The copy is as long as the counter count once that is known, so it answers
  // without asking the module anything.
  if (FCountersUnsupported.load()) return false;
  std::lock_guard<std::recursive_mutex> guard(FCounterLock);
  if (index < 1 || static_cast<std::size_t>(index) > FCounterCopy.size()) return false;
  const TCounterValueRec& rec = FCounterCopy[static_cast<std::size_t>(index - 1)];
  if (!rec.ValueValid) return false;
  value = rec.Value;
  return true;
}

bool TVelto::GetCachedCounterConfig(std::int32_t index, bool& first, bool& second) {
  if (FCountersUnsupported.load()) return false;
  std::lock_guard<std::recursive_mutex> guard(FCounterLock);
  if (index < 1 || static_cast<std::size_t>(index) > FCounterCopy.size()) return false;
  const TCounterValueRec& rec = FCounterCopy[static_cast<std::size_t>(index - 1)];
  if (!rec.ConfigValid) return false;
  first = rec.FirstFlag;
  second = rec.SecondFlag;
  return true;
}

TCounterValueRecs TVelto::GetCounterCopy() {
  std::lock_guard<std::recursive_mutex> guard(FCounterLock);
  return FCounterCopy;
}

// --- Temperature ------------------------------------------------------------------

bool TVelto::ReadTemperature(TTemperatureReading& reading) {
  TTemperatureChange change;
  {
    std::lock_guard<std::mutex> guard(FTemperatureLock);
    change.Previous = FTemperature;
  }
  TBytes answer;
  double degrees = 0.0;
  std::uint8_t status = 0;
  const bool ok = AskAndWait(kInstReadTemperature, TBytes{0x01}, answer) &&
                  DecodeTemperature(answer, degrees, status);
  change.Current = change.Previous;
  change.Current.Valid = ok;
  change.Current.ReadAt = NowDateTime();
  if (ok) change.Current.Degrees = degrees;
  {
    std::lock_guard<std::mutex> guard(FTemperatureLock);
    FTemperature = change.Current;
  }
  if (ok) reading = change.Current;
  // Subscribers hear of failures too: a thermometer that stops answering is news.
  if (auto* events = FTemperatureEvents.Peek()) events->Fire(Self(), change);
  return ok;
}

TTemperatureReading TVelto::GetTemperature() {
  std::lock_guard<std::mutex> guard(FTemperatureLock);
  return FTemperature;
}

// --- Notifications and refresh ------------------------------------------------------

void TVelto::ProcessNotification(const TTervanFormat97& packet) {
  if (packet.INST != kNotifyInputs) return;
  TVeltoIOArray states;
  if (DecodeBits(packet.Data, states, -1)) UpdateStateCopy(states, FInputs, true);
}

bool TVelto::RefreshSelected(bool& outputs, bool& inputs, bool& counters, bool& configs) {
  if (!FInfoKnown.load()) {
    TVeltoInfo info;
    GetInfo(info);
  }
  if (!FInfoKnown.load()) {
    // Nothing could be refreshed: no chosen group may report success.
    outputs = inputs = counters = configs = false;
    return false;
  }
  bool result = true;
  if (outputs) {
    TVeltoIOArray scratch;
    outputs = GetOutputCount() <= 0 || ReadOutputs(scratch, true);
    result = result && outputs;
  }
  if (inputs) {
    TVeltoIOArray scratch;
    inputs = GetInputCount() <= 0 || ReadInputs(scratch, true);
    result = result && inputs;
  }
  if (counters) {
    TVeltoCounterArray scratch;
    counters = GetCounterCount() <= 0 || ReadCounters(scratch, false, true);
    result = result && counters;
  }
  if (configs) {
    TVeltoIOArray first;
    TVeltoIOArray second;
    configs = GetCounterCount() <= 0 || ReadCounterConfigs(first, second);
    result = result && configs;
  }
  return result;
}

bool TVelto::RefreshAll(bool outputs, bool inputs, bool counters, bool configs) {
  return RefreshSelected(outputs, inputs, counters, configs);
}
