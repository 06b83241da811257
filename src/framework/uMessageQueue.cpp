#include "framework/uMessageQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace message_queue_detail {

// Rendezvous of a sent call with its waiting sender.
struct TSendState {
  std::mutex Lock;
  std::condition_variable Done;
  bool Started = false;
  bool Finished = false;
  bool Ran = false;  // false when the target refused the call at its turn
  bool Abandoned = false;
  bool Refused = false;  // the target was disabled or removed while the sender waited
};

struct TTargetState {
  std::weak_ptr<TThreadQueue> Queue;
  std::thread::id Owner;
  std::atomic<bool> Enabled{true};
  std::atomic<bool> Removed{false};
  // Senders waiting for a call of this target, so that disabling or
  // removing it sends them away at once instead of at their time-outs.
  std::mutex SendsLock;
  std::vector<std::shared_ptr<TSendState>> Sends;
};

struct TPollEntry {
  int Fd = -1;
  std::atomic<short> Events{0};
  std::atomic<bool> Active{true};
  TPollSource::TCallback Callback;
};

struct TQueuedCall {
  std::shared_ptr<TTargetState> Target;
  TMessageCall Call;
  std::shared_ptr<TSendState> Send;
};

namespace {

// Ends the sender's wait for a sent call.
void Finish(TSendState& send, bool ran) {
  {
    std::lock_guard<std::mutex> guard(send.Lock);
    send.Finished = true;
    send.Ran = ran;
  }
  send.Done.notify_all();
}

// Sends away every sender that waits for a call of `target`, refused; a call
// not started yet is dropped. After the target stopped accepting calls.
void RefuseWaitingSends(TTargetState& target) {
  std::vector<std::shared_ptr<TSendState>> sends;
  {
    std::lock_guard<std::mutex> guard(target.SendsLock);
    sends.swap(target.Sends);
  }
  for (const auto& send : sends) {
    {
      std::lock_guard<std::mutex> guard(send->Lock);
      if (send->Finished) continue;  // its answer is already in
      send->Refused = true;
      if (!send->Started) send->Abandoned = true;
    }
    send->Done.notify_all();
  }
}

}  // namespace

class TThreadQueue {
 public:
  TThreadQueue() = default;
  // The thread has ended: calls still queued will never run, and whoever
  // waits for one is told so now.
  ~TThreadQueue() {
    for (TQueuedCall& queued : FCalls)
      if (queued.Send) Finish(*queued.Send, false);
    if (FWakeFd >= 0) close(FWakeFd);
  }
  TThreadQueue(const TThreadQueue&) = delete;
  TThreadQueue& operator=(const TThreadQueue&) = delete;

  void Push(TQueuedCall call) {
    std::lock_guard<std::mutex> guard(FLock);
    FCalls.push_back(std::move(call));
    if (FWakeFd >= 0) eventfd_write(FWakeFd, 1);
  }
  std::deque<TQueuedCall> TakeCalls() {
    std::lock_guard<std::mutex> guard(FLock);
    std::deque<TQueuedCall> taken;
    taken.swap(FCalls);
    eventfd_t count = 0;
    if (FWakeFd >= 0) eventfd_read(FWakeFd, &count);  // reset: nothing is queued now
    return taken;
  }
  // A descriptor that is readable while calls are queued (-1 when none can be
  // made); created on first use, so only threads that wait pay for it.
  int WakeFd(bool& callsQueued) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FWakeFd < 0) FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    callsQueued = !FCalls.empty();
    return FWakeFd;
  }
  void AddSource(std::shared_ptr<TPollEntry> entry) {
    std::lock_guard<std::mutex> guard(FLock);
    FSources.push_back(std::move(entry));
  }
  void RemoveSource(const TPollEntry* entry) {
    std::lock_guard<std::mutex> guard(FLock);
    FSources.erase(std::remove_if(FSources.begin(), FSources.end(),
                                  [entry](const auto& e) { return e.get() == entry; }),
                   FSources.end());
  }
  std::vector<std::shared_ptr<TPollEntry>> Sources() {
    std::lock_guard<std::mutex> guard(FLock);
    return FSources;
  }

 private:
  std::mutex FLock;
  std::deque<TQueuedCall> FCalls;
  int FWakeFd = -1;
  std::vector<std::shared_ptr<TPollEntry>> FSources;
};

namespace {

std::shared_ptr<TThreadQueue>& CurrentQueue() {
  thread_local std::shared_ptr<TThreadQueue> queue = std::make_shared<TThreadQueue>();
  return queue;
}

bool Accepts(const TTargetState& target) {
  return target.Enabled.load() && !target.Removed.load();
}

// Runs one queued call; false when it was dropped instead.
bool RunQueued(TQueuedCall& queued) {
  if (queued.Send) {
    std::lock_guard<std::mutex> guard(queued.Send->Lock);
    if (queued.Send->Abandoned) return false;
    queued.Send->Started = true;
  }
  bool ran = false;
  if (Accepts(*queued.Target)) {
    try {
      queued.Call();
    } catch (...) {  // a handler call: its failure must not end the thread's loop
    }
    ran = true;
  }
  if (queued.Send) Finish(*queued.Send, ran);
  return ran;
}

}  // namespace
}  // namespace message_queue_detail

