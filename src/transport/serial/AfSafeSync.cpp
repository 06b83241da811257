#include "transport/serial/AfSafeSync.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

#include "framework/uAlert.h"
#include "framework/uMessageQueue.h"

namespace {

// One call on its way to an owner thread.
struct TCallState {
  int Waiters = 0;
  bool Started = false;
  bool Done = false;
  bool Abandoned = false;
};

struct TEntry {
  bool Enabled = false;
  TSyncHandler Handler;
  std::uint32_t Id = 0;
  std::shared_ptr<TMessageTarget> Target;  // the registering thread's queue
  // The call queued for the owner and not taken up yet. An owner that does
  // not serve its messages so holds at most one call of each target.
  std::shared_ptr<TCallState> Queued;
};

struct TRegistry {
  std::mutex Lock;
  std::condition_variable Changed;  // a call finished or a target went away
  std::unique_ptr<std::array<TEntry, kSyncTargets>> Table;
  std::uint32_t Counter = 0;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

// Under the registry lock.
TEntry* Find(TRegistry& registry, std::uint32_t id) {
  if (!registry.Table || id == 0) return nullptr;
  for (TEntry& entry : *registry.Table)
    if (entry.Id == id && entry.Handler) return &entry;
  return nullptr;
}

bool Accepts(TRegistry& registry, std::uint32_t id) {
  const TEntry* entry = Find(registry, id);
  return entry != nullptr && entry->Enabled;
}

void RunHandler(const TSyncHandler& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    Alert(e.what());
  } catch (...) {
    // A handler's failure is the owner's; it must not end the owner's message loop.
    Alert("unknown error in a synchronised call");
  }
}

// Runs on the owner thread, from its message queue.
void RunPosted(std::uint32_t id, const std::shared_ptr<TCallState>& state) {
  TRegistry& registry = Registry();
  std::unique_lock<std::mutex> lock(registry.Lock);
  TEntry* entry = Find(registry, id);
  if (entry != nullptr && entry->Queued == state) entry->Queued.reset();
  if (state->Abandoned) return;
  if (entry == nullptr || !entry->Enabled) {
    state->Done = true;
    registry.Changed.notify_all();
    return;
  }
  state->Started = true;
  const TSyncHandler handler = Find(registry, id)->Handler;
  lock.unlock();
  RunHandler(handler);
  lock.lock();
  state->Done = true;
  registry.Changed.notify_all();
}

}  // namespace

std::uint32_t RegisterTarget(TSyncHandler handler) {
  if (!handler) return 0;
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  if (!registry.Table) registry.Table = std::make_unique<std::array<TEntry, kSyncTargets>>();
  for (TEntry& entry : *registry.Table) {
    if (entry.Handler) continue;
    if (++registry.Counter == 0) ++registry.Counter;
    entry = TEntry{false, std::move(handler), registry.Counter, std::make_shared<TMessageTarget>(),
                   nullptr};
    return entry.Id;
  }
  return 0;
}

bool UnregisterTarget(std::uint32_t id) {
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  TEntry* entry = Find(registry, id);
  if (entry == nullptr) return false;
  *entry = TEntry{};
  registry.Changed.notify_all();
  return true;
}

bool EnableTarget(std::uint32_t id, bool enabled) {
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  TEntry* entry = Find(registry, id);
  if (entry == nullptr) return false;
  entry->Enabled = enabled;
  if (!enabled) registry.Changed.notify_all();
  return true;
}

bool SyncCall(std::uint32_t id, std::uint32_t timeoutMs) {
  TRegistry& registry = Registry();
  std::unique_lock<std::mutex> lock(registry.Lock);
  if (!Accepts(registry, id)) return false;
  TEntry& entry = *Find(registry, id);
  if (entry.Target->OnOwnerThread()) {
    const TSyncHandler handler = entry.Handler;
    lock.unlock();
    RunHandler(handler);
    lock.lock();
    return Accepts(registry, id);
  }
  std::shared_ptr<TCallState> state = entry.Queued;
  if (state) {
    state->Abandoned = false;  // still queued: this caller waits for it instead
  } else {
    state = std::make_shared<TCallState>();
    if (!entry.Target->Post([id, state] { RunPosted(id, state); })) return false;
    entry.Queued = state;
  }
  ++state->Waiters;
  registry.Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return state->Done || !Accepts(registry, id); });
  if (--state->Waiters == 0 && !state->Started) state->Abandoned = true;
  return Accepts(registry, id);
}

bool PostCall(std::uint32_t id, TSyncHandler call) {
  if (!call) return false;
  TRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.Lock);
  if (!Accepts(registry, id)) return false;
  return Find(registry, id)->Target->Post([id, call = std::move(call)] {
    {
      TRegistry& registry = Registry();
      std::lock_guard<std::mutex> guard(registry.Lock);
      if (!Accepts(registry, id)) return;
    }
    RunHandler(call);
  });
}
