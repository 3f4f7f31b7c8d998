#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output_file.h"
#include "transaction_os.h"

namespace kv {

std::optional<std::string> OutputPathProblem(const std::string& path, unsigned) {
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

IoError WriteOutputFile(const std::string& path, std::string_view contents, unsigned) {
  const OutputPathParts parts = SplitOutputPath(path);
  if (parts.name.empty() || parts.name == "." || parts.name == "..") return IoError{EISDIR};
  const os::Node dir(::open(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.ok()) return IoError{errno};
  const int folder = static_cast<int>(dir.get());
  os::Node file;
  std::string temp;
  for (int attempt = 0; attempt < 100 && !file.ok(); ++attempt) {
    temp = OutputTempName(parts.name);
    file = os::Node(
        ::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.ok() && errno != EEXIST) return IoError{errno};
  }
  if (!file.ok()) return IoError{EEXIST};
  const int fd = static_cast<int>(file.get());
  auto fail = [&](int code) {
    ::unlinkat(folder, temp.c_str(), 0);
    return IoError{code ? code : EIO};
  };
  // A regular file of the same name keeps its permission bits (not set-id
  // bits: the new file is not the program the old one may have been).
  struct stat old {};
  if (::fstatat(folder, parts.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(old.st_mode) && old.st_uid == ::geteuid()) {
    if (::fchmod(fd, old.st_mode & 0777) != 0) return fail(errno);
  }
  while (!contents.empty()) {
    const ssize_t n = ::write(fd, contents.data(), contents.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(n < 0 ? errno : EIO);
    contents.remove_prefix(static_cast<size_t>(n));
  }
  if (::fsync(fd) != 0) return fail(errno);
  if (const int closed = file.Close()) return fail(closed);
  if (::renameat(folder, temp.c_str(), folder, parts.name.c_str()) != 0) return fail(errno);
  ::fsync(folder);  // the new name lasts; a failure here changes nothing read
  return IoError{};
}

}  // namespace kv
