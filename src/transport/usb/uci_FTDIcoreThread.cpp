// The receive thread of the USB adapter transport (TFTDIDevicecore).
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "framework/uScopeGuard.h"
#include "framework/uThreadNice.h"
#include "transport/serial/AfComPortThreads.h"
#include "transport/usb/uD2xxEvent.h"
#include "transport/usb/uci_FTDIcore.h"

// What the thread shares with the object that started it; the last of the two
// to let go frees it.
struct TFTDIReceiveState {
  explicit TFTDIReceiveState(IFTDISerialPortInterface* device)
      : Device(device), Event(std::make_unique<TD2xxEvent>()) {}
  ~TFTDIReceiveState() {
    if (!Released.load()) AbandonD2xxEvent(std::move(Event));
  }
  TFTDIReceiveState(const TFTDIReceiveState&) = delete;
  TFTDIReceiveState& operator=(const TFTDIReceiveState&) = delete;

  // Valid until a stop is requested: the transport requests it before it goes.
  IFTDISerialPortInterface* const Device;
  std::unique_ptr<TD2xxEvent> Event;
  std::atomic<bool> Released{false};
};

namespace {

// Every receive thread of the process, so that the program's end can wait for
// one still taking its transport apart after the last reference went on it.
std::mutex gThreadsLock;
std::condition_variable gThreadsChanged;
int gRunning = 0;  // threads whose body has not returned
// Threads that ended their own transport, joined by the next one or at the
// end; never freed, so a thread left at exit is never destroyed joinable.
std::vector<std::thread>* gEnded = nullptr;

void ThreadEnded() {
  {
    std::lock_guard<std::mutex> guard(gThreadsLock);
    --gRunning;
  }
  gThreadsChanged.notify_all();
}

// Takes the ended threads out of the list, adding `self` when it is given.
std::vector<std::thread> SwapEnded(std::thread* self) {
  std::lock_guard<std::mutex> guard(gThreadsLock);
  if (gEnded == nullptr) gEnded = new std::vector<std::thread>;
  std::vector<std::thread> ended;
  ended.swap(*gEnded);
  if (self != nullptr) gEnded->push_back(std::move(*self));
  return ended;
}

// Holds a transport's lock for a scope when it could be taken at once.
class TTryTransportLock {
 public:
  explicit TTryTransportLock(ICommunicationInterface& transport)
      : FTransport(transport), FOwns(transport.TryLock()) {}
  ~TTryTransportLock() {
    if (FOwns) FTransport.Unlock();
  }
  TTryTransportLock(const TTryTransportLock&) = delete;
  TTryTransportLock& operator=(const TTryTransportLock&) = delete;
  bool Owns() const { return FOwns; }

 private:
  ICommunicationInterface& FTransport;
  bool FOwns;
};

// Announces bytes that may be waiting, unless the stop was requested. False
// when another thread holds the transport's lock (it takes the bytes itself
// then): its release wakes the thread, which tries again.
bool AnnounceArrival(TFTDIReceiveState& state, bool& pending) {
  IFTDISerialPortInterface& device = *state.Device;
  // Held for the whole visit, not just the announcement: an input/output
  // error met while asking closes the transport, and its closed handler may
  // drop the last other reference. Declared before the lock so that it is let
  // go after it: letting go may end the transport, and nothing of it is
  // touched afterwards. (While a transport is being ended elsewhere, this
  // reference cannot end it a second time.)
  TIntf<ICommunicationInterface> sender(&device);
  // Said before trying, so that a release just after a failed try is not missed.
  state.Event->WantLock();
  TTryTransportLock lock(device);
  if (!lock.Owns()) return false;
  state.Event->LockTaken();
  if (state.Event->StopRequested()) return true;
  const bool waiting = device.GetReceivedCount() != 0;
  // Asking may have met an input/output error and closed the transport.
  if (state.Event->StopRequested() || !(pending || waiting)) return true;
  pending = false;
  device.AnnounceDataReceived(sender);
  return true;
}

}  // namespace

TFTDIDevicecore::TFTDIDevicecore(IFTDISerialPortInterface* device, FT_HANDLE handle)
    : FState(std::make_shared<TFTDIReceiveState>(device)) {
  FRegistrationStatus = D2xxSetEventNotification(handle, kD2xxEventRxChar | kD2xxEventModemStatus,
                                                 FState->Event->LibraryHandle());
  {
    std::lock_guard<std::mutex> guard(gThreadsLock);
    ++gRunning;
  }
  // A thread that could not start never ends by itself.
  TScopeGuard uncount([] { ThreadEnded(); });
  FThread = std::thread(&TFTDIDevicecore::Run, FState);
  uncount.Dismiss();
}

std::shared_ptr<TD2xxEvent> TFTDIDevicecore::Event() const {
  return std::shared_ptr<TD2xxEvent>(FState, FState->Event.get());
}

TFTDIDevicecore::~TFTDIDevicecore() {
  RequestStop();
  if (!FThread.joinable()) return;
  if (!OnThisThread()) {
    FThread.join();
    return;
  }
  // No thread joins itself: this one is joined by the next that ends the
  // same way, or at the program's end; it joins the one before it.
  for (std::thread& ended : SwapEnded(&FThread)) ended.join();
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

void TFTDIDevicecore::Run(std::shared_ptr<TFTDIReceiveState> state) {
  try {
    ApplyThreadPriority(KernelThreadId(), tpHighest);  // on the serial port threads' scale
    TD2xxEvent& event = *state->Event;
    bool pending = false;
    // The queue is looked at after every wake-up and every time-out: the
    // library's signal carries no state, and one sent while nobody waits is
    // lost. While another thread holds the lock, the thread sleeps until that
    // thread lets go of it, a signal, the stop or the time-out.
    while (!event.StopRequested()) {
      AnnounceArrival(*state, pending);
      const TD2xxEvent::TWake wake = event.Wait(kIdleWaitMs);
      if (wake == TD2xxEvent::TWake::Stop) break;
      if (wake == TD2xxEvent::TWake::Signal) pending = true;
    }
  } catch (...) {
    // Nothing may leave a thread body; the thread just ends.
  }
  ThreadEnded();
}

void EndFTDIReceiveThreads(std::uint32_t timeoutMs) {
  {
    std::unique_lock<std::mutex> lock(gThreadsLock);
    gThreadsChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [] { return gRunning == 0; });
  }
  for (std::thread& ended : SwapEnded(nullptr)) ended.join();
}
