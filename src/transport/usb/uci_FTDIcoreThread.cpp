// The receive thread of the USB adapter transport (TFTDIDevicecore).
#include <pthread.h>
#include <sched.h>

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

// Above every ordinary thread, yet below the system's own real-time threads.
// Refused without the privilege, which leaves the thread as it is.
void RaisePriority(std::thread& thread) {
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param);
}

// Announces bytes that may be waiting, unless a caller holds the transport's
// lock (it takes the bytes itself then) or the stop was requested.
void AnnounceArrival(TFTDIReceiveState& state, bool& pending) {
  // Declared before the lock so that it is let go after it: letting go may
  // end the transport, and nothing of it is touched afterwards.
  TIntf<ICommunicationInterface> sender;
  IFTDISerialPortInterface& device = *state.Device;
  TTryTransportLock lock(device);
  if (!lock.Owns()) {
    sched_yield();
    return;
  }
  if (state.Event->StopRequested()) return;
  const bool waiting = device.GetReceivedCount() != 0;
  // Asking may have met an input/output error and closed the transport.
  if (state.Event->StopRequested() || !(pending || waiting)) return;
  pending = false;
  sender = TIntf<ICommunicationInterface>(&device);
  device.AnnounceDataReceived(sender);
}

}  // namespace

TFTDIDevicecore::TFTDIDevicecore(IFTDISerialPortInterface* device, FT_HANDLE handle)
    : FState(std::make_shared<TFTDIReceiveState>(device)) {
  FRegistrationStatus = D2xxSetEventNotification(handle, kD2xxEventRxChar | kD2xxEventModemStatus,
                                                 FState->Event->LibraryHandle());
  FThread = std::thread(&TFTDIDevicecore::Run, FState);
  RaisePriority(FThread);
}

TFTDIDevicecore::~TFTDIDevicecore() {
  RequestStop();
  if (!FThread.joinable()) return;
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

void TFTDIDevicecore::Run(std::shared_ptr<TFTDIReceiveState> state) {
  try {
    TD2xxEvent& event = *state->Event;
    bool pending = false;
    // The queue is looked at after every wake-up and every time-out: the
    // library's signal carries no state, and one sent while nobody waits is lost.
    while (!event.StopRequested()) {
      AnnounceArrival(*state, pending);
      const TD2xxEvent::TWake wake = event.Wait(pending ? kPendingWaitMs : kIdleWaitMs);
      if (wake == TD2xxEvent::TWake::Stop) break;
      if (wake == TD2xxEvent::TWake::Signal) pending = true;
    }
  } catch (...) {
    // Nothing may leave a thread body; the thread just ends.
  }
}
