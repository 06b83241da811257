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

namespace {

TRunSignals* gRunSignals = nullptr;  // the program's own, made and used on its main thread

}  // namespace

TRunSignals::TRunSignals() {
  sigset_t set = TakenSignals();
  pthread_sigmask(SIG_BLOCK, &set, &FBefore);
  FSignalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  FStopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FSignalFd >= 0 && FStopFd >= 0) {
    gRunSignals = this;
    return;
  }
  if (FSignalFd >= 0) close(FSignalFd);
  if (FStopFd >= 0) close(FStopFd);
  FSignalFd = FStopFd = -1;
  // Blocked with nobody to take them, they would be lost.
  pthread_sigmask(SIG_SETMASK, &FBefore, nullptr);
}

TRunSignals::~TRunSignals() {
  if (gRunSignals == this) gRunSignals = nullptr;
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

void TRunSignals::StartWatcher() {
  if (FSignalFd < 0 || FWatcher.joinable()) return;
  try {
    FWatcher = std::thread([this] { Watch(); });
    return;
  } catch (...) {
    // No thread: the signals act as they did before (below).
  }
  close(FSignalFd);
  close(FStopFd);
  FSignalFd = FStopFd = -1;
  pthread_sigmask(SIG_SETMASK, &FBefore, nullptr);
}

void WatchRunSignals() {
  if (gRunSignals != nullptr) gRunSignals->StartWatcher();
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
  // Unwatched, a signal waits blocked in the descriptor: the process ends by
  // it all the same.
  if (gStopSignal.load() == 0 && !FWatcher.joinable() && FSignalFd >= 0) {
    signalfd_siginfo info{};
    if (read(FSignalFd, &info, sizeof info) == sizeof info)
      gStopSignal = static_cast<int>(info.ssi_signo);
  }
  const int signal = gStopSignal.load();
  if (signal != 0) RaiseDefault(signal);
}
