#include "simulator/uModuleSimulator.h"

#include <algorithm>
#include <cmath>

#include "protocol/uTervanBaud.h"
#include "protocol/uTervanCore.h"
#include "protocol/uTervanInstructions.h"

namespace {

constexpr std::size_t kLabelSize = 21;
constexpr int kMaxCounters = 60;
constexpr std::uint32_t kHalfSecondMs = 500;

TBytes LabelRecord(const std::string& text) {
  TBytes record(kLabelSize, 0);
  std::copy_n(text.begin(), std::min(text.size(), kLabelSize), record.begin());
  return record;
}

std::string TextWithoutTrailingZeros(const TBytes& bytes) {
  std::size_t end = bytes.size();
  while (end > 0 && bytes[end - 1] == 0) --end;
  return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

void AppendBigEndian(TBytes& bytes, std::uint64_t value, std::size_t count) {
  for (std::size_t i = count; i > 0; --i) {
    bytes.push_back(static_cast<std::uint8_t>(i > 8 ? 0 : value >> (8 * (i - 1))));
  }
}

bool ReachedDeadline(std::uint32_t now, std::uint32_t deadline) {
  return static_cast<std::int32_t>(now - deadline) >= 0;
}

}  // namespace

std::string FormatSimLogEntry(const TSimLogEntry& entry) {
  std::string line = entry.Source.empty() ? "" : entry.Source + " ";
  line += entry.Sent ? "TX" : "RX";
  if (!entry.Bytes.empty()) line += " " + HexOf(entry.Bytes);
  if (!entry.Note.empty()) line += " (" + entry.Note + ")";
  return line;
}

TModuleSimulator::TModuleSimulator(TSimConfig config)
    : FConfig(std::move(config)),
      FAddress(FConfig.Address),
      FBaudCode(FConfig.BaudCode),
      FOptionByte(FConfig.OptionByte),
      FValueF1(FConfig.ValueF1),
      FTextF2(BytesOf(FConfig.TextF2)),
      FFlagFE(FConfig.FlagFE),
      FTemperature(FConfig.Temperature),
      FFaults(FConfig.Faults),
      FBadIdentLeft(FConfig.BadIdentCount) {
  const auto inputs = static_cast<std::size_t>(std::max(FConfig.InputCount, 0));
  const auto outputs = static_cast<std::size_t>(std::max(FConfig.OutputCount, 0));
  FInputs.assign(inputs, false);
  FOutputs.assign(outputs, false);
  for (std::size_t i = 0; i < inputs && i < FConfig.Inputs.size(); ++i)
    FInputs[i] = FConfig.Inputs[i];
  for (std::size_t i = 0; i < outputs && i < FConfig.Outputs.size(); ++i) {
    FOutputs[i] = FConfig.Outputs[i];
  }
  FTimers.assign(outputs, {});
  FCounters.assign(std::min(inputs, static_cast<std::size_t>(kMaxCounters)), {});
  for (std::size_t i = 0; i < FCounters.size() && i < FConfig.Counters.size(); ++i) {
    FCounters[i].Value = FConfig.Counters[i];
  }
  FConfig.CounterWidth = std::clamp(FConfig.CounterWidth, 1, 64);
  for (const auto& [index, text] : FConfig.LabelsA) FLabelsA[index] = LabelRecord(text);
  for (const auto& [index, text] : FConfig.LabelsB) FLabelsB[index] = LabelRecord(text);
}

void TModuleSimulator::Mutate(const std::function<void()>& work) {
  std::function<void()> callback;
  {
    std::lock_guard<std::mutex> lock(FLock);
    const std::size_t before = FWrites.size();
    work();
    if (FWrites.size() > before) callback = FOnWrites;
  }
  if (callback) callback();
}

// --- Channels and framing ----------------------------------------------------

void TModuleSimulator::OpenChannel(int channel) {
  std::lock_guard<std::mutex> lock(FLock);
  FChannels[channel] = TChannel{};
}

void TModuleSimulator::CloseChannel(int channel) {
  std::lock_guard<std::mutex> lock(FLock);
  FChannels.erase(channel);
}

void TModuleSimulator::Receive(int channel, const TBytes& bytes, std::uint32_t nowMs) {
  Mutate([&] {
    TickLocked(nowMs);
    TChannel& ch = FChannels[channel];
    if (const std::size_t cut = ch.Rx.Append(bytes); cut != 0)
      LogLocked(false, {}, "overflow, " + std::to_string(cut) + " bytes dropped");
    FrameLocked(channel, ch, nowMs);
  });
}

void TModuleSimulator::FrameLocked(int channel, TChannel& ch, std::uint32_t now) {
  TBytes garbage;
  TTervanFramer::TUnit unit;
  while (ch.Rx.Next(unit)) {
    if (unit.Kind == TTervanFramer::TUnitKind::Garbage) {
      garbage.insert(garbage.end(), unit.Bytes, unit.Bytes + unit.Size);
      continue;
    }
    if (!garbage.empty()) LogLocked(false, garbage, "garbage");
    garbage.clear();
    const TTervanFormat97 packet = ParsePacket(unit.Bytes, unit.Size);
    const bool forUs = packet.ADR == FAddress || packet.ADR == tervan::kAdrUniversal ||
                       packet.ADR == tervan::kAdrBroadcast;
    LogLocked(false, TBytes(unit.Bytes, unit.Bytes + unit.Size), forUs ? "" : "other address");
    if (forUs) HandlePacketLocked(channel, ch, packet, now);
  }
  if (!garbage.empty()) LogLocked(false, garbage, "garbage");
}

// --- Requests ----------------------------------------------------------------

TSimFault* TModuleSimulator::FaultLocked(std::uint8_t inst) {
  auto it = FFaults.find(inst);
  if (it == FFaults.end()) it = FFaults.find(kSimAnyInstruction);
  return it == FFaults.end() ? nullptr : &it->second;
}

void TModuleSimulator::HandlePacketLocked(int channel, TChannel& ch, const TTervanFormat97& packet,
                                          std::uint32_t now) {
  if (ch.Closing) return;
  ++FRequestCounts[packet.INST];
  TSimFault* fault = FaultLocked(packet.INST);
  if (fault != nullptr && fault->NoAnswer != 0) {
    if (fault->NoAnswer > 0) --fault->NoAnswer;
    LogLocked(false, {}, "request dropped");
    return;
  }
  if (fault != nullptr && fault->CloseOn) {
    ch.Closing = true;
    QueueLocked({channel, {}, 0, true});
    return;
  }

  TOutcome outcome;
  if (packet.INST == tervan::kInstIdentify && FBadIdentLeft != 0) {
    if (FBadIdentLeft > 0) --FBadIdentLeft;
    FArmedForE0 = false;
    outcome.Data = BytesOf(FConfig.BadIdentText);
  } else if (fault != nullptr && fault->RefuseAck >= 0) {
    FArmedForE0 = false;
    outcome.Ack = static_cast<std::uint8_t>(fault->RefuseAck);
  } else {
    outcome = ExecuteLocked(packet, now);
  }

  // The answer goes out under the address the request reached.
  if (outcome.Answer && packet.ADR != tervan::kAdrBroadcast) {
    const auto sig = static_cast<std::uint8_t>(packet.SIG + (fault && fault->WrongSig ? 1 : 0));
    const TBytes answer = BuildPacket(FAddress, sig, outcome.Ack, outcome.Data);
    TBytes bytes;
    if (fault != nullptr && fault->Garbage) {
      bytes = FConfig.GarbageBytes;
      LogLocked(true, FConfig.GarbageBytes, "garbage");
    }
    if (fault != nullptr && fault->NotifyBefore) {
      const TBytes notification = NotificationLocked();
      bytes.insert(bytes.end(), notification.begin(), notification.end());
      LogLocked(true, notification, "notification");
    }
    bytes.insert(bytes.end(), answer.begin(), answer.end());
    LogLocked(true, answer);
    if (fault != nullptr && fault->SplitDelayMs >= 0) {
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        QueueLocked({channel,
                     {bytes[i]},
                     i == 0 ? 0 : static_cast<std::uint32_t>(fault->SplitDelayMs),
                     false});
      }
    } else {
      QueueLocked({channel, bytes, 0, false});
    }
    ++ch.Answers;
    if (FConfig.CloseAfterAnswers > 0 && ch.Answers >= FConfig.CloseAfterAnswers) {
      ch.Closing = true;
      QueueLocked({channel, {}, 0, true});
    }
  }
  if (outcome.NewAddress) FAddress = *outcome.NewAddress;
}

