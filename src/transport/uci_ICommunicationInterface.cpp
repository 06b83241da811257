#include "transport/uci_ICommunicationInterface.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "framework/uStrUtils.h"
#include "framework/uTick.h"

namespace {

std::mutex gTraceLock;
TTraceHandler gTraceHandler;  // the process's TraceHandler

// Whole milliseconds covering `chars` character times (never negative).
std::uint32_t CharTimeMs(double chars, double byteTime) {
  double ms = std::ceil(chars * byteTime);
  if (!(ms > 0.0)) return 0;  // also catches NaN
  constexpr double kMax = 24.0 * 3600.0 * 1000.0;
  return static_cast<std::uint32_t>(std::min(ms, kMax));
}

}  // namespace

void SetTraceHandler(TTraceHandler handler) {
  std::lock_guard<std::mutex> guard(gTraceLock);
  gTraceHandler = handler;
}

TTraceHandler GetTraceHandler() {
  std::lock_guard<std::mutex> guard(gTraceLock);
  return gTraceHandler;
}

bool IsTraceSwitch(std::string_view arg) {
  std::string text = TrimControl(arg);
  if (!text.empty() && (text[0] == '/' || text[0] == '-')) text.erase(0, 1);
  text = UpperCase(text);
  return text == "DST" || text == "STD";
}

TCommunicationInterface::TCommunicationInterface(const std::string& connectionString)
    : TNodedInterface(nullptr, nullptr) {
  if (!connectionString.empty()) TCommunicationInterface::SetConnectionString(connectionString);
}

TCommunicationInterface::TCommunicationInterface(TXmlNode node, TIntf<IInterface> owner)
    : TCommunicationInterface(std::string()) {
  TCommunicationInterface::LoadFromNode(std::move(node), true, true);
  SetOwner(std::move(owner));
}

TCommunicationInterface::~TCommunicationInterface() = default;

HRESULT TCommunicationInterface::QueryInterface(const TGUID& iid, void** obj) {
  if (QueryAs<ICommunicationInterface>(this, iid, obj) ||
      QueryAs<ICommunicationInterfaceCore>(this, iid, obj))
    return S_OK;
  return TNodedInterface::QueryInterface(iid, obj);
}

void TCommunicationInterface::LoadFromNode(TXmlNode node, bool setNode, bool reloadGUID) {
  TNodedInterface::LoadFromNode(node, setNode, reloadGUID);
  if (node && node->HasAttribute("connectionstring"))
    SetConnectionString(VariantToText(node->GetAttribute("connectionstring")));
}

void TCommunicationInterface::SaveToNode() {
  TNodedInterface::SaveToNode();
  if (TXmlNode node = GetNode()) node->SetAttribute("connectionstring", GetConnectionString());
}

// --- handler slots ---

void TCommunicationInterface::SetOnDataReceived(TCiNotifyHandler handler) {
  // Waits for a call of the old handler still running on a receive thread, so
  // a subscriber that clears its handler is never called afterwards.
  std::lock_guard<std::recursive_mutex> call(FDataHandlerCall);
  std::lock_guard<std::mutex> guard(FHandlerLock);
  FOnDataReceived = handler;
}

TCiNotifyHandler TCommunicationInterface::GetOnDataReceived() {
  std::lock_guard<std::mutex> guard(FHandlerLock);
  return FOnDataReceived;
}

TCiNotifyHandler TCommunicationInterface::GetOnOpened() {
  std::lock_guard<std::mutex> guard(FHandlerLock);
  return FOnOpened;
}

void TCommunicationInterface::SetOnOpened(TCiNotifyHandler handler) {
  std::lock_guard<std::mutex> guard(FHandlerLock);
  FOnOpened = handler;
}

TCiNotifyHandler TCommunicationInterface::GetOnClosed() {
  std::lock_guard<std::mutex> guard(FHandlerLock);
  return FOnClosed;
}

void TCommunicationInterface::SetOnClosed(TCiNotifyHandler handler) {
  std::lock_guard<std::mutex> guard(FHandlerLock);
  FOnClosed = handler;
}

