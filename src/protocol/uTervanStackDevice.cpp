#include "protocol/uTervanStackDevice.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "framework/uAlert.h"
#include "framework/uScopeGuard.h"
#include "framework/uStrUtils.h"
#include "framework/uTick.h"
#include "protocol/uTervanBaud.h"
#include "protocol/uTervanCore.h"
#include "protocol/uTervanInstructions.h"
#include "protocol/uTervanStackDeviceList.h"

namespace {

constexpr int kOverloadSweeps = 5;
// Alerts are console lines, not boxes a user must close: while every slot
// stays taken, repeat the line about once a second instead of every sweep.
constexpr int kOverloadRepeatSweeps = 1000;
// A full table is looked at again this often (ms) while it waits, so that a
// deadline passing frees a slot without a release to signal it.
constexpr std::chrono::milliseconds kSweepWait{1};

bool SamePacket(const TTervanFormat97& a, const TTervanFormat97& b) {
  return a.ADR == b.ADR && a.SIG == b.SIG && a.INST == b.INST && a.Data == b.Data;
}

}  // namespace

// --- construction ---

TTervanStackDevice::TTervanStackDevice(std::uint8_t address) : TNodedInterface() {
  SetGUIDString(NewGuidString());
  FAddress.store(address);
}

TTervanStackDevice::TTervanStackDevice(const std::string& guid, std::uint8_t address)
    : TTervanStackDevice(address) {
  if (!guid.empty()) SetGUIDString(guid);
}

TTervanStackDevice::TTervanStackDevice(TXmlNode node, TIntf<IInterface> owner)
    : TTervanStackDevice(tervan::kAdrUniversal) {
  SetOwner(owner);
  // The owner must not keep an entry for an object that never existed.
  TScopeGuard undo([this] {
    SetStack(nullptr);
    SetOwner(nullptr);
  });
  TTervanStackDevice::LoadFromNode(std::move(node), true, false);
  if (auto stack = Supports<ITervanStack>(owner)) SetStack(stack);
  undo.Dismiss();
}

TTervanStackDevice::~TTervanStackDevice() = default;

HRESULT TTervanStackDevice::QueryInterface(const TGUID& iid, void** obj) {
  if (QueryAs<ITervanStackDevice>(this, iid, obj)) return S_OK;
  return TNodedInterface::QueryInterface(iid, obj);
}

void TTervanStackDevice::AfterConstruction() {
  TNodedInterface::AfterConstruction();
  OnDeviceCreated(this);
}

void TTervanStackDevice::BeforeDestruction() {
  OnDeviceDestroyed(this);
  SetStack(nullptr);
  TNodedInterface::BeforeDestruction();
}

// --- settings ---

std::uint8_t TTervanStackDevice::AddressFromText(const std::string& text) {
  if (text.size() == 1) return static_cast<std::uint8_t>(text[0]);
  if (text.size() > 1 && text[0] == '#') {
    std::int32_t value = 0;
    if (TryParseInt(std::string_view(text).substr(1), value))
      return static_cast<std::uint8_t>(value & 0xFF);
  }
  return 0;
}

void TTervanStackDevice::LoadFromNode(TXmlNode node, bool /*setNode*/, bool /*reloadGUID*/) {
  TNodedInterface::LoadFromNode(node, true, false);
  DeviceLoadFromNode(node);
}

void TTervanStackDevice::DeviceLoadFromNode(const TXmlNode& node) {
  if (!node) return;
  if (node->HasAttribute("ADR"))
    FAddress.store(AddressFromText(VariantToText(node->GetAttribute("ADR"))));
  std::uint8_t fixedSig = 0;
  if (node->HasAttribute("fixedSIG")) {
    std::string text = VariantToText(node->GetAttribute("fixedSIG"));
    std::int32_t value = 0;
    if (!TryParseInt(text, value) || value < 0 || value > 0xFF)
      throw EConvertError("'" + text + "' is not a valid signature");
    fixedSig = static_cast<std::uint8_t>(value);
  }
  FFixedSig.store(fixedSig);
}