TModuleSimulator::TOutcome TModuleSimulator::ExecuteLocked(const TTervanFormat97& packet,
                                                           std::uint32_t now) {
  const TBytes& data = packet.Data;
  const bool armed = FArmedForE0;
  FArmedForE0 = false;
  TOutcome out;
  auto oneByte = [&](auto apply) {
    if (data.size() != 1) {
      out.Ack = tervan::kAckBadData;
    } else {
      apply(data[0]);
    }
  };
  switch (packet.INST) {
    case tervan::kInstIdentify:
      out.Data = BytesOf(SimIdentification(FConfig));
      break;
    case velto::kInstSetOutputs:
      return SetOutputsLocked(data);
    case velto::kInstSetTimedOutput:
      return SetTimedOutputLocked(data, now);
    case velto::kInstReadOutputs:
      out.Data = StateBytesLocked(FOutputs);
      break;
    case velto::kInstReadInputs:
      out.Data = StateBytesLocked(FInputs);
      break;
    case velto::kInstWriteOption:
      oneByte([&](std::uint8_t b) { FOptionByte = b; });
      break;
    case velto::kInstReadOption:
      out.Data = {FOptionByte};
      break;
    case velto::kInstWriteLabelA:
    case velto::kInstWriteLabelB:
      if (data.size() != 1 + kLabelSize) {
        out.Ack = tervan::kAckBadData;
      } else {
        auto& table = packet.INST == velto::kInstWriteLabelA ? FLabelsA : FLabelsB;
        table[data[0]] = TBytes(data.begin() + 1, data.end());
      }
      break;
    case velto::kInstReadLabelA:
    case velto::kInstReadLabelB:
      oneByte([&](std::uint8_t index) {
        const auto& table = packet.INST == velto::kInstReadLabelA ? FLabelsA : FLabelsB;
        const auto it = table.find(index);
        out.Data = it == table.end() ? TBytes(kLabelSize, 0) : it->second;
      });
      break;
    case velto::kInstReadCounters:
      return ReadCountersLocked(data);
    case velto::kInstWriteCounterConfig:
      return WriteCounterConfigLocked(data);
    case velto::kInstReadCounterConfig:
      return ReadCounterConfigLocked(data);
    case velto::kInstReadTemperature:
      oneByte([&](std::uint8_t) {
        const double tenths = std::clamp(std::round(FTemperature * 10.0), -32768.0, 32767.0);
        const auto raw = static_cast<std::uint16_t>(static_cast<std::int16_t>(tenths));
        out.Data = {FConfig.TemperatureStatus, static_cast<std::uint8_t>(raw >> 8),
                    static_cast<std::uint8_t>(raw & 0xFF)};
      });
      break;
    case tervan::kInstE3:
      break;
    case tervan::kInstE4:
      FArmedForE0 = true;
      break;
    case tervan::kInstWriteCommParams:
      if (!armed) {
        out.Ack = tervan::kAckUnsupported;
        break;
      }
      return WriteCommParamsLocked(data);
    case tervan::kInstReadCommParams:
      out.Data = {FAddress, FBaudCode};
      out.Data.insert(out.Data.end(), FCommExtra.begin(), FCommExtra.end());
      break;
    case tervan::kInstReadByte:
      out.Data = {FValueF1};
      break;
    case tervan::kInstWriteByte:
      oneByte([&](std::uint8_t b) { FValueF1 = b; });
      break;
    case tervan::kInstReadText:
      out.Data = FTextF2;
      break;
    case tervan::kInstWriteText:
      if (data.empty()) {
        out.Ack = tervan::kAckBadData;
      } else {
        // A leading byte, then at most 16 bytes of text closed by 0x00 when shorter.
        const auto begin = data.begin() + 1;
        const auto end = std::find(begin, begin + std::min<std::ptrdiff_t>(16, data.end() - begin),
                                   std::uint8_t{0});
        FTextF2.assign(begin, end);
      }
      break;
    case tervan::kInstReadFlag:
      out.Data = {static_cast<std::uint8_t>(FFlagFE ? 1 : 0)};
      break;
    case tervan::kInstWriteFlag:
      oneByte([&](std::uint8_t b) { FFlagFE = b != 0; });
      break;
    case tervan::kInstReadValues:
      AppendBigEndian(out.Data, FConfig.FirstId, 2);
      AppendBigEndian(out.Data, FConfig.SecondId, 2);
      AppendBigEndian(out.Data, FConfig.ThirdValue, 4);
      break;
    case tervan::kInstChangeAddressByIds:
      return ChangeAddressByIdsLocked(data);
    default:
      out.Ack = tervan::kAckUnsupported;
      break;
  }
  return out;
}

