// The process-wide registry of synchronisation targets: a thread that is not
// a target's owner runs the target's handler on the owner thread and waits a
// bounded time for it (on the per-thread message queue; the owner runs it
// when it processes its messages).
#pragma once

#include <cstdint>
#include <functional>

using TSyncHandler = std::function<void()>;

// Room for this many targets at once.
inline constexpr int kSyncTargets = 64;

// Registers `handler`, disabled, for the calling thread; the id is never 0.
// 0 when all entries are taken (or the handler is empty).
std::uint32_t RegisterTarget(TSyncHandler handler);
// Removes the target; a call waiting for it returns at once. False for an unknown id.
bool UnregisterTarget(std::uint32_t id);
// Enables or disables the target; a call waiting for it when it is disabled
// returns at once. False for an unknown id.
bool EnableTarget(std::uint32_t id, bool enabled);
// Runs the target's handler on its owner thread (at once when called there)
// and waits at most `timeoutMs` for it. A call the owner has not started when
// the wait ends is dropped, unless a later call waits for it again: a target
// never has more than one call queued, however long its owner does not serve
// its messages. True when the target is still registered and enabled
// afterwards (whether the handler ran in time is not part of it); false for a
// disabled or unknown target.
bool SyncCall(std::uint32_t id, std::uint32_t timeoutMs);
// Queues `call` for the target's owner thread, to run when the owner serves
// its messages and only if the target is then still registered and enabled;
// never at once, also on the owner thread. False for a disabled or unknown
// target, or when the owner's queue refuses it (its thread has ended).
bool PostCall(std::uint32_t id, TSyncHandler call);
