#include "app/uRunSignals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "framework/uTick.h"

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

}  // namespace

int StopSignal() {
  return gStopSignal.load();
}

TRunSignals::TRunSignals() {
  sigset_t set = TakenSignals();
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &set, &before);
  FSignalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  FStopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  try {
    if (FSignalFd >= 0 && FStopFd >= 0) {
      FWatcher = std::thread([this] { Watch(); });
      return;
    }
  } catch (...) {
    // No thread: the signals act as they did before (below).
  }
  if (FSignalFd >= 0) close(FSignalFd);
  if (FStopFd >= 0) close(FStopFd);
  FSignalFd = FStopFd = -1;
  // Blocked with nobody to take them, they would be lost.
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

TRunSignals::~TRunSignals() {
  if (FWatcher.joinable()) {
    const std::uint64_t one = 1;
    if (write(FStopFd, &one, sizeof one) < 0) {
      // An eventfd takes one count; without it the watcher is left behind.
      FWatcher.detach();
    } else {
      FWatcher.join();
    }
  }
  if (FSignalFd >= 0) close(FSignalFd);
  if (FStopFd >= 0) close(FStopFd);
}

void TRunSignals::Watch() {
  std::uint32_t forceAt = 0;
  for (;;) {
    const int first = gStopSignal.load();
    int waitMs = -1;
    if (first != 0) {
      waitMs = static_cast<int>(TicksLeft(GetTickCount32(), forceAt));
      // The run did not come to its end in time: the process ends without it.
      if (waitMs == 0) RaiseDefault(first);
    }
    pollfd fds[2] = {{FSignalFd, POLLIN, 0}, {FStopFd, POLLIN, 0}};
    if (poll(fds, 2, waitMs) < 0 && errno != EINTR) return;
    if ((fds[1].revents & POLLIN) != 0) return;
    signalfd_siginfo info{};
    if ((fds[0].revents & POLLIN) == 0 || read(FSignalFd, &info, sizeof info) != sizeof info)
      continue;
    const int signal = static_cast<int>(info.ssi_signo);
    // A second signal: the user does not want to wait for the run.
    if (first != 0) RaiseDefault(first);
    forceAt = GetTickCount32() + kGraceMs;
    gStopSignal = signal;
  }
}

void TRunSignals::EndBySignal() {
  const int signal = gStopSignal.load();
  if (signal != 0) RaiseDefault(signal);
}