TCiLineChangeHandler TCommunicationInterface::GetOnLineChanged() {
  std::lock_guard<std::mutex> guard(FHandlerLock);
  return FOnLineChanged;
}

void TCommunicationInterface::SetOnLineChanged(TCiLineChangeHandler handler) {
  std::lock_guard<std::mutex> guard(FHandlerLock);
  FOnLineChanged = handler;
}

// --- announcements ---

namespace {

// Fires the eventer (when one was made), then the single handler (when one
// is set), both with the transport and `args`. `self` keeps the transport
// alive throughout: a subscriber may drop the last other reference to it.
template <class TEventerType, class THandlerOf, class... TArgs>
void Announce(const TIntf<ICommunicationInterface> self, TEventerType* eventer,
              const THandlerOf& handlerOf, const TArgs&... args) {
  try {
    if (eventer) eventer->Fire(self, args...);
    if (auto handler = handlerOf()) handler(self, args...);
  } catch (...) {  // an announcement: a subscriber's failure stays with it
  }
}

}  // namespace

void TCommunicationInterface::AnnounceDataReceived(TIntf<ICommunicationInterface> sender) {
  {
    std::lock_guard<std::mutex> guard(FArrivalLock);
    ++FArrivals;
  }
  FArrival.notify_all();
  // The handlers may drop the last other reference to this transport, also
  // when the sender is another object.
  const TIntf<ICommunicationInterface> self = Self();
  try {
    if (!sender) sender = self;
    {
      std::lock_guard<std::recursive_mutex> call(FDataHandlerCall);
      if (TCiNotifyHandler handler = GetOnDataReceived()) handler(sender);
    }
    if (TeventerCiNotify* eventer = FDataReceived.Peek()) eventer->Fire(sender);
  } catch (...) {
    // A failing subscriber must not reach the receiving side.
  }
}

void TCommunicationInterface::AnnounceOpened() {
  Announce(Self(), FOpened.Peek(), [this] { return GetOnOpened(); });
}

void TCommunicationInterface::AnnounceClosed() {
  Announce(Self(), FClosed.Peek(), [this] { return GetOnClosed(); });
}

void TCommunicationInterface::AnnounceLineChanged(std::int32_t line, bool state) {
  Announce(
      Self(), FLineChanged.Peek(), [this] { return GetOnLineChanged(); }, line, state);
}

void TCommunicationInterface::AnnounceSettingsChanged() {
  Announce(Self(), FSettingsChanged.Peek(), [] { return TCiNotifyHandler(); });
}

void TCommunicationInterface::Trace(std::int32_t direction, const TBytes& data) {
  try {
    if (TTraceHandler handler = GetTraceHandler()) handler(Self(), data, direction);
  } catch (...) {
    // The trace never disturbs the traffic it watches.
  }
}

// --- connection ---

bool TCommunicationInterface::SetActive(bool active) {
  if (active == GetActive()) return true;
  return active ? Open() : Close(false);
}

bool TCommunicationInterface::Open() {
  FByteTime = 10.0;
  return GetActive();
}

bool TCommunicationInterface::Close(bool /*force*/) {
  return false;
}

void TCommunicationInterface::Read(TBytes& data) {
  data.clear();
}

void TCommunicationInterface::SetConnectionString(const std::string& /*text*/) {
  AnnounceSettingsChanged();
}

// --- exchange ---

std::uint32_t TCommunicationInterface::FirstDeadline(std::uint32_t writeTick,
                                                     std::size_t requestLength,
                                                     std::int32_t timeout, double byteTime) {
  std::uint32_t wait = timeout > 0 ? static_cast<std::uint32_t>(timeout) : 0;
  return writeTick + wait + CharTimeMs(static_cast<double>(requestLength) + 5.0, byteTime);
}

std::uint32_t TCommunicationInterface::SilenceDeadline(std::uint32_t arrivalTick, double byteTime) {
  return arrivalTick + CharTimeMs(10.0, byteTime) + 50u;
}

