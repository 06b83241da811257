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
