// run_measured: runs a program and reports what the whole process cost.
//
//   run_measured [-i INPUT] OUTPUT PROGRAM [ARGS...]
//
// Runs PROGRAM with standard input from the file INPUT (/dev/null without
// -i) and standard output to the file OUTPUT, waits for it and prints "MILLISECONDS PEAK_KB STATUS
// CPU_MILLISECONDS": wall time from fork to the end of wait4, peak resident
// memory (ru_maxrss), exit status (-1 when it did not exit normally) and
// the processor time it took (user and system).
//
// Why a program of its own: Linux counts in a child's ru_maxrss the memory
// its parent had resident when it forked, and keeps that figure through
// exec. A child of a benchmark that has just generated a large table would
// show the benchmark's size, not its own. This program is small, so the
// floor it leaves in the figure is small (about 1 MB).
#define _DEFAULT_SOURCE

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* input = "/dev/null";
  if (argc > 2 && strcmp(argv[1], "-i") == 0) {
    input = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc < 3) {
    fputs("usage: run_measured [-i INPUT] OUTPUT PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    int in = open(input, O_RDONLY);
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) return 1;
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double ms =
      (double)(end.tv_sec - start.tv_sec) * 1e3 + (double)(end.tv_nsec - start.tv_nsec) / 1e6;
  const double cpu = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                     (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  printf("%.3f %ld %d %.3f\n", ms, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
         cpu);
  return 0;
}