void TTervanStackDevice::SaveToNode() {
  TNodedInterface::SaveToNode();
  DeviceSaveToNode();
}

void TTervanStackDevice::DeviceSaveToNode() {
  TXmlNode node = GetNode();
  if (!node) return;
  char adr[8];
  std::snprintf(adr, sizeof adr, "#$%02X", static_cast<unsigned>(FAddress.load()));
  node->SetAttribute("GUID", GetGUIDString());
  node->SetAttribute("ADR", adr);
  node->SetAttribute("fixedSIG", std::to_string(FFixedSig.load()));
}

// --- stack binding ---

TIntf<ITervanStack> TTervanStackDevice::GetStack() {
  std::lock_guard<std::mutex> guard(FStackLock);
  return FStack;
}

void TTervanStackDevice::SetStack(TIntf<ITervanStack> stack) {
  TIntf<ITervanStack> old;
  {
    std::lock_guard<std::mutex> guard(FStackLock);
    if (ObjectOf(stack.get()) == ObjectOf(FStack.get())) return;
    old = std::exchange(FStack, nullptr);
  }
  TIntf<ITervanStackDevice> self(static_cast<ITervanStackDevice*>(this));
  if (old) old->RemoveDevice(self);
  if (stack) {
    {
      std::lock_guard<std::mutex> guard(FStackLock);
      FStack = stack;
    }
    stack->AddDevice(self);
  }
}

// --- last result ---

void TTervanStackDevice::ResetLastResult() {
  SetLastResult(tervan::kResultNone);
  SetLastAck(-1);
}

// --- signature slots ---

const TTervanStackDevice::TSigSlot& TTervanStackDevice::SlotLocked(std::uint8_t sig) const {
  static const TSigSlot kNeverTaken;
  const auto& block = FSigBlocks[sig / kSigBlockSize];
  return block ? (*block)[sig % kSigBlockSize] : kNeverTaken;
}

TTervanStackDevice::TSigSlot& TTervanStackDevice::TakenSlotLocked(std::uint8_t sig) {
  auto& block = FSigBlocks[sig / kSigBlockSize];
  if (!block) block = std::make_unique<TSigBlock>();
  return (*block)[sig % kSigBlockSize];
}

bool TTervanStackDevice::SlotAvailable(const TTervanStackItemSIG& slot, std::uint32_t now) const {
  return slot.Free || TickAfter(now, slot.Deadline);
}

std::uint8_t TTervanStackDevice::AllocateSig(std::uint8_t inst, std::int32_t timeout) {
  std::uint32_t turn = 0;
  bool fixed = false;
  return TakeSig(inst, timeout, false, turn, fixed);
}

int TTervanStackDevice::GraceSlotToReuse(std::uint32_t now) const {
  int oldest = -1;
  for (int sig = 0; sig < 256; ++sig) {
    const TSigSlot& slot = SlotLocked(static_cast<std::uint8_t>(sig));
    if (SlotAvailable(slot.Item, now)) return -1;
    if (slot.Grace &&
        (oldest < 0 || TickAfter(SlotLocked(static_cast<std::uint8_t>(oldest)).Item.Deadline,
                                 slot.Item.Deadline)))
      oldest = sig;
  }
  return oldest;
}

int TTervanStackDevice::FindSlotLocked(std::uint32_t now) const {
  for (int step = 0; step < 256; ++step) {
    const std::uint8_t sig = static_cast<std::uint8_t>(FNextSig + step);
    if (SlotAvailable(SlotLocked(sig).Item, now)) return sig;
  }
  // A slot held only for a late answer never makes a request wait.
  return GraceSlotToReuse(now);
}

