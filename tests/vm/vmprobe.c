/* Helper for the test machine's case list: whether the kernel's entropy
 * pool is ready yet ("vmprobe entropy": ready / not-ready), waiting until
 * it is ("vmprobe wait": a blocking read, which makes the kernel gather
 * entropy from timer jitter), a millisecond clock ("vmprobe ms"), which
 * busybox's date lacks, and a serial port's low-latency flag:
 *   vmprobe latency PATH          prints on / off
 *   vmprobe latency PATH on|off   sets it, then prints it
 *   vmprobe latency-held PATH MS  waits up to MS for another process to hold
 *                                 PATH, then prints the flag as soon as it is
 *                                 on while the port is still held: on; off
 *                                 when the holder let go without it; timeout */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

static long long now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* The port's serial flags, or -1 with errno. Opened for this read only, so
 * that this probe never becomes the port's last user. */
static int serial_flags(const char* path) {
  int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct serial_struct serial;
  memset(&serial, 0, sizeof serial);
  int result = ioctl(fd, TIOCGSERIAL, &serial) == 0 ? serial.flags : -1;
  int saved = errno;
  close(fd);
  errno = saved;
  return result;
}

static int set_low_latency(const char* path, int on) {
  int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct serial_struct serial;
  memset(&serial, 0, sizeof serial);
  int result = ioctl(fd, TIOCGSERIAL, &serial);
  if (result == 0) {
    serial.flags = on ? (serial.flags | ASYNC_LOW_LATENCY) : (serial.flags & ~ASYNC_LOW_LATENCY);
    result = ioctl(fd, TIOCSSERIAL, &serial);
  }
  int saved = errno;
  close(fd);
  errno = saved;
  return result;
}

/* Whether a process other than this one has PATH open. */
static int held_by_other(const char* path) {
  DIR* proc = opendir("/proc");
  if (proc == NULL) return 0;
  char self[16];
  snprintf(self, sizeof self, "%d", (int)getpid());
  int held = 0;
  struct dirent* process;
  while (!held && (process = readdir(proc)) != NULL) {
    if (process->d_name[0] < '1' || process->d_name[0] > '9' || strcmp(process->d_name, self) == 0)
      continue;
    char fds[300];
    snprintf(fds, sizeof fds, "/proc/%s/fd", process->d_name);
    DIR* dir = opendir(fds);
    if (dir == NULL) continue;
    struct dirent* fd;
    while (!held && (fd = readdir(dir)) != NULL) {
      char link[600], target[PATH_MAX];
      snprintf(link, sizeof link, "%s/%s", fds, fd->d_name);
      ssize_t n = readlink(link, target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      held = strcmp(target, path) == 0;
    }
    closedir(dir);
  }
  closedir(proc);
  return held;
}

static int print_flag(int flags) {
  if (flags < 0) {
    printf("error:%s\n", strerror(errno));
    return 1;
  }
  puts((flags & ASYNC_LOW_LATENCY) ? "on" : "off");
  return 0;
}

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
    printf("%lld\n", now_ms());
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "latency") == 0) return print_flag(serial_flags(argv[2]));
  if (argc == 4 && strcmp(argv[1], "latency") == 0 &&
      (strcmp(argv[3], "on") == 0 || strcmp(argv[3], "off") == 0)) {
    if (set_low_latency(argv[2], strcmp(argv[3], "on") == 0) != 0) {
      printf("error:%s\n", strerror(errno));
      return 1;
    }
    return print_flag(serial_flags(argv[2]));
  }
  if (argc == 4 && strcmp(argv[1], "latency-held") == 0) {
    const long long deadline = now_ms() + atoll(argv[3]);
    int seen_held = 0;
    while (now_ms() < deadline) {
      if (held_by_other(argv[2])) {
        seen_held = 1;
        int flags = serial_flags(argv[2]);
        /* Counted only when the holder still has the port after the read. */
        if (flags >= 0 && (flags & ASYNC_LOW_LATENCY) && held_by_other(argv[2])) {
          puts("on");
          return 0;
        }
      } else if (seen_held) {
        puts("off");
        return 0;
      }
      usleep(2000);
    }
    puts("timeout");
    return 0;
  }
  fputs("usage: vmprobe entropy|wait|ms | latency PATH [on|off] | latency-held PATH MS\n", stderr);
  return 2;
}
