/* What the floor clients share once their line is open: the worked example's
 * four exchanges with a module at address '1' (identify, set output 3 on, read
 * the outputs back, read the inputs), and nothing else. Each client only opens
 * its line and hands it to RunWorkedExample.
 *
 * Static functions in a header, so that each client stays one C file built on
 * its own; the includer defines its feature-test macro first. */
#ifndef VELTO_BENCH_FLOOR_EXCHANGE_H
#define VELTO_BENCH_FLOOR_EXCHANGE_H

#include <poll.h>
#include <stddef.h>
#include <sys/types.h>
#include <unistd.h>

/* The requests exactly as the console program writes them (packet format 97,
 * address 0x31; each waiting exchange carries the next signature, from 0). */
static const unsigned char kIdentify[] = {0x2A, 0x61, 0x00, 0x05, 0x31, 0x00, 0xF3, 0x4B, 0x0D};
static const unsigned char kOutput3On[] = {0x2A, 0x61, 0x00, 0x06, 0x31, 0x01, 0x20, 0x83, 0x99, 0x0D};
static const unsigned char kReadOutputs[] = {0x2A, 0x61, 0x00, 0x05, 0x31, 0x02, 0x30, 0x0C, 0x0D};
static const unsigned char kReadInputs[] = {0x2A, 0x61, 0x00, 0x05, 0x31, 0x03, 0x31, 0x0A, 0x0D};

enum { kTimeoutMs = 1000, kMaxPacket = 4 + 0xFFFF, kFailed = 255 };

static unsigned char answer[kMaxPacket];

/* Reads exactly `count` bytes, each wait bounded. */
static int ReadAll(int fd, unsigned char* to, size_t count) {
  while (count > 0) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kTimeoutMs) <= 0) return 0;
    const ssize_t n = read(fd, to, count);
    if (n <= 0) return 0;
    to += n;
    count -= (size_t)n;
  }
  return 1;
}

/* Sends a request and reads its answer; its length, or 0 when the answer is
 * missing, not framed as expected, not carrying the request's signature or
 * not acknowledged with code 0. */
static size_t Exchange(int fd, const unsigned char* request, size_t size) {
  if (write(fd, request, size) != (ssize_t)size) return 0;
  if (!ReadAll(fd, answer, 4) || answer[0] != 0x2A || answer[1] != 0x61) return 0;
  const size_t rest = (size_t)answer[2] << 8 | answer[3];
  if (rest < 4 || !ReadAll(fd, answer + 4, rest)) return 0;
  return answer[4] == 0x31 && answer[5] == request[5] && answer[6] == 0x00 &&
                 answer[3 + rest] == 0x0D
             ? 4 + rest
             : 0;
}

/* The four exchanges on an open line, which it closes. Returns the exit
 * status: inputs 1 to 3 packed into bits 0 to 2, as /ErrorCode=In1,In2,In3
 * gives it; kFailed when any exchange fails. */
static int RunWorkedExample(int fd) {
  size_t length = 0;
  const int done = Exchange(fd, kIdentify, sizeof kIdentify) &&
                   Exchange(fd, kOutput3On, sizeof kOutput3On) &&
                   Exchange(fd, kReadOutputs, sizeof kReadOutputs) &&
                   (length = Exchange(fd, kReadInputs, sizeof kReadInputs)) >= 10;
  close(fd);
  if (!done) return kFailed;
  /* The last data byte, before checksum and end byte, holds inputs 1 to 8. */
  return answer[length - 3] & 0x07;
}

#endif