std::uint8_t TTervanStackDevice::TakeSig(std::uint8_t inst, std::int32_t timeout, bool rotate,
                                         std::uint32_t& turn, bool& fixed) {
  std::unique_lock<std::mutex> lock(FSigLock);
  if (std::uint8_t fixedSig = FFixedSig.load(); fixedSig != 0) {
    fixed = true;
    turn = SlotLocked(fixedSig).Turn;
    return fixedSig;
  }
  fixed = false;
  int sweeps = 0;
  int found = FindSlotLocked(Now());
  while (found < 0) {
    // Every slot is taken: an answer or a deadline frees one. The wait lets
    // go of the table, so answers can come in meanwhile.
    FSigFreed.wait_for(lock, kSweepWait);
    ++sweeps;
    if (sweeps >= kOverloadSweeps && (sweeps - kOverloadSweeps) % kOverloadRepeatSweeps == 0) {
      lock.unlock();
      Alert("SIG stack overload");
      lock.lock();
    }
    found = FindSlotLocked(Now());
  }
  const auto sig = static_cast<std::uint8_t>(found);
  TSigSlot& slot = TakenSlotLocked(sig);
  slot.Item = TTervanStackItemSIG{};
  slot.Item.Free = false;
  slot.Item.INST = inst;
  slot.TakenAt = WallClockNow();
  slot.Item.Deadline = Now() + static_cast<std::uint32_t>(timeout);
  slot.Grace = false;
  slot.Answered = false;
  turn = ++slot.Turn;
  // A waiting exchange moves the search on, so the next one carries another
  // signature and a repeated copy of this one's answer cannot pass for its
  // answer. Otherwise a slot released at once serves the next request again.
  FNextSig = rotate ? static_cast<std::uint8_t>(sig + 1) : sig;
  return sig;
}

void TTervanStackDevice::ReleaseSig(std::uint8_t sig) {
  std::lock_guard<std::mutex> guard(FSigLock);
  ReleaseSigLocked(sig);
}

void TTervanStackDevice::ReleaseSigLocked(std::uint8_t sig) {
  // A slot never taken is free already.
  if (FSigBlocks[sig / kSigBlockSize]) {
    TSigSlot& slot = TakenSlotLocked(sig);
    slot.Item = TTervanStackItemSIG{};
    slot.Grace = false;
    slot.Answered = false;
  }
  FSigFreed.notify_all();
}

void TTervanStackDevice::ReleaseSigTaken(std::uint8_t sig, std::uint32_t turn) {
  std::lock_guard<std::mutex> guard(FSigLock);
  if (SlotLocked(sig).Turn == turn) ReleaseSigLocked(sig);
}

void TTervanStackDevice::HoldForGrace(std::uint8_t sig, std::uint32_t turn, std::int32_t timeout) {
  std::lock_guard<std::mutex> guard(FSigLock);
  if (SlotLocked(sig).Turn != turn || SlotLocked(sig).Item.Free) return;
  TSigSlot& slot = TakenSlotLocked(sig);
  // Ten time-outs fit the wrap-safe tick comparison for any time-out.
  constexpr std::uint32_t kMaxGraceMs = 0x3FFFFFFF;
  const std::uint64_t grace = std::max<std::uint64_t>(
      kGraceTimeouts * static_cast<std::uint64_t>(std::max(timeout, 0)), kMinGraceMs);
  slot.Item.Deadline =
      Now() + static_cast<std::uint32_t>(std::min<std::uint64_t>(grace, kMaxGraceMs));
  slot.Grace = true;
  // A full table may now reuse it.
  FSigFreed.notify_all();
}

bool TTervanStackDevice::SigInGrace(std::uint8_t sig) {
  std::lock_guard<std::mutex> guard(FSigLock);
  const TSigSlot& slot = SlotLocked(sig);
  return slot.Grace && !SlotAvailable(slot.Item, Now());
}

TTervanStackItemSIG TTervanStackDevice::SigItem(std::uint8_t sig) {
  TTervanStackItemSIG item;
  timespec takenAt{};
  {
    std::lock_guard<std::mutex> guard(FSigLock);
    item = SlotLocked(sig).Item;
    takenAt = SlotLocked(sig).TakenAt;
  }
  if (!item.Free) item.Taken = LocalDateTime(takenAt);
  return item;
}

// --- the engine ---

