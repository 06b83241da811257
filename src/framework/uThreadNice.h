// Thread priorities as nice values of one thread within the normal
// scheduling class; never a real-time class.
#pragma once

// The kernel's id of the calling thread.
int KernelThreadId();

// Gives the thread `threadId` of this process the process's own nice value
// plus `offset` (negative raises), kept within -20 (highest) to 19 (lowest);
// its scheduling class stays as it is. False when the system refuses: an
// ordinary user may neither raise a thread's priority nor undo a raise.
bool SetThreadNice(int threadId, int offset);

// The nice value of the thread `threadId`; 0 when it cannot be read.
int ThreadNice(int threadId);
