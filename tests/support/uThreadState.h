// What another thread of the test process, or a child process, is doing, as
// the kernel sees it: lets a test act once a thread has gone to sleep in a
// wait (a write waiting for room, a wait for a message) instead of guessing
// with a fixed sleep.
#pragma once

#include <sys/types.h>

// The calling thread's id, for ThreadSleepsSoon.
pid_t CurrentThreadId();

// True once thread `tid` of this process sleeps (in a wait), within `timeoutMs`.
bool ThreadSleepsSoon(pid_t tid, int timeoutMs);

// The same for the main thread of process `pid` (a child the test started).
bool ProcessSleepsSoon(pid_t pid, int timeoutMs);