TModuleSimulator::TOutcome TModuleSimulator::SetOutputsLocked(const TBytes& data) {
  TOutcome out;
  const auto valid = [&](std::uint8_t command) {
    const int number = command & 0x7F;
    return number >= 1 && number <= static_cast<int>(FOutputs.size());
  };
  // All or nothing: one bad command byte refuses the whole request.
  if (data.empty() || !std::all_of(data.begin(), data.end(), valid)) {
    out.Ack = tervan::kAckBadData;
    return out;
  }
  for (std::uint8_t command : data) {
    const std::size_t i = (command & 0x7F) - 1u;
    FOutputs[i] = (command & 0x80) != 0;
    FTimers[i].Active = false;  // a permanent state ends any timed one
  }
  return out;
}

TModuleSimulator::TOutcome TModuleSimulator::SetTimedOutputLocked(const TBytes& data,
                                                                  std::uint32_t now) {
  TOutcome out;
  if (data.size() != 2) {
    out.Ack = tervan::kAckBadData;
    return out;
  }
  const std::uint8_t time = data[0];
  const int number = data[1] & 0x7F;
  if (number < 1 || number > static_cast<int>(FOutputs.size())) {
    out.Ack = tervan::kAckBadData;
    return out;
  }
  const auto i = static_cast<std::size_t>(number - 1);
  const bool state = (data[1] & 0x80) != 0;
  if (time == 0) {
    FTimers[i].Active = false;
  } else {
    // A timed command over a running one keeps the state from before both.
    if (!FTimers[i].Active) FTimers[i].RevertState = FOutputs[i];
    FTimers[i].Active = true;
    FTimers[i].Deadline = now + time * kHalfSecondMs;
  }
  FOutputs[i] = state;
  return out;
}

