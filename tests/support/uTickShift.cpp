#include "uTickShift.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

std::atomic<std::uint32_t> gShift{0};
std::atomic<bool> gInstalled{false};

std::uint32_t ShiftedTick() {
  return MonotonicTick32() + gShift.load();
}

}  // namespace

TTickShift::TTickShift() {
  EXPECT_FALSE(gInstalled.exchange(true)) << "one tick shift at a time";
  gShift = 0;
  FPrevious = SetTickSource(&ShiftedTick);
}

TTickShift::~TTickShift() {
  SetTickSource(FPrevious);
  gInstalled = false;
}

void TTickShift::Advance(std::uint32_t ms) {
  gShift += ms;
}