bool TTervanStackDevice::Exchange(std::uint8_t inst, const TBytes& data, bool wait,
                                  std::int32_t timeout, const TTervanAnswerCallback& callback,
                                  TTervanFormat97& answer) {
  ResetLastResult();
  TIntf<ITervanStack> stack = GetStack();
  if (timeout < 0) timeout = FTimeout.load();
  if (!stack) return false;
  if (data.size() > tervan::kMaxDataSize)
    throw ETervanPacketError("Packet data too long (" + std::to_string(data.size()) + " bytes)");
  return wait ? ExchangeWaiting(*stack, inst, data, timeout, answer)
              : ExchangeUnwaited(*stack, inst, data, timeout, callback, answer);
}

bool TTervanStackDevice::ExchangeWaiting(ITervanStack& stack, std::uint8_t inst, const TBytes& data,
                                         std::int32_t timeout, TTervanFormat97& answer) {
  std::uint32_t turn = 0;
  bool fixed = false;
  const std::uint8_t sig = TakeSig(inst, timeout, true, turn, fixed);
  const std::uint32_t start = Now();
  bool timedOut = false;
  // A request whose answer did not come in time keeps its signature for a
  // while, so that the answer, should it come late, cannot pass for a later
  // request's. One that failed at once (no line, a refused write) was never
  // sent whole and frees it.
  TScopeGuard release([&] {
    if (timedOut && !fixed)
      HoldForGrace(sig, turn, timeout);
    else
      ReleaseSigTaken(sig, turn);
  });
  TBytes raw;
  bool transacted = false;
  const std::uint8_t address = FAddress.load();
  try {
    transacted = stack.Transact(address, sig, inst, data, raw, timeout);
  } catch (...) {
    // A failing transport ends the exchange as failed. An answer found before
    // the receive path reported on other bytes still counts.
    transacted = !raw.empty();
  }
  timedOut =
      !transacted && !TickAfter(start + static_cast<std::uint32_t>(std::max(timeout, 0)), Now());
  if (!transacted) {
    SetLastResult(tervan::kResultNoAnswer);
    return false;
  }
  if (CheckPacket(raw) != 0) {
    SetLastResult(raw.empty() ? tervan::kResultNoAnswer : tervan::kResultBadAnswer);
    return false;
  }
  TTervanFormat97 parsed = ParsePacket(raw);
  // Runs of the same program start with the same signatures: on a shared
  // line only the address tells one module's answer from another's. A stack
  // of another make may hand over whatever carries the signature.
  if (address != tervan::kAdrUniversal && parsed.ADR != address) {
    SetLastResult(tervan::kResultNoAnswer);
    return false;
  }
  answer = std::move(parsed);
  SetLastAck(answer.INST);
  if (answer.SIG != sig) return false;
  SetLastResult(answer.INST == 0 ? tervan::kResultAck : tervan::kResultRefused);
  return true;
}

bool TTervanStackDevice::ExchangeUnwaited(ITervanStack& stack, std::uint8_t inst,
                                          const TBytes& data, std::int32_t timeout,
                                          const TTervanAnswerCallback& callback,
                                          TTervanFormat97& answer) {
  const std::uint8_t address = FAddress.load();
  std::uint32_t turn = 0;
  bool fixed = false;
  const std::uint8_t sig = TakeSig(inst, timeout, false, turn, fixed);
  if (callback) {
    std::lock_guard<std::mutex> guard(FSigLock);
    if (SlotLocked(sig).Turn == turn) {
      TSigSlot& slot = TakenSlotLocked(sig);
      slot.Item.Callback = callback;
      slot.Item.Request = ParsePacket(BuildPacket(address, sig, inst, data));
    }
  }
  bool sent = false;
  try {
    sent = stack.Send(address, sig, inst, data);
  } catch (...) {
    SetLastResult(tervan::kResultNoAnswer);
    sent = false;
  }
  // A request that never left cannot be answered: its slot is free at once.
  if (!sent) ReleaseSigTaken(sig, turn);
  answer = TTervanFormat97{};
  return sent;
}

