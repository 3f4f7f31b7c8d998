// The run's transaction on POSIX systems: the platform's operations
// (private/transaction_os.h) over folder descriptors and the *at calls. The
// commit and the recovery themselves are in transaction.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "private/transaction_os.h"

namespace kv::os {

namespace {

IoError Errno() { return IoError{errno}; }

int Fd(const Node& n) { return static_cast<int>(n.get()); }
int Fd(const Dir& d) { return static_cast<int>(d.node.get()); }

// The user this process runs as, for the owner check of every status taken:
// read again whenever a run opens a folder, rather than once per status
// (a process does not change users in the middle of a run).
std::atomic<uid_t> g_user{::geteuid()};

void Fill(const struct stat& st, FileInfo* info) {
  info->kind = S_ISREG(st.st_mode)   ? FileInfo::Kind::Regular
               : S_ISDIR(st.st_mode) ? FileInfo::Kind::Folder
                                     : FileInfo::Kind::Other;
  info->volume = static_cast<uint64_t>(st.st_dev);
  info->index = static_cast<uint64_t>(st.st_ino);
  info->size = static_cast<uint64_t>(st.st_size);
  info->links = static_cast<uint64_t>(st.st_nlink);
  info->written = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  info->changed = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  info->owner = st.st_uid;
  info->group = st.st_gid;
  info->mode = st.st_mode & 07777;
  info->ours = st.st_uid == g_user.load(std::memory_order_relaxed);
  info->shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool InGroup(gid_t gid) {
  if (gid == ::getegid()) return true;
  const int n = ::getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(n));
  const int got = ::getgroups(n, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

IoError OwnerNotKept() { return IoError{EPERM, "its owner or group cannot be kept by this user"}; }

}  // namespace

int Node::Close() {
  if (value_ == kNone) return 0;
  const int r = ::close(static_cast<int>(std::exchange(value_, kNone)));
  return r == 0 ? 0 : errno;
}

const char kSeparator = '/';
const bool kFlushesVolumes = true;
const bool kMakerHasCreation = false;

std::string Shown(const std::string& folder, const std::string& name, unsigned) {
  return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

bool IsAbsolute(std::string_view path) { return path.starts_with('/'); }

IoError Locate(RealDisk& base, const std::string& path, std::string* folder, std::string* name) {
  const std::optional<std::string> real = base.RealPath(path);
  if (!real) return Errno();
  const size_t slash = real->rfind('/');
  *name = real->substr(slash + 1);
  if (name->empty()) return IoError{EISDIR};
  *folder = slash == 0 ? "/" : real->substr(0, slash);
  return IoError{};
}

IoError OpenFolder(const std::string& path, unsigned, Dir* dir) {
  g_user.store(::geteuid(), std::memory_order_relaxed);
  Node fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.ok()) return Errno();
  struct stat st;
  if (::fstat(Fd(fd), &st) != 0) return Errno();
  dir->node = std::move(fd);
  dir->path = path;
  Fill(st, &dir->info);
  return IoError{};
}

IoError OpenEntry(const Dir& dir, const std::string& name, Access access, Node* file) {
  const int flags =
      (access == Access::Write ? O_WRONLY : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  // A read leaves the access time alone where this process may ask so (it
  // saves a metadata write per file).
  int fd = access == Access::Write ? -1 : ::openat(Fd(dir), name.c_str(), flags | O_NOATIME);
  if (fd < 0 && (access == Access::Write || errno == EPERM))
    fd = ::openat(Fd(dir), name.c_str(), flags);
  if (fd < 0) return Errno();
  *file = Node(fd);
  return IoError{};
}

IoError CreateEntry(const Dir& dir, const std::string& name, Node* file) {
  const int fd =
      ::openat(Fd(dir), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Errno();
  *file = Node(fd);
  return IoError{};
}

IoError InfoOf(const Node& file, FileInfo* info) {
  struct stat st;
  if (::fstat(Fd(file), &st) != 0) return Errno();
  Fill(st, info);
  return IoError{};
}

IoError InfoAt(const Dir& dir, const std::string& name, FileInfo* info) {
  struct stat st;
  *info = FileInfo{};
  if (::fstatat(Fd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? IoError{} : Errno();
  Fill(st, info);
  return IoError{};
}

IoError ReadRest(const Node& file, uint64_t sizeHint, std::string* contents,
                 const std::function<int()>& fault, bool untilEnd) {
  return ReadOpenFile(Fd(file), static_cast<size_t>(sizeHint), contents, fault, untilEnd);
}

bool MapRest(const Node& file, uint64_t size, MappedText* text) {
  return MapOpenFile(Fd(file), static_cast<size_t>(size), text);
}

IoError ReadAt(const Node& file, uint64_t offset, char* buffer, size_t size, size_t* got) {
  for (;;) {
    const ssize_t n = ::pread(Fd(file), buffer, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Errno();
    *got = static_cast<size_t>(n);
    return IoError{};
  }
}

IoError WriteText(const Node& file, std::string_view text, const std::function<int()>& fault) {
  return WriteOpenFile(Fd(file), text, fault);
}

IoError WriteEdited(const Node& file, const EditedText& text, const std::function<int()>& fault) {
  return WriteOpenFile(Fd(file), text, fault);
}

IoError CopyInto(const Node& fromNode, const Node& toNode, uint64_t size) {
  const int from = Fd(fromNode), to = Fd(toNode);
  off_t in = 0, out = 0;
  while (static_cast<uint64_t>(in) < size) {
    const ssize_t n = ::copy_file_range(from, &in, to, &out, static_cast<size_t>(size - in), 0);
    if (n > 0) continue;
    if (n == 0) return IoError{EIO};  // the source is shorter than it should be
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return Errno();
    // No copy in the kernel between these files: copy through a buffer.
    char buffer[1 << 16];
    while (static_cast<uint64_t>(in) < size) {
      const ssize_t got = ::pread(from, buffer, sizeof buffer, in);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return got < 0 ? Errno() : IoError{EIO};
      for (ssize_t put = 0; put < got;) {
        const ssize_t w = ::pwrite(to, buffer + put, static_cast<size_t>(got - put), out);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return Errno();
        put += w;
        out += w;
      }
      in += got;
    }
  }
  if (::ftruncate(to, static_cast<off_t>(size)) != 0) return Errno();
  return IoError{};
}

IoError Flush(const Node& file) { return ::fsync(Fd(file)) == 0 ? IoError{} : Errno(); }

IoError CheckWritable(const Dir& dir, const std::string& name, const FileInfo& read) {
  // A file whose permission bits grant no write is read-only, even for a
  // user who could override them; otherwise this user must be able to write
  // the file and its folder.
  if ((read.mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return IoError{EACCES};
  if (::faccessat(Fd(dir), name.c_str(), W_OK, 0) != 0) return Errno();
  if (!dir.writable && ::faccessat(Fd(dir), ".", W_OK | X_OK, 0) != 0) return Errno();
  dir.writable = true;
  return IoError{};
}

IoError CheckOwnerKeepable(const FileInfo& read) {
  if (::geteuid() != 0 && (read.owner != ::geteuid() || !InGroup(read.group)))
    return OwnerNotKept();
  return IoError{};
}

// The owner, group and extended attributes of the original, onto the staged
// file; owner and group first, since changing them clears the setuid and
// setgid bits and file capabilities.
IoError KeepMetadata(const Node& originalNode, const Node& tempNode, const FileInfo& read,
                     uint64_t* stagedIndex) {
  const int original = Fd(originalNode), temp = Fd(tempNode);
  struct stat now;
  if (::fstat(temp, &now) != 0) return Errno();
  *stagedIndex = static_cast<uint64_t>(now.st_ino);
  if ((now.st_uid != read.owner || now.st_gid != read.group) &&
      ::fchown(temp, read.owner, read.group) != 0) {
    return errno == EPERM ? OwnerNotKept() : Errno();
  }
  if (::fchmod(temp, read.mode) != 0) return Errno();
  // One call for the common short list (or none); a longer one is asked for
  // its size first.
  std::string names(1024, '\0');
  ssize_t size = ::flistxattr(original, names.data(), names.size());
  if (size < 0 && errno == ERANGE) {
    size = ::flistxattr(original, nullptr, 0);
    if (size >= 0) {
      names.assign(static_cast<size_t>(size), '\0');
      size = ::flistxattr(original, names.data(), names.size());
    }
  }
  if (size < 0) return errno == ENOTSUP || errno == EOPNOTSUPP ? IoError{} : Errno();
  names.resize(static_cast<size_t>(size));
  std::string value;
  for (size_t at = 0; at < names.size();) {
    const std::string name(names.c_str() + at);
    at += name.size() + 1;
    if (name.empty()) continue;
    ssize_t length = ::fgetxattr(original, name.c_str(), nullptr, 0);
    if (length >= 0) {
      value.resize(static_cast<size_t>(length));
      length = ::fgetxattr(original, name.c_str(), value.data(), value.size());
    }
    const bool privileged = name.starts_with("security.") || name.starts_with("trusted.");
    if (length >= 0) {
      value.resize(static_cast<size_t>(length));
      if (::fsetxattr(temp, name.c_str(), value.data(), value.size(), 0) == 0) continue;
    }
    // Attributes that only a privileged process may set (file capabilities,
    // security labels) are kept where this process may; others must be.
    if (privileged && (errno == EPERM || errno == EACCES || errno == ENOTSUP)) continue;
    const int err = errno;
    return IoError{err,
                   "its extended attribute " + name + " cannot be kept: " + std::strerror(err)};
  }
  return IoError{};
}

std::string SavedByWrite(const Node& original) {
  // A write drops file capabilities; they are set again after it.
  char cap[256];
  const ssize_t n = ::fgetxattr(Fd(original), "security.capability", cap, sizeof cap);
  return n > 0 ? std::string(cap, static_cast<size_t>(n)) : std::string();
}

IoError WriteInPlace(const Node& from, const Node& to, uint64_t size, uint32_t mode,
                     const std::string& saved) {
  struct stat before;
  if (::fstat(Fd(to), &before) != 0) return Errno();
  if (mode == 0) mode = before.st_mode & 07777;
  if (IoError err = CopyInto(from, to, size)) return err;
  struct stat st;
  if (::fstat(Fd(to), &st) == 0 && (st.st_mode & 07777) != mode) (void)::fchmod(Fd(to), mode);
  if (!saved.empty())
    (void)::fsetxattr(Fd(to), "security.capability", saved.data(), saved.size(), 0);
  return IoError{};
}

IoError Swap(const Dir& dir, const std::string& name, const std::string& temp,
             const std::string& old, bool exchange, Swapped* state) {
  const int folder = Fd(dir);
  *state = Swapped::None;
  errno = EINVAL;
  if (exchange && ::renameat2(folder, temp.c_str(), folder, name.c_str(), RENAME_EXCHANGE) == 0) {
    *state = Swapped::Exchanged;
    return IoError{};
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return Errno();
  // No swap on this file system: keep the original under a second name,
  // then rename the staged file over it.
  if (::linkat(folder, name.c_str(), folder, old.c_str(), 0) != 0) return Errno();
  *state = Swapped::OldKept;
  return IoError{};
}

IoError Exchange(const Dir& dir, const std::string& a, const std::string& b) {
  const int folder = Fd(dir);
  if (::renameat2(folder, a.c_str(), folder, b.c_str(), RENAME_EXCHANGE) != 0) return Errno();
  return IoError{};
}

IoError Replace(const Dir& dir, const std::string& name, const std::string& temp,
                const std::string&) {
  return Rename(dir, temp, name);
}

IoError Rename(const Dir& dir, const std::string& from, const std::string& to) {
  if (::renameat(Fd(dir), from.c_str(), Fd(dir), to.c_str()) != 0) return Errno();
  return IoError{};
}

IoError Remove(const Dir& dir, const std::string& name) {
  if (::unlinkat(Fd(dir), name.c_str(), 0) != 0) return Errno();
  return IoError{};
}

// Where the file system hands freed blocks back to the disk at once (online
// discard), each removal waits for the disk, and the waits of parallel
// removals overlap.
void RemoveMany(const std::vector<std::pair<const Dir*, std::string>>& names) {
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next++) < names.size();)
      ::unlinkat(Fd(*names[i].first), names[i].second.c_str(), 0);
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < 8 && t * 16 < names.size(); ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
}

IoError FlushFolder(const Dir& dir, bool volume) {
  if ((volume ? ::syncfs(Fd(dir)) : ::fsync(Fd(dir))) != 0) return Errno();
  return IoError{};
}

void List(const Dir& dir, const std::function<void(const std::string&)>& each) {
  const int listFd = ::openat(Fd(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  DIR* list = ::fdopendir(listFd);
  if (!list) {
    ::close(listFd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(list)) names.emplace_back(entry->d_name);
  ::closedir(list);
  for (const std::string& name : names) each(name);
}

Maker Self() { return Maker{static_cast<uint64_t>(::getpid()), 0, {}}; }

bool ProcessAlive(const Maker& maker) {
  return ::kill(static_cast<pid_t>(maker.pid), 0) == 0 || errno != ESRCH;
}

// Staged data handed to the disk while the run goes on: a second thread
// flushes the file system that a batch of staged files is on, so that the
// commit's own flush finds little left to write.
struct BackgroundFlush::Impl {
  ~Impl() { Stop(); }

  void Request(int folderFd) {
    const int fd = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return;
    std::lock_guard lock(mutex);
    if (quit) {
      ::close(fd);
      return;
    }
    if (next >= 0) ::close(next);
    next = fd;
    if (!thread.joinable()) {
      try {
        thread = std::thread([this] { Work(); });
      } catch (const std::system_error&) {
        ::close(next);
        next = -1;
        return;
      }
    }
    wake.notify_one();
  }

  void Stop() {
    {
      std::lock_guard lock(mutex);
      quit = true;
      if (next >= 0) ::close(next);
      next = -1;
    }
    wake.notify_one();
    if (thread.joinable()) thread.join();
  }

  void Work() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return quit || next >= 0; });
      if (quit) return;
      const int fd = std::exchange(next, -1);
      lock.unlock();
      ::syncfs(fd);  // the commit's flush reports any failure
      ::close(fd);
      lock.lock();
    }
  }

  std::mutex mutex;
  std::condition_variable wake;
  std::thread thread;
  int next = -1;
  bool quit = false;
};

BackgroundFlush::BackgroundFlush() : impl_(std::make_unique<Impl>()) {}
BackgroundFlush::~BackgroundFlush() = default;
void BackgroundFlush::Request(const Dir& dir) { impl_->Request(Fd(dir)); }
void BackgroundFlush::Stop() { impl_->Stop(); }

}  // namespace kv::os
