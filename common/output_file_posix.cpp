#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "general_functions.h"
#include "output_file.h"

namespace kv {

namespace {

std::string FolderOf(const std::string& path) {
  const std::string folder = GetFolderFromPath(path);
  return folder.empty() ? std::string(".") : folder;
}

}  // namespace

IoError CheckOutputFile(const std::string& path) {
  struct stat st {};
  if (path.empty() || path.back() == '/') return IoError{EISDIR};
  if (::stat(FolderOf(path).c_str(), &st) != 0) return IoError{errno};
  if (!S_ISDIR(st.st_mode)) return IoError{ENOTDIR};
  if (::access(FolderOf(path).c_str(), W_OK | X_OK) != 0) return IoError{errno};
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return IoError{EISDIR};
    // A file that grants no write at all is read-only: never replaced.
    if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) return IoError{EACCES};
  }
  return IoError{};
}

IoError WriteOutputFile(const std::string& path, std::string_view bytes) {
  if (IoError e = CheckOutputFile(path)) return e;
  struct stat target {};
  const bool keepMode = ::lstat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode);
  // A name of our own beside the target, made by this call alone (O_EXCL).
  std::string temp;
  int fd = -1;
  const auto seed =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".kvmigrate-out-%ld-%llx", static_cast<long>(::getpid()),
                  seed + attempt);
    temp = path + suffix;
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return IoError{errno};
  }
  if (fd < 0) return IoError{EEXIST};
  auto fail = [&](int e) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return IoError{e ? e : EIO};
  };
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(errno);
    done += static_cast<size_t>(n);
  }
  if (keepMode && ::fchmod(fd, target.st_mode & 07777) != 0) return fail(errno);
  if (::fsync(fd) != 0) return fail(errno);
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return fail(errno);
  // rename(2) replaces a symlink at the target's name; it does not follow it.
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(errno);
  const int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return IoError{};
}

}  // namespace kv
