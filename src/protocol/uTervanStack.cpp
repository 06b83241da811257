#include "protocol/uTervanStack.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "framework/uScopeGuard.h"
#include "framework/uTick.h"
#include "protocol/uTervanAnswerSearch.h"
#include "protocol/uTervanCore.h"

namespace {

const char kOwnerError[] = "ITervanStack can be owned only by ICommunicationInterface";
const char kBroadcastError[] = "RCV packet ADR=$FF !";

// Every path that reads from a transport and then runs the receive path takes
// the transport's lock first (TOptionalTransportLock), so the two locks are
// always taken in the same order.

}  // namespace

// --- construction ---

TTervanStack::TTervanStack() : TNodedInterface() {}

TTervanStack::TTervanStack(TXmlNode node, TIntf<IInterface> owner)
    : TNodedInterface(std::move(node), nullptr) {
  // The owner must not keep an entry for an object that never existed.
  TScopeGuard undo([this] { TNodedInterface::SetOwner(nullptr); });
  StackSetOwner(std::move(owner));
  undo.Dismiss();
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

bool TTervanStack::Transact(std::uint8_t adr, std::uint8_t sig, std::uint8_t inst,
                            const TBytes& data, TBytes& answer, std::int32_t timeout) {
  const std::uint32_t start = Now();
  TIntf<ICommunicationInterface> transport = GetTransport();
  if (!transport || !transport->GetActive()) return false;

  TTransportLock lock(*transport);
  TTervanAnswerSearch search(adr, sig, kRxBufferCap, kRxBufferKeep);
  std::exception_ptr failure;
  try {
    // Bytes that arrived before the request are not its answer.
    TBytes early;
    transport->Read(early);
    search.SetAside(early);
    const TBytes packet = BuildPacket(adr, sig, inst, data);
    search.SetRequest(packet);
    answer.clear();
    // A refused write cannot be answered; waiting would only cost the time-out.
    if (transport->Write(packet) > 0) {
      // On a line of known speed the request's own transfer counts too, and
      // an answer under way gets the time its bytes take to come in, but
      // never more than the largest answer of the instruction takes: a head
      // that announces 64 KiB followed by junk must not hold the exchange.
      // Without a wire time an answer under way gets a fixed allowance.
      const double byteTime = transport->GetByteTime();
      const std::uint32_t base = start + static_cast<std::uint32_t>(std::max(timeout, 0)) +
                                 WireTimeMs(packet.size(), byteTime);
      const std::uint32_t overrun = AnswerOverrunMs(inst, byteTime);
      const auto deadline = [&] {
        const std::size_t pending = search.PendingAnswerBytes();
        if (pending == 0) return base;
        if (!(byteTime > 0.0)) return base + overrun;
        return base + std::min(WireTimeMs(pending, byteTime), overrun);
      };
      // However much arrives in one read, its scan ends with the pass.
      const auto scanExpired = [&] { return TickAfter(Now(), deadline() + kPassMs); };
      for (;;) {
        // A whole pass even when the deadline is near or already gone (a
        // short time-out, or a long wait for the line): an answer that comes
        // within the pass is still taken. The pass ends early when bytes come.
        const bool arrived = transport->WaitReceived(kPassMs);
        if (transport->GetReceivedCount() != 0) {
          TBytes part;
          transport->Read(part);
          if (search.Scan(part, answer, scanExpired)) break;
        } else if (!arrived && !transport->GetActive()) {
          break;  // the connection is gone: no answer can come
        }
        if (TickAfter(Now(), deadline())) break;
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // Notifications and answers to other requests still reach their devices.
  try {
    Receive(search.TakeSetAside());
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

void TTervanStack::Receive(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return;
  TIntf<ICommunicationInterface> transport = GetTransport();
  TOptionalTransportLock transportLock(transport);
  std::lock_guard<std::recursive_mutex> receive(FReceiveLock);

  FRxBuffer.Append(bytes, size);
  // A packet to the broadcast address is reported once the packets behind it
  // have been delivered, so it never holds them up.
  bool broadcastSeen = false;
  TTervanFramer::TUnit unit;
  for (int passes = 0; FRxBuffer.Next(unit);) {
    if (unit.Kind == TTervanFramer::TUnitKind::Packet) {
      // Taken from the buffer before anyone sees it: handlers may run the
      // receive path again, and a packet that raises must not stay to block it.
      TTervanFormat97 packet = ParsePacket(unit.Bytes, unit.Size);
      if (packet.ADR == tervan::kAdrBroadcast)
        broadcastSeen = true;
      else
        Dispatch(packet);
    }
    if (++passes < kPassesBeforeYield) continue;
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
