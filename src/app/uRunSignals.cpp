#include "app/uRunSignals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> gStopSignal{0};

constexpr int kRunSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The run signals the process takes: those it was not started ignoring.
sigset_t TakenSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kRunSignals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&set, signal);
  }
  return set;
}

// The signal's default action ends the process; the calling thread must
// have it unblocked.
[[noreturn]] void RaiseDefault(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  _exit(128 + signal);  // not reached: the default action of these signals ends the process
}

// The program's descriptor of its run signals, -1 while there is none; made
// and closed on the main thread.
int gSignalFd = -1;
sigset_t gTaken{};

// Once the run has taken a signal, a second one, or the grace running out,
// ends the process by the first at once: the user does not want to wait, or
// the run did not come to its end in time.
void EndByFirstSignal(int) {
  RaiseDefault(gStopSignal.load());
}

void TakeSignal(int signal) {
  int none = 0;
  if (!gStopSignal.compare_exchange_strong(none, signal)) return;
  struct sigaction action {};
  action.sa_handler = EndByFirstSignal;
  sigfillset(&action.sa_mask);
  for (int each : kRunSignals)
    if (sigismember(&gTaken, each) == 1) sigaction(each, &action, nullptr);
  sigaction(SIGALRM, &action, nullptr);
  alarm(TRunSignals::kGraceMs / 1000);
  // Here only: the other threads keep them blocked and their calls uninterrupted.
  pthread_sigmask(SIG_UNBLOCK, &gTaken, nullptr);
}

}  // namespace

int StopSignal() {
  const int signal = gStopSignal.load();
  if (signal != 0 || gSignalFd < 0) return signal;
  signalfd_siginfo info{};
  if (read(gSignalFd, &info, sizeof info) == sizeof info)
    TakeSignal(static_cast<int>(info.ssi_signo));
  return gStopSignal.load();
}

TRunSignals::TRunSignals() {
  gTaken = TakenSignals();
  pthread_sigmask(SIG_BLOCK, &gTaken, &FBefore);
  gSignalFd = signalfd(-1, &gTaken, SFD_NONBLOCK | SFD_CLOEXEC);
  // Blocked with nobody to take them, they would be lost.
  if (gSignalFd < 0) pthread_sigmask(SIG_SETMASK, &FBefore, nullptr);
}

TRunSignals::~TRunSignals() {
  if (gSignalFd < 0) return;
  close(gSignalFd);
  gSignalFd = -1;
}

void TRunSignals::EndBySignal() {
  const int signal = StopSignal();
  if (signal != 0) RaiseDefault(signal);
}
