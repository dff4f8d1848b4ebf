/* Runs one command and prints its wall time and peak resident memory:
 *
 *   timeit [-o FILE] [-C DIR] -- COMMAND [ARG...]
 *   => "<elapsed microseconds> <peak RSS KiB> <exit code>"
 *
 * -o sends the command's standard output to FILE (standard error stays), -C
 * runs it in DIR. The clock is monotonic and starts just before the fork;
 * the peak RSS is the child's own, from wait4. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
  const char *out = NULL, *dir = NULL;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) out = argv[++i];
    else if (strcmp(argv[i], "-C") == 0 && i + 1 < argc) dir = argv[++i];
    else {
      fprintf(stderr, "usage: timeit [-o FILE] [-C DIR] -- COMMAND [ARG...]\n");
      return 2;
    }
  }
  if (i + 1 >= argc) return 2;
  char **command = argv + i + 1;

  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) return perror("fork"), 2;
  if (pid == 0) {
    if (dir && chdir(dir) != 0) _exit(126);
    if (out) {
      int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
      close(fd);
    }
    int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, 0);
    execvp(command[0], command);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) return perror("wait4"), 2;
  clock_gettime(CLOCK_MONOTONIC, &end);
  long long us = (end.tv_sec - start.tv_sec) * 1000000LL + (end.tv_nsec - start.tv_nsec) / 1000;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  printf("%lld %ld %d\n", us, usage.ru_maxrss, code);
  return 0;
}
