#include "protocol/uTervanStack.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "framework/uTick.h"
#include "protocol/uTervanCore.h"

namespace {

const char kOwnerError[] = "ITervanStack can be owned only by ICommunicationInterface";
const char kBroadcastError[] = "RCV packet ADR=$FF !";

// Every path that reads from a transport and then runs the receive path takes
// the transport's lock first (TOptionalTransportLock), so the two locks are
// always taken in the same order.

// Offset of the first "*a" in bytes[from, size), or `size` when there is none.
std::size_t FindPacketStart(const std::uint8_t* bytes, std::size_t size, std::size_t from) {
  while (from < size) {
    const void* hit = std::memchr(bytes + from, tervan::kPrefix, size - from);
    if (hit == nullptr) return size;
    std::size_t at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - bytes);
    if (at + 1 < size && bytes[at + 1] == tervan::kFormat97) return at;
    if (at + 1 == size) return size;
    from = at + 1;
  }
  return size;
}

}  // namespace

// --- receive buffer ---

void TTervanStack::TRxBuffer::Append(const std::uint8_t* bytes, std::size_t size) {
  if (FStart > 0 && FStart >= FBytes.size() - FStart) {
    FBytes.erase(FBytes.begin(), FBytes.begin() + static_cast<std::ptrdiff_t>(FStart));
    // Sums keep their values: only differences between them are used.
    FSums.erase(FSums.begin(), FSums.begin() + static_cast<std::ptrdiff_t>(FStart));
    FStart = 0;
  }
  FBytes.insert(FBytes.end(), bytes, bytes + size);
  const std::size_t base = FSums.size();
  FSums.resize(base + size);
  std::uint8_t sum = FSums[base - 1];
  std::uint8_t* sums = FSums.data() + base;
  for (std::size_t i = 0; i < size; ++i) {
    sum = static_cast<std::uint8_t>(sum + bytes[i]);
    sums[i] = sum;
  }
}

void TTervanStack::TRxBuffer::Consume(std::size_t count) {
  FStart += std::min(count, Size());
  if (FStart == FBytes.size()) Clear();
}

void TTervanStack::TRxBuffer::Clear() {
  FBytes.clear();
  FSums.assign(1, 0);
  FStart = 0;
}

bool TTervanStack::TRxBuffer::ValidPacket(std::size_t size) const {
  const std::uint8_t* p = Data();
  if (size < tervan::kMinPacketSize || size > Size()) return false;
  if (p[0] != tervan::kPrefix || p[1] != tervan::kFormat97) return false;
  if (size != static_cast<std::size_t>(p[2]) * 256u + p[3] + 4u) return false;
  const std::size_t span = size - 2;  // everything before SUM
  if (span > 0xFFFF) return false;
  const std::uint8_t sum = static_cast<std::uint8_t>(FSums[FStart + span] - FSums[FStart]);
  return static_cast<std::uint8_t>(0xFF - sum) == p[size - 2] && p[size - 1] == tervan::kTerminator;
}

// --- construction ---

TTervanStack::TTervanStack() : TNodedInterface() {}

TTervanStack::TTervanStack(TXmlNode node, TIntf<IInterface> owner)
    : TNodedInterface(std::move(node), nullptr) {
  try {
    StackSetOwner(std::move(owner));
  } catch (...) {
    // The owner must not keep an entry for an object that never existed.
    TNodedInterface::SetOwner(nullptr);
    throw;
  }
}

TTervanStack::~TTervanStack() = default;

HRESULT TTervanStack::QueryInterface(const TGUID& iid, void** obj) {
  if (QueryAs<ITervanStack>(this, iid, obj)) return S_OK;
  return TNodedInterface::QueryInterface(iid, obj);
}

void TTervanStack::BeforeDestruction() {
  SetTransport(nullptr);
  TNodedInterface::BeforeDestruction();
}

void TTervanStack::SetOwner(TIntf<IInterface> owner) {
  StackSetOwner(std::move(owner));
}

