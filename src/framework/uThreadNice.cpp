#include "framework/uThreadNice.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

int KernelThreadId() {
  return static_cast<int>(gettid());
}

bool SetThreadNice(int threadId, int offset) {
  if (threadId <= 0) return false;
  // Relative to the process (its first thread), as `nice` started it.
  const int nice = std::clamp(ThreadNice(static_cast<int>(getpid())) + offset, -20, 19);
  return setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), nice) == 0;
}

int ThreadNice(int threadId) {
  if (threadId <= 0) return 0;
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(threadId));
  return errno == 0 ? nice : 0;
}
