// The floor for an end-to-end run: reads every file that a migration of the
// tree rewrites and writes it back unchanged, the way the migrator does, but
// with nothing else: read the whole file, write a temporary file beside it,
// flush it to disk, rename it over the file, flush the folder.
//
//   kvbench-floor FOLDER    (rewrites every file listed in FOLDER/Bench.files)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

bool Fail(const std::string& what, const std::string& path) {
  std::fprintf(stderr, "kvbench-floor: %s %s: %s\n", what.c_str(), path.c_str(),
               std::strerror(errno));
  return false;
}

bool Rewrite(const std::string& path) {
  const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail("open", path);
  struct stat st;
  if (::fstat(in, &st) != 0) return Fail("stat", path);
  std::string bytes(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(in, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail("read", path);
    got += static_cast<size_t>(n);
  }
  ::close(in);

  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string temp = folder + "/.floor-XXXXXX";
  const int out = ::mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) return Fail("create", temp);
  size_t put = 0;
  while (put < bytes.size()) {
    const ssize_t n = ::write(out, bytes.data() + put, bytes.size() - put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail("write", temp);
    put += static_cast<size_t>(n);
  }
  if (::fsync(out) != 0) return Fail("fsync", temp);
  if (::close(out) != 0) return Fail("close", temp);
  if (::rename(temp.c_str(), path.c_str()) != 0) return Fail("rename", temp);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kvbench-floor FOLDER\n", stderr);
    return 2;
  }
  const std::string root = argv[1];
  std::ifstream list(root + "/Bench.files");
  if (!list) {
    std::fprintf(stderr, "kvbench-floor: no %s/Bench.files\n", root.c_str());
    return 2;
  }
  std::string rel;
  size_t files = 0;
  while (std::getline(list, rel)) {
    if (rel.empty()) continue;
    if (!Rewrite(root + "/" + rel)) return 1;
    ++files;
  }
  std::printf("rewrote %zu files\n", files);
  return 0;
}
