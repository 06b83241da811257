#include "framework/uGuid.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <random>

#ifndef GRND_INSECURE
#define GRND_INSECURE 0x0004  // Linux 5.6; older C library headers lack the name
#endif

// Written out by hand: a short run otherwise never touches printf's machinery.
std::string GuidToString(const TGUID& g) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(38);
  const auto put = [&text](std::uint32_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text += kHex[(value >> shift) & 0xF];
  };
  text += '{';
  put(g.D1, 8);
  text += '-';
  put(g.D2, 4);
  text += '-';
  put(g.D3, 4);
  text += '-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) text += '-';
    put(g.D4[i], 2);
  }
  text += '}';
  return text;
}

std::optional<TGUID> GuidFromString(std::string_view text) {
  try {
    return GuidLiteral(text);
  } catch (const char*) {
    return std::nullopt;
  }
}

namespace {

// Fills all of `bytes` with `flags`; false with errno set when the kernel
// does not (an interrupted call is asked again).
bool FillFromKernel(TGetRandomCall call, std::uint8_t* bytes, std::size_t count, unsigned flags) {
  std::size_t done = 0;
  while (done < count) {
    const long got = call(bytes + done, count - done, flags);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// Last resort for a kernel that has neither call ready: a generator seeded
// once from both clocks and the process id. Two processes started at the
// same nanosecond with the same id are not a case that matters for names.
void FillFromClock(std::uint8_t* bytes, std::size_t count) {
  static std::mutex lock;
  static std::mt19937_64 generator = [] {
    timespec real{};
    timespec mono{};
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    std::seed_seq seed{static_cast<std::uint64_t>(real.tv_sec), static_cast<std::uint64_t>(real.tv_nsec),
                       static_cast<std::uint64_t>(mono.tv_sec), static_cast<std::uint64_t>(mono.tv_nsec),
                       static_cast<std::uint64_t>(getpid())};
    return std::mt19937_64(seed);
  }();
  std::lock_guard<std::mutex> guard(lock);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(generator() >> 56);
}

long SystemGetRandom(void* buffer, std::size_t count, unsigned flags) {
  return static_cast<long>(getrandom(buffer, count, flags));
}

}  // namespace

TGUID NewGuid(TGetRandomCall call) {
  std::array<std::uint8_t, 16> u{};
  // A GUID names a node, it is no secret: never wait for the entropy pool,
  // which early after boot would hold every run up.
  if (!FillFromKernel(call, u.data(), u.size(), GRND_INSECURE)) {
    const bool tryNonBlocking = errno == EINVAL;  // kernel before 5.6
    if (!tryNonBlocking || !FillFromKernel(call, u.data(), u.size(), GRND_NONBLOCK))
      FillFromClock(u.data(), u.size());
  }
  u[6] = static_cast<std::uint8_t>((u[6] & 0x0F) | 0x40);  // version 4: random
  u[8] = static_cast<std::uint8_t>((u[8] & 0x3F) | 0x80);  // the standard variant
  TGUID g;
  g.D1 = (static_cast<std::uint32_t>(u[0]) << 24) | (static_cast<std::uint32_t>(u[1]) << 16) |
         (static_cast<std::uint32_t>(u[2]) << 8) | u[3];
  g.D2 = static_cast<std::uint16_t>((u[4] << 8) | u[5]);
  g.D3 = static_cast<std::uint16_t>((u[6] << 8) | u[7]);
  for (std::size_t i = 0; i < 8; ++i) g.D4[i] = u[8 + i];
  return g;
}

std::string NewGuidString() {
  return GuidToString(NewGuid(SystemGetRandom));
}