TModuleSimulator::TOutcome TModuleSimulator::ReadCountersLocked(const TBytes& data) {
  TOutcome out;
  if (!FConfig.CountersSupported || FCounters.empty()) {
    out.Ack = tervan::kAckUnsupported;
    return out;
  }
  if (data.size() != 1 || (data[0] & 0x40) != 0) {
    out.Ack = tervan::kAckBadData;
    return out;
  }
  const bool clear = (data[0] & 0x80) != 0;
  const std::size_t index = data[0] & 0x3F;
  if (index > FCounters.size()) {
    out.Ack = tervan::kAckBadData;
    return out;
  }
  const int width = FConfig.CounterWidth;
  const std::uint64_t mask = width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
  const std::size_t bytesPerValue = (static_cast<std::size_t>(width) + 7) / 8;
  out.Data = {static_cast<std::uint8_t>(width)};
  const std::size_t first = index == 0 ? 0 : index - 1;
  const std::size_t last = index == 0 ? FCounters.size() : index;
  for (std::size_t i = first; i < last; ++i) {
    AppendBigEndian(out.Data, FCounters[i].Value & mask, bytesPerValue);
    if (clear) FCounters[i].Value = 0;
  }
  return out;
}

TModuleSimulator::TOutcome TModuleSimulator::ReadCounterConfigLocked(const TBytes& data) {
  TOutcome out;
  if (!FConfig.CountersSupported || FCounters.empty()) {
    out.Ack = tervan::kAckUnsupported;
    return out;
  }
  if (data.size() != 1 || data[0] > FCounters.size()) {
    out.Ack = tervan::kAckBadData;
    return out;
  }
  const std::size_t index = data[0];
  const std::size_t first = index == 0 ? 0 : index - 1;
  const std::size_t last = index == 0 ? FCounters.size() : index;
  for (std::size_t i = first; i < last; ++i) {
    out.Data.push_back(static_cast<std::uint8_t>((i + 1) | (FCounters[i].First ? 0x80 : 0) |
                                                 (FCounters[i].Second ? 0x40 : 0)));
  }
  return out;
}

