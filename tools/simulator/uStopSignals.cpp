#include "simulator/uStopSignals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "framework/uErrors.h"

TStopSignals::TStopSignals(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : signals) sigaddset(&set, signal);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  FFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (FFd < 0) FError = ErrnoText(errno);
}

TStopSignals::~TStopSignals() {
  if (FFd >= 0) close(FFd);
}