void TCommunicationInterface::SendAndReceive(const TBytes& request, std::int32_t timeout,
                                             TBytes& response, const TResponseCheck& check) {
  response.clear();
  TTransportLock guard(*this);  // through Lock and Unlock, which a transport may extend
  if (!GetActive()) return;
  SleepMs(1);
  Write(request);
  const double byteTime = FByteTime.load();
  std::uint32_t deadline = FirstDeadline(GetTickCount32(), request.size(), timeout, byteTime);
  const std::uint32_t limit = OverrunLimit(deadline, byteTime);
  for (;;) {
    SleepMs(1);
    if (GetReceivedCount() != 0) {
      TBytes part;
      Read(part);
      // A peer that never falls silent gets no more than a full response:
      // what comes past it is dropped and the exchange ends.
      const std::size_t room = kResponseCap - response.size();
      const bool full = part.size() >= room;
      response.insert(response.end(), part.begin(),
                      part.begin() + static_cast<std::ptrdiff_t>(std::min(part.size(), room)));
      if (full) break;
      deadline = SilenceDeadline(GetTickCount32(), byteTime);
      if (TickAfter(deadline, limit)) deadline = limit;
    }
    if (TickAfter(GetTickCount32(), deadline)) break;
    if (check && !check(response)) break;
  }
}

std::uint32_t TCommunicationInterface::OverrunLimit(std::uint32_t firstDeadline, double byteTime) {
  if (!(byteTime > 0.0)) return firstDeadline + kNoWireTimeOverrunMs;
  return firstDeadline + CharTimeMs(static_cast<double>(kResponseCap), byteTime);
}

bool TCommunicationInterface::WaitReceived(std::int32_t timeout) {
  std::uint32_t deadline = GetTickCount32() + static_cast<std::uint32_t>(std::max(timeout, 0));
  std::unique_lock<std::mutex> lock(FArrivalLock, std::defer_lock);
  for (;;) {
    if (GetReceivedCount() > 0) return true;
    std::uint32_t left = TicksLeft(GetTickCount32(), deadline);
    if (left == 0) return false;
    // An announcement wakes the wait at once; the 1 ms bound covers
    // transports whose receiving side does not announce.
    lock.lock();
    std::uint64_t seen = FArrivals;
    FArrival.wait_for(lock, std::chrono::milliseconds(std::min<std::uint32_t>(left, 1)),
                      [&] { return FArrivals != seen; });
    lock.unlock();
  }
}

std::string TCommunicationInterface::GetLastError() {
  std::lock_guard<std::mutex> guard(FLastErrorLock);
  return FLastError;
}

void TCommunicationInterface::SetLastError(std::string text) {
  std::lock_guard<std::mutex> guard(FLastErrorLock);
  FLastError = std::move(text);
}

// --- buffered reads ---

void TCommunicationInterface::PullIntoBuffer() {
  if (GetReceivedCount() == 0) return;
  TBytes part;
  Read(part);
  FReadBuffer.insert(FReadBuffer.end(), part.begin(), part.end());
}

// Held through Lock and Unlock, which a transport may extend (USB passes the
// release on to its receive thread).
std::int32_t TCommunicationInterface::GetBufferedCount(bool pull) {
  TTransportLock guard(*this);
  if (pull) PullIntoBuffer();
  return static_cast<std::int32_t>(FReadBuffer.size());
}

void TCommunicationInterface::TakeBuffered(std::int32_t count, TBytes& data, bool remove) {
  TTransportLock guard(*this);
  PullIntoBuffer();
  data.clear();
  if (count < 0 || static_cast<std::size_t>(count) >= FReadBuffer.size()) {
    data = FReadBuffer;
    if (remove) FReadBuffer.clear();
  } else if (count > 0) {
    auto end = FReadBuffer.begin() + count;
    data.assign(FReadBuffer.begin(), end);
    if (remove) FReadBuffer.erase(FReadBuffer.begin(), end);
  }
}

void TCommunicationInterface::ReadBuffered(std::int32_t count, TBytes& data) {
  TakeBuffered(count, data, true);
}

void TCommunicationInterface::PeekBuffered(std::int32_t count, TBytes& data) {
  TakeBuffered(count, data, false);
}