void TTervanStack::StackSetOwner(TIntf<IInterface> owner) {
  TNodedInterface::SetOwner(owner);
  if (!owner) {
    SetTransport(nullptr);
    return;
  }
  auto transport = Supports<ICommunicationInterface>(owner);
  // The owner stays recorded; the transport binding is left as it was.
  if (!transport) throw ETervanStackError(kOwnerError);
  SetTransport(transport);
}

// --- transport binding ---

TIntf<ICommunicationInterface> TTervanStack::GetTransport() {
  std::lock_guard<std::mutex> guard(FTransportMutex);
  return FTransport;
}

void TTervanStack::SetTransport(TIntf<ICommunicationInterface> transport) {
  TIntf<ICommunicationInterface> old;
  {
    std::lock_guard<std::mutex> guard(FTransportMutex);
    if (ObjectOf(transport.get()) == ObjectOf(FTransport.get())) return;
    old = FTransport;
  }
  if (old) old->SetOnDataReceived({});
  {
    // Waits for a receive path still running on the old transport's data.
    TOptionalTransportLock oldLock(old);
    std::lock_guard<std::recursive_mutex> receive(FReceiveLock);
    FRxBuffer.Clear();
    std::lock_guard<std::mutex> guard(FTransportMutex);
    FTransport = transport;
  }
  if (transport) transport->SetOnDataReceived(TCiNotifyHandler::Of<&TTervanStack::icDataRcv>(this));
}

// --- devices ---

bool TTervanStack::AddDevice(TIntf<ITervanStackDevice> device) {
  if (!device) return false;
  const bool added = AddChild(TIntf<IInterface>(device)) >= 0;
  TIntf<ITervanStack> self(static_cast<ITervanStack*>(this));
  if (!SameObject(device->GetStack(), self)) device->SetStack(self);
  return added;
}

bool TTervanStack::RemoveDevice(TIntf<ITervanStackDevice> device) {
  if (!device) return false;
  TIntf<IInterface> child(device);
  const bool wasChild = IndexOfChild(child) >= 0;
  TIntf<ITervanStack> self(static_cast<ITervanStack*>(this));
  // The device's own detaching comes back here and removes the child.
  if (SameObject(device->GetStack(), self)) device->SetStack(nullptr);
  const bool removedHere = RemoveChild(child) >= 0;
  return removedHere || (wasChild && IndexOfChild(child) < 0);
}

bool TTervanStack::GetDevice(std::int32_t index, TIntf<ITervanStackDevice>& device) {
  TIntf<IInterface> child;
  {
    std::lock_guard<std::recursive_mutex> list(ChildListLock());
    const TInterfaceList& children = ChildrenLocked();
    if (index < 0 || static_cast<std::size_t>(index) >= children.size()) return false;
    child = children[static_cast<std::size_t>(index)];
  }
  device = Supports<ITervanStackDevice>(child);
  return static_cast<bool>(device);
}

// --- sending ---

bool TTervanStack::Send(std::uint8_t adr, std::uint8_t sig, std::uint8_t inst, const TBytes& data) {
  TIntf<ICommunicationInterface> transport = GetTransport();
  if (!transport) return false;
  TBytes packet = BuildPacket(adr, sig, inst, data);
  // A transport that takes none of the bytes has not sent the request.
  return transport->Write(packet) > 0;
}