bool TTervanStackDevice::Execute(std::uint8_t inst, const TBytes& data,
                                 const TTervanAnswerCallback& callback, bool wait,
                                 std::int32_t timeout, std::uint8_t& ack, TBytes& answerData) {
  TTervanFormat97 answer;
  if (!Exchange(inst, data, wait, timeout, callback, answer)) return false;
  if (wait && answer.INST != 0) return false;
  ack = answer.INST;
  answerData = std::move(answer.Data);
  return true;
}

bool TTervanStackDevice::Execute(std::uint8_t inst, const TBytes& data,
                                 const TTervanAnswerCallback& callback, bool wait,
                                 std::int32_t timeout, TBytes& answerData) {
  std::uint8_t ack = 0;
  return Execute(inst, data, callback, wait, timeout, ack, answerData);
}

bool TTervanStackDevice::Execute(std::uint8_t inst, const TBytes& data,
                                 const TTervanAnswerCallback& callback, bool wait,
                                 std::int32_t timeout) {
  TBytes answerData;
  return Execute(inst, data, callback, wait, timeout, answerData);
}

bool TTervanStackDevice::Execute(std::uint8_t inst, const TTervanAnswerCallback& callback,
                                 bool wait, std::int32_t timeout) {
  return Execute(inst, TBytes{}, callback, wait, timeout);
}

bool TTervanStackDevice::ExecuteWaiting(std::uint8_t inst, const TBytes& data, std::int32_t timeout,
                                        std::uint8_t& ack, TBytes& answerData) {
  TTervanFormat97 answer;
  if (!Exchange(inst, data, true, timeout, {}, answer)) return false;
  ack = answer.INST;
  answerData = std::move(answer.Data);
  return true;
}

bool TTervanStackDevice::AskAndWait(std::uint8_t inst, const TBytes& data, std::int32_t timeout) {
  TBytes answerData;
  return AskAndWait(inst, data, answerData, timeout);
}

bool TTervanStackDevice::AskAndWait(std::uint8_t inst, const TBytes& data, TBytes& answerData,
                                    std::int32_t timeout) {
  return Execute(inst, data, {}, true, timeout, answerData);
}

bool TTervanStackDevice::Post(std::uint8_t inst, const TBytes& data, std::int32_t timeout,
                              const TTervanAnswerCallback& callback) {
  return Execute(inst, data, callback, false, timeout);
}

// --- received packets ---

void TTervanStackDevice::ProcessPacket(const TTervanFormat97& packet) {
  if (tervan::IsAnswerCode(packet.INST)) {
    try {
      ProcessAnswer(packet);
    } catch (...) {
      Alert("e1");
    }
  } else if (tervan::IsNotificationCode(packet.INST)) {
    try {
      ProcessNotification(packet);
    } catch (...) {
      Alert("e2");
    }
  }
}

void TTervanStackDevice::ProcessAnswer(const TTervanFormat97& packet) {
  const std::uint8_t sig = packet.SIG;
  TTervanAnswerCallback callback;
  TTervanFormat97 request;
  std::uint32_t turn = 0;
  {
    std::lock_guard<std::mutex> guard(FSigLock);
    // Free: a late answer, an answer to a fixed signature or to another's
    // request. Answered: a copy of the answer whose callback is running.
    if (SlotLocked(sig).Item.Free || SlotLocked(sig).Answered) return;
    TSigSlot& slot = TakenSlotLocked(sig);
    // The line's echo of the request is not its answer.
    if (slot.Item.Callback && SamePacket(slot.Item.Request, packet)) return;
    slot.Item.Answer = packet;
    turn = slot.Turn;
    if (!slot.Item.Callback) {
      ReleaseSigLocked(sig);
      return;
    }
    slot.Answered = true;
    callback = slot.Item.Callback;
    request = slot.Item.Request;
  }
  // The callback runs without the table's lock: it may send requests of its
  // own. The request is finished once answered, also when its callback
  // fails; a request sent by the callback may take this very slot (when it
  // was stale), and that one keeps it.
  TScopeGuard release([this, sig, turn] { ReleaseSigTaken(sig, turn); });
  callback(request, packet);
}

void TTervanStackDevice::ProcessNotification(const TTervanFormat97& /*packet*/) {}

// --- instructions common to every module ---

