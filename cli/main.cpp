#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cli.h"

int main(int argc, char** argv) {
  // A standard stream started closed is held by /dev/null, opened read-only:
  // no file the run opens can take its number (and receive the lines), and a
  // write there fails, which stops the run as a closed output does.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int held = ::open("/dev/null", O_RDONLY);
      if (held != fd) return kv::kCliFailed;  // the lowest free number is `fd`
    }
  }
  return kv::RunCli(argc, argv, stdout, stderr);
}