namespace {

bool IsAnswer(const std::uint8_t* p, std::size_t size, std::uint8_t adr, std::uint8_t sig) {
  // The cheap field tests first: the checksum runs only for a likely answer.
  return size >= tervan::kMinPacketSize && p[5] == sig && !tervan::IsNotificationCode(p[6]) &&
         (adr == tervan::kAdrUniversal || p[4] == adr) && CheckPacket(p, size) == 0;
}

// Offset of a whole answer behind the incomplete candidate at `from`, or
// `size`: a damaged length field must not hide an answer that has come.
std::size_t AnswerBehind(const std::uint8_t* bytes, std::size_t size, std::size_t from,
                         std::uint8_t adr, std::uint8_t sig, std::size_t& length) {
  for (std::size_t at = FindPacketStart(bytes, size, from + 1); at < size;
       at = FindPacketStart(bytes, size, at + 1)) {
    length = ExtractPacketLength(bytes + at, size - at);
    if (length != 0 && IsAnswer(bytes + at, length, adr, sig)) return at;
  }
  return size;
}

// Examines every complete candidate in collected[start..) in order: returns
// true with the answer cut out into `answer`, else leaves an incomplete rest.
// Whatever is not the answer is moved to `setAside` in arrival order.
bool TakeAnswer(const TBytes& collected, std::size_t& start, TBytes& setAside, std::uint8_t adr,
                std::uint8_t sig, TBytes& answer) {
  const std::uint8_t* bytes = collected.data();
  const std::size_t size = collected.size();
  for (;;) {
    std::size_t at = FindPacketStart(bytes, size, start);
    if (at == size) return false;  // no packet start yet; keep the bytes
    setAside.insert(setAside.end(), bytes + start, bytes + at);
    start = at;
    std::size_t length = ExtractPacketLength(bytes + start, size - start);
    if (length == 0) {
      // Incomplete: it waits for more bytes, unless the answer stands behind it.
      const std::size_t behind = AnswerBehind(bytes, size, start, adr, sig, length);
      if (behind == size) return false;
      setAside.insert(setAside.end(), bytes + start, bytes + behind);
      start = behind;
    }
    if (IsAnswer(bytes + start, length, adr, sig)) {
      answer.assign(bytes + start, bytes + start + length);
      start += length;
      return true;
    }
    if (CheckPacket(bytes + start, length) != 0) {
      // A damaged candidate (noise that looks like a header) costs only the
      // bytes up to the next "*" in it, as in the receive path: the answer
      // may start inside it.
      const void* star = std::memchr(bytes + start + 1, tervan::kPrefix, length - 1);
      if (star != nullptr)
        length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(star) - (bytes + start));
    }
    setAside.insert(setAside.end(), bytes + start, bytes + start + length);
    start += length;
  }
}

}  // namespace