using namespace message_queue_detail;

TMessageTarget::TMessageTarget() : FState(std::make_shared<TTargetState>()) {
  FState->Queue = CurrentQueue();
  FState->Owner = std::this_thread::get_id();
}

TMessageTarget::~TMessageTarget() {
  FState->Removed = true;
  RefuseWaitingSends(*FState);
}

void TMessageTarget::SetEnabled(bool enabled) {
  FState->Enabled = enabled;
  if (!enabled) RefuseWaitingSends(*FState);
}

bool TMessageTarget::GetEnabled() const {
  return FState->Enabled.load();
}

bool TMessageTarget::OnOwnerThread() const {
  return FState->Owner == std::this_thread::get_id();
}

bool TMessageTarget::Post(TMessageCall call) {
  if (!Accepts(*FState)) return false;
  std::shared_ptr<TThreadQueue> queue = FState->Queue.lock();
  if (!queue) return false;  // the owner thread has ended
  queue->Push(TQueuedCall{FState, std::move(call), nullptr});
  return true;
}

bool TMessageTarget::Send(TMessageCall call, std::uint32_t timeoutMs) {
  if (!Accepts(*FState)) return false;
  if (OnOwnerThread()) {
    try {
      call();
    } catch (...) {  // a handler call, as when the owner's loop runs it
    }
    return true;
  }
  // Held by the sender itself: the target may be destroyed while it waits.
  const std::shared_ptr<TTargetState> state = FState;
  auto send = std::make_shared<TSendState>();
  {
    // Registered before the last look at the target: a disabling that
    // this look misses finds the sender in the list.
    std::lock_guard<std::mutex> guard(state->SendsLock);
    if (!Accepts(*state)) return false;
    state->Sends.push_back(send);
  }
  {
    // Not held while waiting: a queue whose thread ends ends the wait.
    std::shared_ptr<TThreadQueue> queue = state->Queue.lock();
    if (queue)
      queue->Push(TQueuedCall{state, std::move(call), send});
    else
      Finish(*send, false);  // the owner thread has ended
  }
  bool ran = false;
  {
    std::unique_lock<std::mutex> lock(send->Lock);
    send->Done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return send->Finished || send->Refused; });
    if (!send->Finished && !send->Started) send->Abandoned = true;
    ran = send->Finished && send->Ran;
  }
  std::lock_guard<std::mutex> guard(state->SendsLock);
  auto& sends = state->Sends;
  sends.erase(std::remove(sends.begin(), sends.end(), send), sends.end());
  return ran;
}

TPollSource::TPollSource(int fd, short events, TCallback callback)
    : FEntry(std::make_shared<TPollEntry>()), FQueue(CurrentQueue()) {
  FEntry->Fd = fd;
  FEntry->Events = events;
  FEntry->Callback = std::move(callback);
  CurrentQueue()->AddSource(FEntry);
}

TPollSource::TPollSource(const TMessageTarget& target, int fd, short events, TCallback callback)
    : FEntry(std::make_shared<TPollEntry>()), FQueue(target.FState->Queue) {
  FEntry->Fd = fd;
  FEntry->Events = events;
  FEntry->Callback = std::move(callback);
  if (auto queue = FQueue.lock()) queue->AddSource(FEntry);
}

TPollSource::~TPollSource() {
  FEntry->Active = false;
  if (auto queue = FQueue.lock()) queue->RemoveSource(FEntry.get());
}

void TPollSource::SetEvents(short events) {
  FEntry->Events = events;
}

int TPollSource::Fd() const {
  return FEntry->Fd;
}

std::size_t ProcessMessages() {
  // Held for the round: a call that ends the thread's last target keeps the queue.
  std::shared_ptr<TThreadQueue> queue = CurrentQueue();
  std::size_t ran = 0;
  std::deque<TQueuedCall> calls = queue->TakeCalls();
  for (TQueuedCall& queued : calls)
    if (RunQueued(queued)) ++ran;

  std::vector<std::shared_ptr<TPollEntry>> sources = queue->Sources();
  if (sources.empty()) return ran;
  std::vector<pollfd> fds;
  fds.reserve(sources.size());
  for (const auto& entry : sources)
    fds.push_back(pollfd{entry->Fd, entry->Active.load() ? entry->Events.load() : short{0}, 0});
  if (poll(fds.data(), fds.size(), 0) <= 0) return ran;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    // An earlier callback of this round may have removed this source.
    if (fds[i].revents == 0 || !sources[i]->Active.load()) continue;
    try {
      sources[i]->Callback(fds[i].revents);
    } catch (...) {  // a handler call: the other sources still get theirs
    }
    ++ran;
  }
  return ran;
}

bool WaitForMessage(std::uint32_t timeoutMs, int fd, short events) {
  bool callsQueued = false;
  const int wakeFd = CurrentQueue()->WakeFd(callsQueued);
  if (callsQueued) return true;
  pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
  // A negative descriptor is skipped by poll; so is the wake descriptor when
  // it could not be made (the wait then still ends at the time-out). A signal
  // ends the wait early, which a caller that waits in steps does not mind.
  return poll(fds, 2, static_cast<int>(std::min<std::uint32_t>(timeoutMs, INT32_MAX))) > 0;
}
