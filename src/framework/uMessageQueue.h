// Per-thread message queues: the way work reaches a particular thread.
//
// Every thread has one queue, created on first use. A TMessageTarget belongs to
// the thread that creates it; any thread may post a call to it, or send one and
// wait at most a time-out for it to run. The owning thread runs queued calls
// when it calls ProcessMessages(). A disabled or removed (destroyed) target
// refuses new calls, its queued calls are dropped, and a sender waiting for
// one of them returns at once, refused (closing never waits out a send's
// time-out). So does a sender whose target's thread ends.
//
// A thread may also register poll sources (a file descriptor with a callback);
// ProcessMessages() polls them without blocking and runs the callbacks of the
// ready ones, so descriptor events are delivered on the registering thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace message_queue_detail {
class TThreadQueue;
struct TTargetState;
struct TPollEntry;
}  // namespace message_queue_detail

using TMessageCall = std::function<void()>;

class TMessageTarget {
 public:
  TMessageTarget();   // belongs to the calling thread
  ~TMessageTarget();  // removed: refuses calls, drops queued ones
  TMessageTarget(const TMessageTarget&) = delete;
  TMessageTarget& operator=(const TMessageTarget&) = delete;

  void SetEnabled(bool enabled);
  bool GetEnabled() const;
  // True when called on the thread that owns the target.
  bool OnOwnerThread() const;

  // Queues `call` for the owner thread; false when the target refuses it.
  bool Post(TMessageCall call);
  // Runs `call` on the owner thread and waits for it, at most `timeoutMs`.
  // On the owner thread itself the call runs at once. False when refused
  // (also when the target is disabled or removed, or its thread ends, while
  // the sender waits), when the call did not start in time (it is then
  // dropped) or when it did not finish in time or before such a refusal (it
  // still runs to its end; what it uses must stay valid, so give it shared
  // ownership of its data).
  bool Send(TMessageCall call, std::uint32_t timeoutMs);

 private:
  friend class TPollSource;
  std::shared_ptr<message_queue_detail::TTargetState> FState;
};

// A descriptor watched by the registering thread's ProcessMessages().
// The callback gets the poll revents; it may change or destroy its source.
class TPollSource {
 public:
  using TCallback = std::function<void(short revents)>;
  TPollSource(int fd, short events, TCallback callback);  // on the calling thread's queue
  // On the queue of the thread that owns `target`.
  TPollSource(const TMessageTarget& target, int fd, short events, TCallback callback);
  ~TPollSource();
  TPollSource(const TPollSource&) = delete;
  TPollSource& operator=(const TPollSource&) = delete;

  void SetEvents(short events);
  int Fd() const;

 private:
  std::shared_ptr<message_queue_detail::TPollEntry> FEntry;
  std::weak_ptr<message_queue_detail::TThreadQueue> FQueue;
};

// Runs the calls queued for the calling thread's targets and the callbacks of
// its ready poll sources; never blocks. Returns the number of calls and
// callbacks run. Calls posted while it runs wait for the next round.
std::size_t ProcessMessages();

// Waits at most `timeoutMs` until a call is queued for the calling thread's
// targets or `fd` (when not negative) reports one of `events`; runs nothing.
// True when one of them is ready. Lets a thread that processes its messages
// in steps sleep until there is work instead of for a fixed time.
bool WaitForMessage(std::uint32_t timeoutMs, int fd = -1, short events = 0);
