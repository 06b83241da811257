#include "framework/uTick.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace {

std::atomic<TTickSource> gTickSource{nullptr};

}  // namespace

std::uint32_t GetTickCount32() {
  const TTickSource source = gTickSource.load(std::memory_order_acquire);
  return source != nullptr ? source() : MonotonicTick32();
}

TTickSource SetTickSource(TTickSource source) {
  return gTickSource.exchange(source, std::memory_order_acq_rel);
}

std::uint32_t MonotonicTick32() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

double NowDateTime() { return LocalDateTime(WallClockNow()); }

timespec WallClockNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

double LocalDateTime(const timespec& instant) {
  std::time_t secs = instant.tv_sec;
  std::tm local{};
  localtime_r(&secs, &local);
  // Seconds since the epoch as local time, then shifted to the 1899-12-30 origin.
  double localSecs = static_cast<double>(secs + local.tm_gmtoff) + instant.tv_nsec / 1e9;
  constexpr double kDaysFrom1899To1970 = 25569.0;
  return kDaysFrom1899To1970 + localSecs / 86400.0;
}

void SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
