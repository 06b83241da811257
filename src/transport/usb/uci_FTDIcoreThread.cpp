// The receive thread of the USB adapter transport (TFTDIDevicecore).
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "framework/uScopeGuard.h"
#include "framework/uThreadNice.h"
#include "transport/serial/AfComPortThreads.h"
#include "transport/usb/uD2xxEvent.h"
#include "transport/usb/uci_FTDIcore.h"

// What the thread shares with the object that started it; the last of the two
// to let go frees it.
struct TFTDIReceiveState {
  TFTDIReceiveState(ICommunicationInterface* transport, TPortLink* link)
      : Transport(transport), Link(link), Event(std::make_unique<TD2xxEvent>()) {}
  ~TFTDIReceiveState() {
    if (!Released.load()) AbandonD2xxEvent(std::move(Event));
  }
  TFTDIReceiveState(const TFTDIReceiveState&) = delete;
  TFTDIReceiveState& operator=(const TFTDIReceiveState&) = delete;

  // Valid until a stop is requested (the transport requests it before it
  // goes), and while the thread holds the counted reference it took before.
  // The link is the transport's.
  ICommunicationInterface* const Transport;
  TPortLink* const Link;
  std::unique_ptr<TD2xxEvent> Event;
  std::atomic<bool> Released{false};
};

namespace {

// How many receive threads of the process have not taken their last step,
// so that the program's end can wait for one still taking its transport
// apart after the last reference went on it. Never freed: a detached thread
// may take its last step while the process ends.
struct TRunningThreads {
  std::mutex Lock;
  std::condition_variable Changed;
  int Count = 0;  // guarded by Lock
};
TRunningThreads& gRunning = *new TRunningThreads;

void ThreadStarted() {
  std::lock_guard<std::mutex> guard(gRunning.Lock);
  ++gRunning.Count;
}

void ThreadEnded() {
  {
    std::lock_guard<std::mutex> guard(gRunning.Lock);
    --gRunning.Count;
  }
  gRunning.Changed.notify_all();
}

// Reports bytes that may be waiting to the transport's link, unless the stop
// was requested. While another thread holds the transport's lock it takes
// the bytes itself; its release wakes the thread, which tries again.
void ReportArrival(TFTDIReceiveState& state) {
  ICommunicationInterface& transport = *state.Transport;
  // Held for the whole visit, the lock's release included, and let go last:
  // letting go may end the transport, and nothing of it is touched
  // afterwards. (While a transport is being ended elsewhere, this reference
  // cannot end it a second time.)
  const TIntf<ICommunicationInterface> visit(&transport);
  // Said before trying, so that a release just after a failed try is not missed.
  state.Event->WantLock();
  if (!transport.TryLock()) return;
  state.Event->LockTaken();
  if (state.Event->StopRequested()) {
    transport.Unlock();
    return;
  }
  // The link decides under the lock and lets go of it before it announces:
  // an input/output error met on the way closes the transport, and a
  // handler may drop the last other reference.
  state.Link->Arrived(TPortLink::TArrivalLock::Held);
}

}  // namespace

bool TUsbTransportEnd::Wait(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(FLock);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return FGone && FThreads == 0; });
}

void TUsbTransportEnd::ThreadStarted() {
  std::lock_guard<std::mutex> guard(FLock);
  ++FThreads;
}

void TUsbTransportEnd::ThreadEnded() {
  std::lock_guard<std::mutex> guard(FLock);
  --FThreads;
  FChanged.notify_all();
}

void TUsbTransportEnd::TransportGone() {
  std::lock_guard<std::mutex> guard(FLock);
  FGone = true;
  FChanged.notify_all();
}

TFTDIDevicecore::TFTDIDevicecore(ICommunicationInterface* transport, TPortLink* link,
                                 FT_HANDLE handle, std::shared_ptr<TUsbTransportEnd> end)
    : FState(std::make_shared<TFTDIReceiveState>(transport, link)) {
  FRegistrationStatus = D2xxSetEventNotification(handle, kD2xxEventRxChar | kD2xxEventModemStatus,
                                                 FState->Event->LibraryHandle());
  ThreadStarted();
  end->ThreadStarted();
  // A thread that could not start never ends by itself.
  TScopeGuard uncount([&end] {
    end->ThreadEnded();
    ThreadEnded();
  });
  FThread = std::thread([state = FState, end]() mutable {
    Run(*state);
    // Its last steps: the state goes first (its event may be freed), then it
    // is counted out; nothing of it is touched after that.
    state = nullptr;
    end->ThreadEnded();
    end = nullptr;
    ThreadEnded();
  });
  uncount.Dismiss();
}

std::shared_ptr<TD2xxEvent> TFTDIDevicecore::Event() const {
  return std::shared_ptr<TD2xxEvent>(FState, FState->Event.get());
}

TFTDIDevicecore::~TFTDIDevicecore() {
  RequestStop();
  if (!FThread.joinable()) return;
  // No thread joins itself: this one stops at its next look at the stop and
  // ends by itself.
  if (OnThisThread())
    FThread.detach();
  else
    FThread.join();
}

void TFTDIDevicecore::RequestStop() {
  FState->Event->RequestStop();
}

void TFTDIDevicecore::WakeForData() {
  FState->Event->Wake();
}

void TFTDIDevicecore::LibraryReleased() {
  FState->Released = true;
}

void TFTDIDevicecore::Run(TFTDIReceiveState& state) {
  try {
    ApplyThreadPriority(KernelThreadId(), tpHighest);  // on the serial port threads' scale
    TD2xxEvent& event = *state.Event;
    // The queue is looked at after every wake-up and every time-out: the
    // library's signal carries no state, and one sent while nobody waits is
    // lost. While another thread holds the lock, the thread sleeps until that
    // thread lets go of it, a signal, the stop or the time-out.
    while (!event.StopRequested()) {
      ReportArrival(state);
      if (event.Wait(kIdleWaitMs) == TD2xxEvent::TWake::Stop) break;
    }
  } catch (...) {
    // Nothing may leave a thread body; the thread just ends.
  }
}

bool EndFTDIReceiveThreads(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(gRunning.Lock);
  return gRunning.Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [] { return gRunning.Count == 0; });
}