bool TTervanStackDevice::SendE3() {
  return AskAndWait(tervan::kInstE3);
}

bool TTervanStackDevice::SendE4() {
  return AskAndWait(tervan::kInstE4, {}, kE4Timeout);
}

bool TTervanStackDevice::ReadTypeText(std::string& text) {
  TBytes answerData;
  if (!AskAndWait(tervan::kInstIdentify, {}, answerData)) return false;
  text = TextOf(answerData);
  return true;
}

namespace {

// 1-based position of `c` in `text` at or after `from`; 0 when there is none.
std::size_t PosFrom(const std::string& text, char c, std::size_t from) {
  if (from < 1) from = 1;
  if (from > text.size()) return 0;
  std::size_t at = text.find(c, from - 1);
  return at == std::string::npos ? 0 : at + 1;
}

// `count` characters of `text` from 1-based `start`; empty for a count below 1.
std::string Piece(const std::string& text, std::size_t start, long long count) {
  if (count < 1 || start < 1 || start > text.size()) return {};
  return text.substr(start - 1, static_cast<std::size_t>(count));
}

}  // namespace

bool TTervanStackDevice::ReadType() {
  TBytes answerData;
  if (!AskAndWait(tervan::kInstIdentify, {}, answerData)) {
    SetName(std::string());
    {
      std::lock_guard<std::mutex> guard(FTypeLock);
      FTypeVersion.clear();
      FTypeExtra.clear();
    }
    FTypeRead.store(false);
    return false;
  }
  const std::string t = TextOf(answerData);
  const auto at = [](std::size_t p) { return static_cast<long long>(p); };
  const std::size_t p1 = PosFrom(t, ';', 1) + 1;
  SetName(TrimControl(Piece(t, 1, at(p1) - 2)));
  const std::size_t p2 = PosFrom(t, ';', p1) + 1;
  std::string version = TrimControl(Piece(t, p1, at(p2) - at(p1) - 1));
  if (std::size_t v = version.find('v'); v != std::string::npos) version.erase(0, v + 1);
  const std::size_t p3 = PosFrom(t, ';', p2) + 1;
  std::string extra = p3 == 1 ? TrimControl(Piece(t, p2, at(t.size()) + 1))
                              : TrimControl(Piece(t, p2, at(p3) - at(p2) - 1));
  {
    std::lock_guard<std::mutex> guard(FTypeLock);
    FTypeVersion = std::move(version);
    FTypeExtra = std::move(extra);
  }
  FTypeRead.store(true);
  return true;
}

std::string TTervanStackDevice::GetTypeVersion() {
  std::lock_guard<std::mutex> guard(FTypeLock);
  return FTypeVersion;
}

std::string TTervanStackDevice::GetTypeExtra() {
  std::lock_guard<std::mutex> guard(FTypeLock);
  return FTypeExtra;
}

bool TTervanStackDevice::ReadByteF1(std::uint8_t& value) {
  value = 0;
  TBytes answerData;
  if (!AskAndWait(tervan::kInstReadByte, {}, answerData)) return false;
  if (!answerData.empty()) {
    value = answerData[0];
    FValueF1.store(value);
  }
  return true;
}

bool TTervanStackDevice::WriteByteE1(std::uint8_t value) {
  if (!AskAndWait(tervan::kInstWriteByte, TBytes{value})) return false;
  FValueF1.store(value);
  return true;
}

bool TTervanStackDevice::ReadTextF2(std::string& text) {
  TBytes answerData;
  if (!AskAndWait(tervan::kInstReadText, {}, answerData)) return false;
  text = TextOf(answerData);
  return true;
}

bool TTervanStackDevice::WriteTextE2(const std::string& text) {
  constexpr std::size_t kTextBytes = 16;
  const std::size_t n = std::min(text.size(), kTextBytes);
  TBytes data;
  data.reserve(n + 2);
  data.push_back(0x00);
  for (std::size_t i = 0; i < n; ++i) data.push_back(static_cast<std::uint8_t>(text[i]));
  if (text.size() < kTextBytes) data.push_back(0x00);
  return AskAndWait(tervan::kInstWriteText, data);
}

