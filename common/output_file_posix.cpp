#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "output_file.h"

namespace kv {

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

std::string RandomToken() {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device device;
  std::string token;
  for (int i = 0; i < 12; ++i) token += kDigits[device() % 16];
  return token;
}

}  // namespace

std::optional<std::string> OutputPathProblem(const std::string& path) {
  if (path.empty()) return "the name is empty";
  const OutputPathParts parts = SplitOutputPath(path);
  if (parts.name.empty() || parts.name == "." || parts.name == "..") return "it names a folder";
  struct stat st {};
  if (::stat(parts.folder.c_str(), &st) != 0) {
    return "its folder " + parts.folder + " cannot be used: " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return "its folder " + parts.folder + " is not a folder";
  if (::access(parts.folder.c_str(), W_OK | X_OK) != 0) {
    return "its folder " + parts.folder + " cannot be written: " + std::strerror(errno);
  }
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "it names a folder";
  // A file whose permission bits grant no write is read-only, as a project's
  // files are: it is not replaced (a symlink at the name is, as ever).
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
    return "it is read-only";
  }
  return std::nullopt;
}

IoError WriteOutputFile(const std::string& path, std::string_view contents) {
  const OutputPathParts parts = SplitOutputPath(path);
  if (parts.name.empty() || parts.name == "." || parts.name == "..") return IoError{EISDIR};
  Fd dir;
  dir.fd = ::open(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir.fd < 0) return IoError{errno};
  Fd file;
  std::string temp;
  for (int attempt = 0; attempt < 100 && file.fd < 0; ++attempt) {
    temp = OutputTempName(parts.name, RandomToken());
    file.fd =
        ::openat(dir.fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file.fd < 0 && errno != EEXIST) return IoError{errno};
  }
  if (file.fd < 0) return IoError{EEXIST};
  auto fail = [&](int code) {
    ::unlinkat(dir.fd, temp.c_str(), 0);
    return IoError{code ? code : EIO};
  };
  // A regular file of the same name keeps its permission bits (not set-id
  // bits: the new file is not the program the old one may have been).
  struct stat old {};
  if (::fstatat(dir.fd, parts.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(old.st_mode) && old.st_uid == ::geteuid()) {
    if (::fchmod(file.fd, old.st_mode & 0777) != 0) return fail(errno);
  }
  while (!contents.empty()) {
    const ssize_t n = ::write(file.fd, contents.data(), contents.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(n < 0 ? errno : EIO);
    contents.remove_prefix(static_cast<size_t>(n));
  }
  if (::fsync(file.fd) != 0) return fail(errno);
  const int closed = ::close(file.fd);
  file.fd = -1;
  if (closed != 0) return fail(errno);
  if (::renameat(dir.fd, temp.c_str(), dir.fd, parts.name.c_str()) != 0) return fail(errno);
  ::fsync(dir.fd);  // the new name lasts; a failure here changes nothing read
  return IoError{};
}

}  // namespace kv