bool TTervanStack::Transact(std::uint8_t adr, std::uint8_t sig, std::uint8_t inst,
                            const TBytes& data, TBytes& answer, std::int32_t timeout) {
  const std::uint32_t deadline =
      GetTickCount32() + static_cast<std::uint32_t>(std::max(timeout, 0));
  TIntf<ICommunicationInterface> transport = GetTransport();
  if (!transport || !transport->GetActive()) return false;

  TTransportLock lock(*transport);
  TBytes setAside;
  TBytes collected;
  std::size_t start = 0;  // bytes of `collected` before it are examined and handed on
  std::exception_ptr failure;
  try {
    // Bytes that arrived before the request are not its answer.
    transport->Read(setAside);
    const TBytes packet = BuildPacket(adr, sig, inst, data);
    answer.clear();
    // A refused write cannot be answered; waiting would only cost the time-out.
    if (transport->Write(packet) > 0) {
      for (;;) {
        // A whole pass even when the deadline is near or already gone (a
        // short time-out, or a long wait for the line): an answer that comes
        // within the pass is still taken. The pass ends early when bytes come.
        const bool arrived = transport->WaitReceived(kPassMs);
        if (transport->GetReceivedCount() != 0) {
          TBytes part;
          transport->Read(part);
          collected.insert(collected.end(), part.begin(), part.end());
          if (TakeAnswer(collected, start, setAside, adr, sig, answer)) break;
        } else if (!arrived && !transport->GetActive()) {
          break;  // the connection is gone: no answer can come
        }
        if (TickAfter(GetTickCount32(), deadline)) break;
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // Notifications and answers to other requests still reach their devices.
  setAside.insert(setAside.end(), collected.begin() + static_cast<std::ptrdiff_t>(start),
                  collected.end());
  try {
    Receive(setAside);
  } catch (...) {
    if (!failure) throw;
  }
  if (failure) std::rethrow_exception(failure);
  return !answer.empty();
}

// --- receiving ---

void TTervanStack::icDataRcv(TIntf<ICommunicationInterface> sender) {
  if (!sender) {
    Receive(TBytes{});
    return;
  }
  // Read and framing under one hold of the lock, so that the bytes of a
  // transaction running on another thread can never overtake these.
  TTransportLock lock(*sender);
  TBytes bytes;
  sender->Read(bytes);
  Receive(bytes);
}

std::size_t TTervanStack::RxBufferSize() {
  std::lock_guard<std::recursive_mutex> receive(FReceiveLock);
  return FRxBuffer.Size();
}

void TTervanStack::Receive(const TBytes& bytes) {
  Receive(bytes.data(), bytes.size());
}

std::size_t TTervanStack::NextCandidate() {
  std::size_t length = ExtractPacketLength(FRxBuffer.Data(), FRxBuffer.Size());
  if (length != 0 || FRxBuffer.Size() == 0) return length;
  // Resynchronise: the first "*a" at which a whole packet stands.
  const std::uint8_t* bytes = FRxBuffer.Data();
  const std::size_t size = FRxBuffer.Size();
  std::size_t first = size;
  for (std::size_t at = FindPacketStart(bytes, size, 0); at < size;
       at = FindPacketStart(bytes, size, at + 1)) {
    if (first == size) first = at;
    length = ExtractPacketLength(bytes + at, size - at);
    if (length != 0) {
      FRxBuffer.Consume(at);
      return length;
    }
  }
  // No packet yet. Bytes before the first "*a" can never begin one, so they
  // go now (a last lone "*" may still be followed by its "a").
  if (first == size && bytes[size - 1] == tervan::kPrefix) first = size - 1;
  FRxBuffer.Consume(first);
  return 0;
}

void TTervanStack::Receive(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return;
  TIntf<ICommunicationInterface> transport = GetTransport();
  TOptionalTransportLock transportLock(transport);
  std::lock_guard<std::recursive_mutex> receive(FReceiveLock);

  FRxBuffer.Append(bytes, size);
  if (FRxBuffer.Size() > kRxBufferCap) FRxBuffer.Consume(FRxBuffer.Size() - kRxBufferKeep);

  std::size_t candidate = 0;  // length of the candidate at the buffer's front; 0 = none
  // A packet to the broadcast address is reported once the packets behind it
  // have been delivered, so it never holds them up.
  bool broadcastSeen = false;
  for (int passes = 0;;) {
    if (candidate != 0) {
      const std::uint8_t* c = FRxBuffer.Data();
      if (FRxBuffer.ValidPacket(candidate)) {
        TTervanFormat97 packet = ParsePacket(c, candidate);
        // Consumed before anyone sees it: handlers may run the receive path
        // again, and a packet that raises must not stay to block the buffer.
        FRxBuffer.Consume(candidate);
        if (packet.ADR == tervan::kAdrBroadcast)
          broadcastSeen = true;
        else
          Dispatch(packet);
      } else {
        // A damaged candidate costs only the bytes up to the next "*" in it,
        // so a packet that starts inside it is still found.
        const void* star = std::memchr(c + 1, tervan::kPrefix, candidate - 1);
        if (star != nullptr)
          candidate = static_cast<std::size_t>(static_cast<const std::uint8_t*>(star) - c);
        FRxBuffer.Consume(candidate);
      }
    }
    candidate = NextCandidate();
    ++passes;
    if (candidate == 0) break;
    if (passes <= kPassesBeforeYield) continue;
    // A flood must not hold this thread: go on only while nothing else waits.
    if (transport && transport->GetReceivedCount() != 0) break;
  }
  if (broadcastSeen) throw ETervanStackError(kBroadcastError);
}

void TTervanStack::Dispatch(const TTervanFormat97& packet) {
  // Children cannot come or go in the middle of one packet's dispatch.
  std::lock_guard<std::recursive_mutex> list(ChildListLock());
  const std::size_t count = ChildrenLocked().size();
  for (std::size_t i = 0; i < count; ++i) {
    TIntf<ITervanStackDevice> device;
    if (!GetDevice(static_cast<std::int32_t>(i), device)) continue;
    const std::uint8_t address = device->GetAddress();
    if (address == packet.ADR || packet.ADR == tervan::kAdrUniversal ||
        address == tervan::kAdrUniversal)
      device->ProcessPacket(packet);
  }
}
