// Runs a command and reports its wall time and the peak resident size of the
// process (and of its children, for a shell pipeline).
//
//   kvbench-time OUTFILE COMMAND [ARGS...]
//
// Appends "SECONDS MAXRSS_KIB EXIT_STATUS" as one line to OUTFILE; the
// command's own output passes through. Exits with the command's status.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: kvbench-time OUTFILE COMMAND [ARGS...]\n", stderr);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child < 0) return 2;
  if (child == 0) {
    ::execvp(argv[2], argv + 2);
    std::perror("kvbench-time: exec");
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (::wait4(child, &status, 0, &usage) < 0) return 2;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The command itself, or the largest process of a pipeline it started.
  struct rusage children = {};
  ::getrusage(RUSAGE_CHILDREN, &children);
  const long rss = usage.ru_maxrss > children.ru_maxrss ? usage.ru_maxrss : children.ru_maxrss;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (std::FILE* out = std::fopen(argv[1], "a")) {
    std::fprintf(out, "%.6f %ld %d\n", seconds, rss, code);
    std::fclose(out);
  }
  return code;
}
