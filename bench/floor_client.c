/* The floor of a console run: the worked example's four exchanges with a
 * module at address '1' (identify, set output 3 on, read the outputs back,
 * read the inputs) over a plain TCP socket, and nothing else. A run of the
 * console program doing the same work is measured against it.
 *
 *   floor_client HOST PORT
 *
 * The exit status is inputs 1 to 3 packed into bits 0 to 2, as
 * /ErrorCode=In1,In2,In3 gives it; 255 when anything fails. */
#define _POSIX_C_SOURCE 200809L
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>

#include "floor_exchange.h"

int main(int argc, char** argv) {
  if (argc != 3) return kFailed;
  struct sockaddr_in to = {0};
  to.sin_family = AF_INET;
  to.sin_port = htons((unsigned short)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) return kFailed;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  if (fd < 0 || setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
      connect(fd, (const struct sockaddr*)&to, sizeof to) != 0)
    return kFailed;
  return RunWorkedExample(fd);
}
