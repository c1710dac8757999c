//
// 'measure_run' - Run a program once and report its wall time and peak resident memory.
//
// Usage: measure_run OUTPUT program [argument ...]
//
// The program's standard output goes to the file OUTPUT; its standard input and standard
// error are this process's own. One line on standard output gives the wall time in seconds
// and the program's peak resident set in kilobytes. The exit status is the program's, or 1
// when it could not be run or ended by a signal.
//

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

static double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int main(int argc, char *argv[]) {
  if (argc < 3) {
    fputs("Usage: measure_run OUTPUT program [argument ...]\n", stderr);
    return 1;
  }
  int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    perror(argv[1]);
    return 1;
  }

  double start = Now();
  pid_t child = fork();
  if (child == 0) {
    dup2(out, 1);
    close(out);
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  close(out);
  if (child < 0) {
    perror("fork");
    return 1;
  }

  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) < 0) {
    perror("wait4");
    return 1;
  }
  double wall = Now() - start;
  printf("%.6f %ld\n", wall, usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