bool TTervanStackDevice::ReadFlagFE(bool& flag) {
  TBytes answerData;
  if (!AskAndWait(tervan::kInstReadFlag, {}, answerData)) return false;
  if (!answerData.empty()) flag = answerData[0] != 0;
  return true;
}

bool TTervanStackDevice::WriteFlagEE(bool flag) {
  return AskAndWait(tervan::kInstWriteFlag, TBytes{static_cast<std::uint8_t>(flag ? 0x01 : 0x00)});
}

bool TTervanStackDevice::ReadValuesFA(std::uint16_t& first, std::uint16_t& second,
                                      std::uint32_t& third) {
  TBytes d;
  if (!AskAndWait(tervan::kInstReadValues, {}, d)) return false;
  if (d.size() < 8) return false;
  first = static_cast<std::uint16_t>(d[0] << 8 | d[1]);
  second = static_cast<std::uint16_t>(d[2] << 8 | d[3]);
  third = static_cast<std::uint32_t>(d[4]) << 24 | static_cast<std::uint32_t>(d[5]) << 16 |
          static_cast<std::uint32_t>(d[6]) << 8 | static_cast<std::uint32_t>(d[7]);
  return true;
}

bool TTervanStackDevice::ReadF0(TBytes& answerData) {
  return AskAndWait(tervan::kInstReadCommParams, {}, answerData);
}

bool TTervanStackDevice::ReadAddress(std::uint8_t& address) {
  TBytes d;
  const bool ok = ReadF0(d);
  if (ok && d.size() >= 2) FAddress.store(d[0]);
  address = FAddress.load();
  return ok;
}

bool TTervanStackDevice::ReadCommParams(std::uint8_t& address, std::int32_t& baud) {
  TBytes d;
  const bool ok = ReadF0(d);
  if (ok && d.size() >= 2) {
    FAddress.store(d[0]);
    baud = BaudFromCode(d[1]);
  }
  address = FAddress.load();
  return ok;
}

bool TTervanStackDevice::ChangeAddress(std::uint8_t newAddress) {
  TBytes d;
  if (!ReadF0(d) || d.size() < 2) return false;
  // The module's own report of its address: the next steps go there.
  FAddress.store(d[0]);
  d[0] = newAddress;
  if (!SendE4()) return false;
  if (!AskAndWait(tervan::kInstWriteCommParams, d)) return false;
  FAddress.store(newAddress);
  return true;
}

bool TTervanStackDevice::WriteCommParams(std::uint8_t address, std::int32_t baud) {
  const std::int32_t code = CodeFromBaud(baud);
  if (code < 0)
    throw std::invalid_argument("Baud rate " + std::to_string(baud) + " is not supported");
  if (!SendE4()) return false;
  if (!AskAndWait(tervan::kInstWriteCommParams, TBytes{address, static_cast<std::uint8_t>(code)}))
    return false;
  FAddress.store(address);
  return true;
}

bool TTervanStackDevice::ChangeAddressEB(std::uint16_t first, std::uint16_t second,
                                         std::uint8_t newAddress) {
  const std::uint8_t old = FAddress.load();
  TScopeGuard restore([this, old] { FAddress.store(old); });
  // A module whose address is not known for sure is reached at the universal one.
  if (old != newAddress && old < tervan::kAdrUniversal) FAddress.store(tervan::kAdrUniversal);
  const TBytes data{newAddress, static_cast<std::uint8_t>(first >> 8),
                    static_cast<std::uint8_t>(first & 0xFF), static_cast<std::uint8_t>(second >> 8),
                    static_cast<std::uint8_t>(second & 0xFF)};
  // Nothing answers a request to the broadcast address.
  const bool ok = FAddress.load() != tervan::kAdrBroadcast
                      ? AskAndWait(tervan::kInstChangeAddressByIds, data)
                      : Post(tervan::kInstChangeAddressByIds, data);
  if (!ok) return false;
  restore.Dismiss();
  FAddress.store(newAddress);
  return true;
}