TModuleSimulator::TOutcome TModuleSimulator::WriteCounterConfigLocked(const TBytes& data) {
  TOutcome out;
  if (!FConfig.CountersSupported || FCounters.empty()) {
    out.Ack = tervan::kAckUnsupported;
    return out;
  }
  const std::size_t index = data.size() == 1 ? data[0] & 0x3F : 0;
  if (index < 1 || index > FCounters.size()) {
    out.Ack = tervan::kAckBadData;
    return out;
  }
  FCounters[index - 1].First = (data[0] & 0x80) != 0;
  FCounters[index - 1].Second = (data[0] & 0x40) != 0;
  return out;
}

TModuleSimulator::TOutcome TModuleSimulator::WriteCommParamsLocked(const TBytes& data) {
  TOutcome out;
  if (data.size() < 2 || data[0] >= tervan::kAdrUniversal || data[1] >= kTervanBaudCodeCount) {
    out.Ack = tervan::kAckBadData;
    return out;
  }
  FBaudCode = data[1];
  FCommExtra.assign(data.begin() + 2, data.end());
  out.NewAddress = data[0];
  return out;
}

TModuleSimulator::TOutcome TModuleSimulator::ChangeAddressByIdsLocked(const TBytes& data) {
  TOutcome out;
  if (data.size() != 5) {
    out.Ack = tervan::kAckBadData;
    return out;
  }
  const auto first = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
  const auto second = static_cast<std::uint16_t>(data[3] << 8 | data[4]);
  if (first != FConfig.FirstId || second != FConfig.SecondId) {
    out.Answer = false;  // meant for another module on the bus
    return out;
  }
  if (data[0] >= tervan::kAdrUniversal) {
    out.Ack = tervan::kAckBadData;
    return out;
  }
  out.NewAddress = data[0];
  return out;
}

// --- State bytes, timers, notifications --------------------------------------

TBytes TModuleSimulator::StateBytesLocked(const std::vector<bool>& states) const {
  const std::size_t count = std::max((states.size() + 7) / 8, FConfig.StateBytes);
  TBytes bytes(count, 0);
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (states[i]) bytes[count - 1 - i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }
  return bytes;
}

TBytes TModuleSimulator::NotificationLocked() const {
  return BuildPacket(FAddress, 0, velto::kNotifyInputs, StateBytesLocked(FInputs));
}

void TModuleSimulator::Tick(std::uint32_t nowMs) {
  std::lock_guard<std::mutex> lock(FLock);
  TickLocked(nowMs);
}

void TModuleSimulator::TickLocked(std::uint32_t now) {
  for (std::size_t i = 0; i < FTimers.size(); ++i) {
    if (FTimers[i].Active && ReachedDeadline(now, FTimers[i].Deadline)) {
      FTimers[i].Active = false;
      FOutputs[i] = FTimers[i].RevertState;
    }
  }
}

std::optional<std::uint32_t> TModuleSimulator::NextDeadline() const {
  std::lock_guard<std::mutex> lock(FLock);
  std::optional<std::uint32_t> next;
  for (const TTimedOutput& timer : FTimers) {
    if (timer.Active && (!next || static_cast<std::int32_t>(timer.Deadline - *next) < 0)) {
      next = timer.Deadline;
    }
  }
  return next;
}

void TModuleSimulator::QueueLocked(TSimWrite write) {
  FWrites.push_back(std::move(write));
}

void TModuleSimulator::LogLocked(bool sent, const TBytes& bytes, std::string note) {
  if (FConfig.Log) FLog.push_back({sent, bytes, std::move(note), {}});
}

