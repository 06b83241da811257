/* Helper for the test machine's case list: whether the kernel's entropy
 * pool is ready yet ("vmprobe entropy": ready / not-ready), waiting until
 * it is ("vmprobe wait": a blocking read, which makes the kernel gather
 * entropy from timer jitter), and a millisecond clock ("vmprobe ms"), which
 * busybox's date lacks. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "entropy") == 0) {
    unsigned char byte;
    if (getrandom(&byte, 1, GRND_NONBLOCK) == 1) {
      puts("ready");
      return 0;
    }
    if (errno == EAGAIN) {
      puts("not-ready");
      return 0;
    }
    printf("error:%s\n", strerror(errno));
    return 1;
  }
  if (argc == 2 && strcmp(argv[1], "wait") == 0) {
    unsigned char byte;
    while (getrandom(&byte, 1, 0) != 1) {
      if (errno != EINTR) {
        printf("error:%s\n", strerror(errno));
        return 1;
      }
    }
    puts("ready");
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "ms") == 0) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("%lld\n", (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
    return 0;
  }
  fputs("usage: vmprobe entropy|wait|ms\n", stderr);
  return 2;
}
