/* Times whole program runs, process start included: two command lines run
 * alternately, so that a change in the machine's load touches both alike,
 * and the median wall time of each and their ratio are printed.
 *
 *   floor_timer [-n RUNS] -- PROGRAM_A ARGS... -- PROGRAM_B ARGS...
 *
 * Both programs' output goes to /dev/null. Every run of a program must end
 * with the exit status of its first run; otherwise the figures would mix
 * different work and the timer fails.
 *
 * Beside each median time goes the median count of the times a run (all its
 * threads) went to sleep waiting: the hand-offs between threads and
 * processes that a busy machine turns into time slices. Unlike the times it
 * hardly moves with the machine's load. So does the median count of page
 * faults, which is most of what a short run costs beyond its floor: a
 * program's start-up is mapping, relocating and first touching its pages. */
#define _DEFAULT_SOURCE /* wait4 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

enum { kMaxRuns = 10000 };

struct Program {
  char** argv;
  double ms[kMaxRuns];
  double waits[kMaxRuns]; /* voluntary context switches of the run */
  double faults[kMaxRuns]; /* page faults of the run */
  int status; /* exit status of the first run */
};

static double NowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

/* One run; its wall time from just before the spawn to the end of the wait,
 * and how often it slept waiting. Gives the exit status, or -1 when the
 * program could not run or died. */
static int RunOnce(char** argv, double* ms, double* waits, double* faults) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const double start = NowMs();
  pid_t pid;
  const int rc = posix_spawn(&pid, argv[0], &actions, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int wstatus;
  struct rusage usage;
  while (wait4(pid, &wstatus, 0, &usage) < 0) {
  }
  *ms = NowMs() - start;
  *waits = (double)usage.ru_nvcsw;
  *faults = (double)(usage.ru_minflt + usage.ru_majflt);
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

static int Compare(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double Median(double* values, int count) {
  qsort(values, (size_t)count, sizeof *values, Compare);
  return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

static int Usage(void) {
  fprintf(stderr, "usage: floor_timer [-n RUNS] -- PROGRAM_A ARGS... -- PROGRAM_B ARGS...\n");
  return 2;
}

int main(int argc, char** argv) {
  int runs = 50;
  int i = 1;
  if (i + 1 < argc && strcmp(argv[i], "-n") == 0) {
    runs = atoi(argv[i + 1]);
    i += 2;
  }
  if (runs < 1 || runs > kMaxRuns || i >= argc || strcmp(argv[i], "--") != 0) return Usage();
  /* Split the rest at the second "--" into the two command lines. */
  static struct Program programs[2];
  programs[0].argv = argv + i + 1;
  int split = i + 1;
  while (split < argc && strcmp(argv[split], "--") != 0) ++split;
  if (split >= argc - 1 || split == i + 1) return Usage();
  argv[split] = NULL;
  programs[1].argv = argv + split + 1;

  for (int run = 0; run < runs; ++run) {
    for (int p = 0; p < 2; ++p) {
      struct Program* program = &programs[p];
      const int status =
          RunOnce(program->argv, &program->ms[run], &program->waits[run], &program->faults[run]);
      if (run == 0) program->status = status;
      if (status < 0 || status != program->status) {
        fprintf(stderr, "floor_timer: %s: run %d ended with status %d, the first with %d\n",
                program->argv[0], run + 1, status, program->status);
        return 1;
      }
    }
  }
  const double a = Median(programs[0].ms, runs), b = Median(programs[1].ms, runs);
  for (int p = 0; p < 2; ++p)
    printf("%-40s median %8.3f ms, %4.0f waits, %4.0f page faults  (exit status %d, %d runs)\n",
           programs[p].argv[0], p == 0 ? a : b, Median(programs[p].waits, runs),
           Median(programs[p].faults, runs), programs[p].status, runs);
  printf("ratio %.3f\n", a / b);
  return 0;
}