std::vector<TSimWrite> TModuleSimulator::TakeWrites() {
  std::lock_guard<std::mutex> lock(FLock);
  std::vector<TSimWrite> writes;
  writes.swap(FWrites);
  return writes;
}

TBytes TModuleSimulator::TakeBytes() {
  TBytes bytes;
  for (const TSimWrite& write : TakeWrites()) {
    bytes.insert(bytes.end(), write.Bytes.begin(), write.Bytes.end());
  }
  return bytes;
}

void TModuleSimulator::SetOnWrites(std::function<void()> onWrites) {
  std::lock_guard<std::mutex> lock(FLock);
  FOnWrites = std::move(onWrites);
}

// --- Surroundings and inspection ---------------------------------------------

bool TModuleSimulator::SetInput(int number, bool on) {
  bool known = false;
  Mutate([&] {
    if (number < 1 || number > static_cast<int>(FInputs.size())) return;
    known = true;
    const auto i = static_cast<std::size_t>(number - 1);
    if (FInputs[i] == on) return;
    FInputs[i] = on;
    if (on && i < FCounters.size()) ++FCounters[i].Value;
    if (FConfig.Notify) {
      const TBytes notification = NotificationLocked();
      LogLocked(true, notification, "notification");
      QueueLocked({TSimWrite::kAllChannels, notification, 0, false});
    }
  });
  return known;
}

void TModuleSimulator::SetTemperature(double degrees) {
  std::lock_guard<std::mutex> lock(FLock);
  FTemperature = degrees;
}

void TModuleSimulator::SetNotify(bool on) {
  std::lock_guard<std::mutex> lock(FLock);
  FConfig.Notify = on;
}

bool TModuleSimulator::SetCounter(int number, std::uint64_t value) {
  std::lock_guard<std::mutex> lock(FLock);
  if (number < 1 || number > static_cast<int>(FCounters.size())) return false;
  FCounters[static_cast<std::size_t>(number - 1)].Value = value;
  return true;
}

std::uint8_t TModuleSimulator::Address() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FAddress;
}

std::uint8_t TModuleSimulator::BaudCode() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FBaudCode;
}

std::vector<bool> TModuleSimulator::Inputs() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FInputs;
}

std::vector<bool> TModuleSimulator::Outputs() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FOutputs;
}

std::uint64_t TModuleSimulator::Counter(int number) const {
  std::lock_guard<std::mutex> lock(FLock);
  if (number < 1 || number > static_cast<int>(FCounters.size())) return 0;
  return FCounters[static_cast<std::size_t>(number - 1)].Value;
}

bool TModuleSimulator::CounterConfig(int number, bool& first, bool& second) const {
  std::lock_guard<std::mutex> lock(FLock);
  if (number < 1 || number > static_cast<int>(FCounters.size())) return false;
  first = FCounters[static_cast<std::size_t>(number - 1)].First;
  second = FCounters[static_cast<std::size_t>(number - 1)].Second;
  return true;
}

std::uint8_t TModuleSimulator::OptionByte() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FOptionByte;
}

std::string TModuleSimulator::Label(bool tableA, std::uint8_t index) const {
  std::lock_guard<std::mutex> lock(FLock);
  const auto& table = tableA ? FLabelsA : FLabelsB;
  const auto it = table.find(index);
  return it == table.end() ? std::string() : TextWithoutTrailingZeros(it->second);
}

std::uint8_t TModuleSimulator::ValueF1() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FValueF1;
}

std::string TModuleSimulator::TextF2() const {
  std::lock_guard<std::mutex> lock(FLock);
  return TextOf(FTextF2);
}

bool TModuleSimulator::FlagFE() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FFlagFE;
}

int TModuleSimulator::CounterCount() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FConfig.CountersSupported ? static_cast<int>(FCounters.size()) : 0;
}

int TModuleSimulator::RequestCount(std::uint8_t inst) const {
  std::lock_guard<std::mutex> lock(FLock);
  const auto it = FRequestCounts.find(inst);
  return it == FRequestCounts.end() ? 0 : it->second;
}

std::vector<TSimLogEntry> TModuleSimulator::TakeLog() {
  std::lock_guard<std::mutex> lock(FLock);
  std::vector<TSimLogEntry> log;
  log.swap(FLog);
  return log;
}
