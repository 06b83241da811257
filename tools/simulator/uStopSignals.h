// The stop signals of a tool program (the simulator, the monitor), taken by
// its loop as a readable descriptor instead of by an asynchronous handler: a
// stop can then be neither lost nor missed, whenever it comes (also before
// the loop waits, and whatever a sanitizer's runtime does with asynchronous
// signals).
#pragma once

#include <signal.h>

#include <initializer_list>
#include <string>

class TStopSignals {
 public:
  // Blocks `signals` in the calling thread and opens a signalfd for them.
  // Make it first thing in main: threads started later inherit the mask,
  // threads started earlier could still take the signals themselves.
  explicit TStopSignals(std::initializer_list<int> signals = {SIGTERM, SIGINT});
  // The mask stays: a second stop signal still pending must not end the
  // process with a signal status on its way out.
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // Readable once a stop signal is pending; -1 when it could not be made.
  int Fd() const { return FFd; }
  // Why Fd is -1, in lower case.
  const std::string& Error() const { return FError; }

 private:
  int FFd = -1;
  std::string FError;
};
