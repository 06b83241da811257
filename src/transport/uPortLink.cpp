#include "transport/uPortLink.h"

#include <algorithm>
#include <mutex>

#include "framework/uTick.h"

namespace {

// The transport's own Lock and Unlock, which a transport may extend (one
// whose receive thread sleeps while a caller holds the lock is woken by the
// release).
using TLockGuard = TTransportLock;

// A hold on the transport's lock taken before, let go once.
class THeldLock {
 public:
  explicit THeldLock(ICommunicationInterface& transport) : FTransport(transport) {}
  ~THeldLock() { Release(); }
  THeldLock(const THeldLock&) = delete;
  THeldLock& operator=(const THeldLock&) = delete;
  void Release() {
    if (FHeld) FTransport.Unlock();
    FHeld = false;
  }

 private:
  ICommunicationInterface& FTransport;
  bool FHeld = true;
};

std::int32_t ClampCount(std::size_t count) {
  return static_cast<std::int32_t>(std::min<std::size_t>(count, INT32_MAX));
}

}  // namespace

TPortLink::TPortLink(TCommunicationInterface& transport, IBytePort& port)
    : FTransport(transport), FPort(port) {}

TIntf<ICommunicationInterface> TPortLink::Keep() {
  // A transport on its way to destruction takes no new reference.
  if (FTransport.Destroying()) return nullptr;
  return FTransport.Self();
}

void TPortLink::Deliver(TNotice notice) {
  switch (notice) {
    case TNotice::Opened:
      FTransport.AnnounceOpened();
      break;
    case TNotice::Closed:
      FTransport.AnnounceClosed();
      break;
    case TNotice::DataReceived:
      FTransport.AnnounceDataReceived();
      break;
    case TNotice::None:
      break;
  }
}

TPortLink::TNotice TPortLink::OpenedLocked() {
  FTransport.SetLastError(std::string());
  return TNotice::Opened;
}

TPortLink::TNotice TPortLink::CloseLocked(const std::string& reason) {
  if (FPort.State().Status == TPortStatus::Failed) return TNotice::None;
  if (!reason.empty()) FTransport.SetLastError(reason);
  if (FOnClosing) FOnClosing();
  return FPort.Close() ? TNotice::Closed : TNotice::None;
}

TPortLink::TNotice TPortLink::LoseLocked(const TPortResult& result) {
  return CloseLocked(result.Text.empty() ? std::string("the line has gone") : result.Text);
}

template <class F>
TPortLink::TNotice TPortLink::StepLocked(F step) {
  const TPortResult state = FPort.State();
  if (state.Lost()) return LoseLocked(state);
  if (!state.Ok()) return TNotice::None;
  const TPortResult result = step();
  return result.Lost() ? LoseLocked(result) : TNotice::None;
}

TPortLink::TNotice TPortLink::PollLocked() {
  const TPortResult state = FPort.State();
  if (state.Lost()) return LoseLocked(state);
  if (!state.Ok()) return TNotice::None;
  const TPortResult waiting = FPort.BytesWaiting();
  if (waiting.Lost()) return LoseLocked(waiting);
  return waiting.Count > 0 ? TNotice::DataReceived : TNotice::None;
}

bool TPortLink::Active() {
  const TPortResult state = FPort.State();
  if (!state.Lost()) return state.Ok();
  CheckLine();
  return FPort.State().Ok();
}

bool TPortLink::Open() {
  const TIntf<ICommunicationInterface> keep = Keep();
  TNotice closed = TNotice::None;
  TNotice opened = TNotice::None;
  {
    TLockGuard guard(FTransport);
    const TPortResult state = FPort.State();
    if (state.Lost()) closed = LoseLocked(state);
    if (!state.Ok()) {
      const TPortResult result = FPort.Open();
      if (result.Ok())
        opened = OpenedLocked();
      else
        FTransport.SetLastError(result.Text);
    }
  }
  Deliver(closed);
  Deliver(opened);
  return FPort.State().Ok();
}

bool TPortLink::Close() {
  const TIntf<ICommunicationInterface> keep = Keep();
  TNotice notice = TNotice::None;
  {
    TLockGuard guard(FTransport);
    const TPortResult state = FPort.State();
    notice = CloseLocked(state.Lost() ? state.Text : std::string());
  }
  Deliver(notice);
  return notice == TNotice::Closed;
}

void TPortLink::CheckLine() {
  const TIntf<ICommunicationInterface> keep = Keep();
  TNotice notice = TNotice::None;
  {
    TLockGuard guard(FTransport);
    const TPortResult state = FPort.State();
    if (state.Lost()) notice = LoseLocked(state);
  }
  Deliver(notice);
}

std::int32_t TPortLink::Write(const TBytes& data) {
  const TIntf<ICommunicationInterface> keep = Keep();
  TNotice notice = TNotice::None;
  std::size_t sent = 0;
  {
    TLockGuard guard(FTransport);
    notice = StepLocked([&]() -> TPortResult {
      if (data.empty()) return TPortResult::Done();
      FTransport.Trace(kTraceSent, data);
      const TPortResult result = FPort.Write(data);
      sent = result.Count;
      return result;
    });
  }
  Deliver(notice);
  return ClampCount(sent);
}

void TPortLink::Read(TBytes& data) {
  const TIntf<ICommunicationInterface> keep = Keep();
  TNotice notice = TNotice::None;
  data.clear();
  {
    TLockGuard guard(FTransport);
    // Bytes read before a loss are handed over all the same.
    notice = StepLocked([&] { return FPort.Read(data); });
    FTransport.Trace(kTraceReceived, data);
  }
  Deliver(notice);
}

std::int32_t TPortLink::ReceivedCount() {
  if (FPort.State().Status == TPortStatus::Failed) return 0;
  const TIntf<ICommunicationInterface> keep = Keep();
  TNotice notice = TNotice::None;
  std::size_t count = 0;
  {
    TLockGuard guard(FTransport);
    notice = StepLocked([&] {
      const TPortResult waiting = FPort.BytesWaiting();
      count = waiting.Count;
      return waiting;
    });
  }
  Deliver(notice);
  return ClampCount(count);
}

bool TPortLink::WaitReceived(std::int32_t timeout) {
  const TIntf<ICommunicationInterface> keep = Keep();  // a loss is announced on the way
  const std::uint32_t deadline =
      GetTickCount32() + static_cast<std::uint32_t>(std::max(timeout, 0));
  for (;;) {
    if (ReceivedCount() > 0) return true;
    if (!Active() || TicksLeft(GetTickCount32(), deadline) == 0) return false;
    const TPortResult result = FPort.WaitReadable(deadline);
    if (result.Lost()) {
      TNotice notice = TNotice::None;
      {
        TLockGuard guard(FTransport);
        notice = LoseLocked(result);
      }
      Deliver(notice);
      return false;
    }
  }
}

void TPortLink::Arrived(TArrivalLock how) {
  if (how == TArrivalLock::Try && !FTransport.TryLock()) return;
  if (how == TArrivalLock::Wait) FTransport.Lock();
  // Taken under the lock, which keeps the transport whole until then; let
  // go after it, so that a transport whose last reference a handler drops
  // ends here, on this thread, with its lock free.
  TIntf<ICommunicationInterface> keep;
  THeldLock lock(FTransport);
  keep = Keep();
  if (!keep) return;
  const TNotice notice = PollLocked();
  lock.Release();
  Deliver(notice);
}
