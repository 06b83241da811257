// The signals that end a run early: SIGINT, SIGTERM and SIGHUP. They are
// blocked in every thread of the program and taken by a watcher thread of
// their own, so that the run can take its objects apart (releasing the line
// with everything else) and write what it has printed, and the process then
// ends by the same signal, as a caller expects of it.
#pragma once

#include <signal.h>

#include <thread>

class TRunSignals {
 public:
  // How long the run may take to reach its next step after a signal before
  // the process ends without it; a second signal ends it at once.
  static constexpr int kGraceMs = 10000;

  // Blocks the signals in the calling thread, so make it first thing in
  // main: every thread started later (a library's too) inherits the mask.
  // A signal the process was started ignoring (SIGINT of a background job)
  // stays ignored. The watcher starts with WatchRunSignals; when it cannot,
  // the signals act as they did before.
  TRunSignals();
  ~TRunSignals();
  TRunSignals(const TRunSignals&) = delete;
  TRunSignals& operator=(const TRunSignals&) = delete;

  // When a signal came: ends the process by it (its default action). Call it
  // once the run's objects are released and its output is written. A signal
  // that came while nobody watched is taken here.
  void EndBySignal();

 private:
  friend void WatchRunSignals();
  void StartWatcher();
  void Watch();

  int FSignalFd = -1;
  int FStopFd = -1;  // ends the watcher
  sigset_t FBefore{};  // the mask before the signals were blocked
  std::thread FWatcher;
};

// Starts the watcher of the program's TRunSignals, if there is one and it
// does not watch yet. The run calls it before it takes the line: a thread
// costs a program that only prints its help or a parameter error a quarter
// of its start-up, and such a program has nothing to release.
void WatchRunSignals();

// The signal that asked the run to end, 0 while none has. The run stops at
// its next step and prints nothing more.
int StopSignal();
