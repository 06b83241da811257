// The signals that end a run early: SIGINT, SIGTERM and SIGHUP. They are
// blocked in every thread of the program and wait in a signal descriptor,
// which the run looks at each time it asks whether to go on: so no call of
// any thread is interrupted, the run can take its objects apart (releasing
// the line with everything else) and write what it has printed, and the
// process then ends by the same signal, as a caller expects of it. Every step
// of a run is bounded by its time-out, so a signal is taken within one step.
#pragma once

#include <signal.h>

class TRunSignals {
 public:
  // How long the run may take to come to its end once it has taken a
  // signal before the process ends without it; a second signal then ends it
  // at once.
  static constexpr int kGraceMs = 10000;

  // Blocks the signals in the calling thread, so make it first thing in
  // main: every thread started later (a library's too) inherits the mask.
  // A signal the process was started ignoring (SIGINT of a background job)
  // stays ignored. When the descriptor cannot be made, the signals act as
  // they did before.
  TRunSignals();
  ~TRunSignals();
  TRunSignals(const TRunSignals&) = delete;
  TRunSignals& operator=(const TRunSignals&) = delete;

  // When a signal came: ends the process by it (its default action). Call it
  // once the run's objects are released and its output is written. A signal
  // that came after the run last looked is taken here.
  void EndBySignal();

 private:
  sigset_t FBefore{};  // the mask before the signals were blocked
};

// The signal that asked the run to end, 0 while none has; takes one that has
// come. The run stops at its next step and prints nothing more.
int StopSignal();
