// Once the run has taken a stop signal it has a grace to come to its end; a
// second signal cuts that short. Each case runs in a child of its own, since
// the process ends by the signal.
#include "app/uRunSignals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

namespace {

TEST(RunSignalsDeathTest, ASignalWaitsForTheRunToTakeIt) {
  EXPECT_EXIT(
      {
        TRunSignals signals;
        raise(SIGTERM);
        const bool pendingUntilAsked = StopSignal() == SIGTERM;
        _exit(pendingUntilAsked ? 3 : 4);
      },
      ::testing::ExitedWithCode(3), "");
}

TEST(RunSignalsDeathTest, ASecondSignalEndsTheProcessByTheFirstAtOnce) {
  EXPECT_EXIT(
      {
        TRunSignals signals;
        raise(SIGTERM);
        if (StopSignal() != SIGTERM) _exit(4);
        raise(SIGTERM);
        _exit(5);  // the second signal ended the process before this
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

TEST(RunSignalsDeathTest, WithoutASignalTheEndIsTheRunsOwn) {
  EXPECT_EXIT(
      {
        TRunSignals signals;
        if (StopSignal() != 0) _exit(4);
        signals.EndBySignal();
        _exit(3);
      },
      ::testing::ExitedWithCode(3), "");
}

}  // namespace
