#include "simulator/uSimBus.h"

#include <algorithm>
#include <stdexcept>

#include "protocol/uTervan97.h"
#include "protocol/uTervanCore.h"

namespace {

std::string AddressName(std::uint8_t address) {
  return "#" + std::to_string(address);
}

}  // namespace

TSimBus::TSimBus(const std::vector<TSimConfig>& configs) {
  if (configs.empty()) throw std::invalid_argument("a bus needs at least one module");
  for (const TSimConfig& config : configs) {
    FOwned.push_back(std::make_unique<TModuleSimulator>(config));
    FModules.push_back(FOwned.back().get());
    FLogOn = FLogOn || config.Log;
  }
}

TSimBus::TSimBus(TModuleSimulator& module) : FModules{&module} {}

void TSimBus::OpenChannel(int channel) {
  std::lock_guard<std::mutex> lock(FLock);
  for (auto& module : FModules) module->OpenChannel(channel);
  if (FModules.size() > 1) FChannels.insert_or_assign(channel, TTervanFramer(kRxLimit, kRxKeep));
}

void TSimBus::CloseChannel(int channel) {
  std::lock_guard<std::mutex> lock(FLock);
  for (auto& module : FModules) module->CloseChannel(channel);
  FChannels.erase(channel);
}

void TSimBus::Tick(std::uint32_t nowMs) {
  for (auto& module : FModules) module->Tick(nowMs);
}

std::optional<std::uint32_t> TSimBus::NextDeadline() const {
  std::optional<std::uint32_t> next;
  for (const auto& module : FModules) {
    const auto deadline = module->NextDeadline();
    if (deadline && (!next || static_cast<std::int32_t>(*deadline - *next) < 0)) next = deadline;
  }
  return next;
}

void TSimBus::SetOnWrites(const std::function<void()>& onWrites) {
  for (auto& module : FModules) module->SetOnWrites(onWrites);
}

void TSimBus::Receive(int channel, const TBytes& bytes, std::uint32_t nowMs) {
  if (FModules.size() == 1) {
    FModules.front()->Receive(channel, bytes, nowMs);
    return;
  }
  std::lock_guard<std::mutex> lock(FLock);
  auto it = FChannels.find(channel);
  if (it == FChannels.end()) {
    it = FChannels.emplace(channel, TTervanFramer(kRxLimit, kRxKeep)).first;
    for (auto& module : FModules) module->OpenChannel(channel);
  }
  TTervanFramer& framer = it->second;
  if (const std::size_t cut = framer.Append(bytes); cut != 0 && FLogOn)
    FLog.push_back({false, {}, "overflow, " + std::to_string(cut) + " bytes dropped", {}});
  // One unit at a time, so that each module's answer is known to belong to it.
  TTervanFramer::TUnit unit;
  while (framer.Next(unit)) {
    const TBytes bytesOfUnit(unit.Bytes, unit.Bytes + unit.Size);
    if (unit.Kind == TTervanFramer::TUnitKind::Garbage) {
      if (FLogOn) FLog.push_back({false, bytesOfUnit, "garbage", {}});
      continue;
    }
    HandleUnitLocked(channel, bytesOfUnit, nowMs);
  }
}

void TSimBus::HandleUnitLocked(int channel, const TBytes& packet, std::uint32_t now) {
  // Writes queued before this request (notifications) go out before its answer.
  for (auto& module : FModules) {
    for (TSimWrite& write : module->TakeWrites()) FWrites.push_back(std::move(write));
  }
  PullLogsLocked();
  const std::uint8_t adr = packet[4];
  const bool anyone =
      adr == tervan::kAdrUniversal || adr == tervan::kAdrBroadcast ||
      std::any_of(FModules.begin(), FModules.end(), [&](auto& m) { return m->Address() == adr; });
  if (FLogOn) FLog.push_back({false, packet, anyone ? "" : "other address", {}});

  struct TAnswer {
    std::uint8_t Address = 0;
    std::vector<TSimWrite> Writes;
    TBytes Bytes;
  };
  std::vector<TAnswer> answers;
  for (auto& module : FModules) {
    TAnswer answer;
    answer.Address = module->Address();
    module->Receive(channel, packet, now);
    answer.Writes = module->TakeWrites();
    for (const TSimWrite& write : answer.Writes)
      answer.Bytes.insert(answer.Bytes.end(), write.Bytes.begin(), write.Bytes.end());
    if (!answer.Writes.empty()) answers.push_back(std::move(answer));
  }
  PullLogsLocked();

  const auto speaking = std::count_if(answers.begin(), answers.end(),
                                      [](const TAnswer& a) { return !a.Bytes.empty(); });
  if (speaking <= 1) {
    for (TAnswer& answer : answers) {
      for (TSimWrite& write : answer.Writes) FWrites.push_back(std::move(write));
    }
    return;
  }
  std::vector<TBytes> frames;
  std::string who;
  bool close = false;
  for (const TAnswer& answer : answers) {
    if (!answer.Bytes.empty()) {
      frames.push_back(answer.Bytes);
      who += " " + AddressName(answer.Address);
    }
    close = close || std::any_of(answer.Writes.begin(), answer.Writes.end(),
                                 [](const TSimWrite& w) { return w.Close; });
  }
  const TBytes collided = Collide(frames);
  if (FLogOn) {
    FLog.push_back({true, collided,
                    "collision: " + std::to_string(frames.size()) + " modules answered:" + who,
                    {}});
  }
  FWrites.push_back({channel, collided, 0, false});
  if (close) FWrites.push_back({channel, {}, 0, true});
}

TBytes TSimBus::Collide(const std::vector<TBytes>& answers) {
  std::size_t size = 0;
  for (const TBytes& answer : answers) size = std::max(size, answer.size());
  TBytes line(size, 0);
  for (const TBytes& answer : answers) {
    for (std::size_t i = 0; i < answer.size(); ++i) line[i] |= answer[i];
  }
  if (size >= tervan::kMinPacketSize && size - 4 <= 0xFFFF && line[0] == tervan::kPrefix &&
      line[1] == tervan::kFormat97) {
    line[2] = static_cast<std::uint8_t>((size - 4) >> 8);
    line[3] = static_cast<std::uint8_t>((size - 4) & 0xFF);
    const auto right = PacketChecksum(TBytes(line.begin(), line.end() - 2));
    line[size - 2] = static_cast<std::uint8_t>(~right);
  }
  return line;
}

void TSimBus::PullLogsLocked() {
  for (auto& module : FModules) {
    std::vector<TSimLogEntry> entries = module->TakeLog();
    if (entries.empty()) continue;
    const std::string source = AddressName(module->Address());
    for (TSimLogEntry& entry : entries) {
      if (!entry.Sent && !entry.Bytes.empty()) continue;
      entry.Source = source;
      FLog.push_back(std::move(entry));
    }
  }
}

std::vector<TSimWrite> TSimBus::TakeWrites() {
  if (FModules.size() == 1) return FModules.front()->TakeWrites();
  std::lock_guard<std::mutex> lock(FLock);
  std::vector<TSimWrite> writes;
  writes.swap(FWrites);
  for (auto& module : FModules) {
    for (TSimWrite& write : module->TakeWrites()) writes.push_back(std::move(write));
  }
  return writes;
}

std::vector<TSimLogEntry> TSimBus::TakeLog() {
  if (FModules.size() == 1) return FModules.front()->TakeLog();
  std::lock_guard<std::mutex> lock(FLock);
  PullLogsLocked();
  std::vector<TSimLogEntry> log;
  log.swap(FLog);
  return log;
}
