#include "transport/serial/AfTtyRate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool SetTtyRate(int fd, std::uint32_t rate) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = rate;
  settings.c_ospeed = rate;
  return ioctl(fd, TCSETS2, &settings) == 0;
}

bool GetTtyRate(int fd, std::uint32_t& rate) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  rate = settings.c_ospeed;
  return true;
}

std::uint32_t DivisorRate(std::uint32_t baseRate, std::uint32_t rate) {
  if (rate == 0) return 0;
  std::uint64_t divisor = (std::uint64_t{baseRate} + rate / 2) / rate;
  if (divisor == 0) divisor = 1;
  return static_cast<std::uint32_t>(baseRate / divisor);
}
