#include "transport/serial/AfUtils.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

void SafeCloseHandle(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

TAfWakeFd::TAfWakeFd() : FFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (FFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TAfWakeFd::~TAfWakeFd() {
  SafeCloseHandle(FFd);
}

void TAfWakeFd::Signal() {
  const std::uint64_t one = 1;
  // A full counter (never reached in practice) still leaves the wake pending.
  [[maybe_unused]] const ssize_t n = write(FFd, &one, sizeof one);
}

void TAfWakeFd::Drain() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = read(FFd, &count, sizeof count);
}
