// The signals that end a run early: SIGINT, SIGTERM and SIGHUP. They are
// blocked in every thread of the program and taken by a watcher thread of
// their own, so that the run can take its objects apart (releasing the line
// with everything else) and write what it has printed, and the process then
// ends by the same signal, as a caller expects of it.
#pragma once

#include <thread>

class TRunSignals {
 public:
  // How long the run may take to reach its next step after a signal before
  // the process ends without it; a second signal ends it at once.
  static constexpr int kGraceMs = 10000;

  // Blocks the signals in the calling thread, so make it first thing in
  // main: every thread started later (a library's too) inherits the mask.
  // A signal the process was started ignoring (SIGINT of a background job)
  // stays ignored. Without a watcher the signals act as they did before.
  TRunSignals();
  ~TRunSignals();
  TRunSignals(const TRunSignals&) = delete;
  TRunSignals& operator=(const TRunSignals&) = delete;

  // When a signal came: ends the process by it (its default action). Call it
  // once the run's objects are released and its output is written.
  void EndBySignal();

 private:
  void Watch();

  int FSignalFd = -1;
  int FStopFd = -1;  // ends the watcher
  std::thread FWatcher;
};

// The signal that asked the run to end, 0 while none has. The run stops at
// its next step and prints nothing more.
int StopSignal();
