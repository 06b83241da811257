/* The floor of a console run on a serial line: the worked example's four
 * exchanges with a module at address '1' (identify, set output 3 on, read the
 * outputs back, read the inputs) on a terminal device, raw, and nothing else.
 * A run of the console program on the same device is measured against it.
 *
 *   floor_pty_client DEVICE
 *
 * The exit status is inputs 1 to 3 packed into bits 0 to 2, as
 * /ErrorCode=In1,In2,In3 gives it; 255 when anything fails. */
#define _DEFAULT_SOURCE
#include <fcntl.h>
#include <termios.h>

#include "floor_exchange.h"

int main(int argc, char** argv) {
  if (argc != 2) return kFailed;
  const int fd = open(argv[1], O_RDWR | O_NOCTTY);
  struct termios t;
  if (fd < 0 || tcgetattr(fd, &t) != 0) return kFailed;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(fd, TCSANOW, &t) != 0 || tcflush(fd, TCIOFLUSH) != 0) return kFailed;
  return RunWorkedExample(fd);
}
