#include "transaction.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "cancel.h"
#include "journal.h"

namespace kv {

namespace {

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() { Reset(); }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes and reports the failure of the close (a late write error).
  int Close() {
    const int r = ::close(std::exchange(fd_, -1));
    return r == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

IoError Errno() { return IoError{errno}; }

const IoError& Changed() {
  static const IoError e{ESTALE, "the file changed during the run"};
  return e;
}

// Still the file that was read: same device, inode, size and change time.
bool SameFile(const struct stat& now, const struct stat& read) {
  return S_ISREG(now.st_mode) && now.st_dev == read.st_dev && now.st_ino == read.st_ino &&
         now.st_size == read.st_size && now.st_ctim.tv_sec == read.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == read.st_ctim.tv_nsec;
}

// Runs of this process whose temporary files are in use, by token.
std::mutex g_liveMutex;
std::set<std::string> g_liveTokens;

std::string NewToken() {
  uint64_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value) {
    static std::atomic<uint64_t> counter{0};
    value = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
            (++counter << 48);
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// The run that made one of our files: "<pid>-<token>" follows the marker.
struct Maker {
  pid_t pid = 0;
  std::string token;
};

std::optional<Maker> MakerOf(std::string_view name, std::string_view marker, bool temp) {
  if (name.empty() || name.front() != '.') return std::nullopt;
  const size_t at = temp ? name.rfind(marker) : (name.starts_with(marker) ? 0 : name.npos);
  if (at == name.npos || (temp && at == 0)) return std::nullopt;
  std::string_view rest = name.substr(at + marker.size());
  Maker maker;
  size_t i = 0;
  while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') {
    maker.pid = maker.pid * 10 + (rest[i] - '0');
    if (maker.pid > 1 << 30) return std::nullopt;
    ++i;
  }
  if (i == 0 || i >= rest.size() || rest[i] != '-') return std::nullopt;
  rest = rest.substr(i + 1);
  const size_t end = std::min(rest.find('-'), rest.size());
  if (end != 16) return std::nullopt;
  maker.token = std::string(rest.substr(0, end));
  return maker;
}

bool MakerAlive(const Maker& maker) {
  if (maker.pid == ::getpid()) {
    std::lock_guard lock(g_liveMutex);
    return g_liveTokens.count(maker.token) != 0;
  }
  return ::kill(maker.pid, 0) == 0 || errno != ESRCH;
}

bool IsOurTempName(std::string_view name) {
  return MakerOf(name, Transaction::kTempMarker, true).has_value();
}

// Copies `size` bytes from the start of `from` over the start of `to`.
int CopyInto(int from, int to, size_t size) {
  off_t in = 0, out = 0;
  while (static_cast<size_t>(in) < size) {
    const ssize_t n = ::copy_file_range(from, &in, to, &out, size - static_cast<size_t>(in), 0);
    if (n > 0) continue;
    if (n == 0) return EIO;  // the source is shorter than it should be
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
    // No copy in the kernel between these files: copy through a buffer.
    char buffer[1 << 16];
    while (static_cast<size_t>(in) < size) {
      const ssize_t got = ::pread(from, buffer, sizeof buffer, in);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return got < 0 ? errno : EIO;
      for (ssize_t put = 0; put < got;) {
        const ssize_t w = ::pwrite(to, buffer + put, static_cast<size_t>(got - put), out);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return errno;
        put += w;
        out += w;
      }
      in += got;
    }
  }
  return 0;
}

// Whether the open file holds exactly `text`.
bool HoldsText(int fd, std::string_view text) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != text.size()) return false;
  std::string buffer(std::min(text.size(), size_t{1} << 20), '\0');
  size_t at = 0;
  while (at < text.size()) {
    const ssize_t got = ::pread(fd, buffer.data(), std::min(buffer.size(), text.size() - at),
                                static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || CancelPending(static_cast<size_t>(got))) return false;
    if (std::memcmp(buffer.data(), text.data() + at, static_cast<size_t>(got)) != 0) return false;
    at += static_cast<size_t>(got);
  }
  return true;
}

// Removes our temporary files in the folder whose runs are gone; nothing else.
template <typename Fault>
void RemoveStaleTemps(int folderFd, const std::string& folderPath, const Fault& fault) {
  const int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  DIR* dir = ::fdopendir(listFd);
  if (!dir) {
    ::close(listFd);
    return;
  }
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    const std::optional<Maker> maker = MakerOf(name, Transaction::kTempMarker, true);
    if (maker && !MakerAlive(*maker)) stale.emplace_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : stale) {
    struct stat st;
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    if (fault(DiskOp::Remove, folderPath + "/" + name)) continue;
    ::unlinkat(folderFd, name.c_str(), 0);
  }
}

// Our name for a new temporary file beside `name`: the name's start, cut so
// that the whole stays within the longest name a folder entry may have.
std::string TempName(const std::string& name, const std::string& token, unsigned serial) {
  const std::string tail = std::string(Transaction::kTempMarker) + std::to_string(::getpid()) +
                           "-" + token + "-" + std::to_string(serial);
  std::string stem = name;
  const size_t room = NAME_MAX - 1 - tail.size();
  if (stem.size() > room) stem.resize(room);
  return "." + stem + tail;
}

// Removes names from folders, several at a time: where the file system hands
// freed blocks back to the disk at once (online discard), each removal waits
// for the disk, and the waits of parallel removals overlap.
void RemoveMany(const std::vector<std::pair<int, std::string>>& names) {
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next++) < names.size();)
      ::unlinkat(names[i].first, names[i].second.c_str(), 0);
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < 8 && t * 16 < names.size(); ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
}

// Opens a folder entry that must not be a symlink, without blocking on a
// fifo swapped in; a read leaves the access time alone where this process
// may ask so (it saves a metadata write per file).
int OpenEntry(int folder, const std::string& name, int flags) {
  flags |= O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  if ((flags & O_ACCMODE) == O_RDONLY) {
    const int fd = ::openat(folder, name.c_str(), flags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
  }
  return ::openat(folder, name.c_str(), flags);
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

// Staged data handed to the disk while the run goes on: a second thread
// flushes the file system that a batch of staged files is on, so that the
// commit's own flush finds little left to write. Only ever one flush waiting.
class BackgroundFlush {
 public:
  ~BackgroundFlush() { Stop(); }

  // Flushes the file system of `folderFd` soon, on the second thread.
  void Request(int folderFd) {
    const int fd = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return;
    std::lock_guard lock(mutex_);
    if (quit_) {
      ::close(fd);
      return;
    }
    if (next_ >= 0) ::close(next_);
    next_ = fd;
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { Work(); });
      } catch (const std::system_error&) {
        ::close(next_);
        next_ = -1;
        return;
      }
    }
    wake_.notify_one();
  }

  // Waits for a flush under way; one still waiting is dropped.
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
      if (next_ >= 0) ::close(next_);
      next_ = -1;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return quit_ || next_ >= 0; });
      if (quit_) return;
      const int fd = std::exchange(next_, -1);
      lock.unlock();
      ::syncfs(fd);  // the commit's flush reports any failure
      ::close(fd);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  int next_ = -1;
  bool quit_ = false;
};

struct Transaction::State {
  struct Folder {
    Fd fd;
    std::string path;
    struct stat st {};
  };
  enum class Applied { None, Exchanged, Renamed, Written };
  struct Entry {
    size_t folder = 0;
    std::string name;   // in the folder
    std::string path;   // as the engine first named it
    struct stat st {};  // as read
    std::string temp;   // the staged text; empty when not staged
    std::string old;    // the old bytes during a commit (rename fallback, in-place copy)
    bool oldMade = false;
    bool inPlace = false;
    ino_t tempInode = 0;
    size_t stagedSize = 0;
    std::optional<std::string> dryText;
    std::optional<std::string> capability;  // of a file written in place
    Applied applied = Applied::None;
  };

  Options options;
  RealDisk base;
  std::string token = NewToken();
  unsigned serial = 0;
  std::vector<Folder> folders;
  std::map<std::string, size_t> folderByPath;
  std::map<std::pair<dev_t, ino_t>, size_t> folderById;
  std::vector<Entry> entries;
  std::map<FileKey, size_t> byKey;
  std::map<std::string, size_t> byPath;
  std::vector<size_t> staged;  // in the order staged
  // Bytes staged since the last background flush was asked for.
  size_t unflushed = 0;
  BackgroundFlush flusher;

  int Fault(DiskOp op, const std::string& path) const {
    return options.hook ? options.hook(op, path) : 0;
  }

  // Up to this many files or folders are flushed one by one; more, with one
  // flush of each file system they are on.
  static constexpr size_t kFlushEachUpTo = 64;

  int FolderFd(const Entry& e) const { return folders[e.folder].fd.get(); }

  // The folder's handle, opened once per run; our stale temporary files in
  // it go when it is first opened.
  IoError OpenFolder(const std::string& path, size_t* index) {
    if (auto it = folderByPath.find(path); it != folderByPath.end()) {
      *index = it->second;
      return IoError{};
    }
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.ok()) return Errno();
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Errno();
    if (auto it = folderById.find({st.st_dev, st.st_ino}); it != folderById.end()) {
      *index = folderByPath[path] = it->second;
      return IoError{};
    }
    if (!options.dryRun) {
      RemoveStaleTemps(fd.get(), path,
                       [&](DiskOp op, const std::string& p) { return Fault(op, p); });
    }
    *index = folders.size();
    folders.push_back(Folder{std::move(fd), path, st});
    folderByPath[path] = *index;
    folderById[{st.st_dev, st.st_ino}] = *index;
    if (options.journalFolder.empty()) options.journalFolder = path;
    return IoError{};
  }

  // Opens the file a path names (the file a symlink points to; the last step
  // never follows a link) and finds or makes its record. A file met before
  // must still be the file that was read.
  IoError Identify(const std::string& path, size_t* index, Fd* file) {
    if (int e = Fault(DiskOp::Open, path)) return IoError{e};
    std::optional<size_t> known;
    size_t folder = 0;
    std::string name;
    if (auto it = byPath.find(path); it != byPath.end()) {
      known = it->second;
      folder = entries[*known].folder;
      name = entries[*known].name;
    } else {
      const std::optional<std::string> real = base.RealPath(path);
      if (!real) return Errno();
      const std::string& target = *real;
      const size_t slash = target.rfind('/');
      name = target.substr(slash + 1);
      if (name.empty()) return IoError{EISDIR};
      if (IoError e = OpenFolder(slash == 0 ? "/" : target.substr(0, slash), &folder)) return e;
    }
    Fd fd(OpenEntry(folders[folder].fd.get(), name, O_RDONLY));
    if (!fd.ok()) return known && (errno == ELOOP || errno == ENOENT) ? Changed() : Errno();
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Errno();
    if (S_ISDIR(st.st_mode)) return IoError{EISDIR};
    if (!S_ISREG(st.st_mode)) return IoError{EINVAL, "not a regular file"};
    const FileKey key{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    if (!known) {
      if (auto it = byKey.find(key); it != byKey.end()) known = it->second;
    }
    if (known) {
      if (!SameFile(st, entries[*known].st)) return Changed();
      *index = byPath[path] = *known;
    } else {
      *index = entries.size();
      Entry e;
      e.folder = folder;
      e.name = name;
      e.path = path;
      e.st = st;
      entries.push_back(std::move(e));
      byKey[key] = *index;
      byPath[path] = *index;
    }
    if (file) *file = std::move(fd);
    return IoError{};
  }

  // The original, opened again through its folder and checked.
  IoError OpenOriginal(const Entry& e, int flags, Fd* fd) const {
    Fd f(OpenEntry(FolderFd(e), e.name, flags));
    if (!f.ok()) return errno == ELOOP || errno == ENOENT ? Changed() : Errno();
    struct stat st;
    if (::fstat(f.get(), &st) != 0) return Errno();
    if (!SameFile(st, e.st)) return Changed();
    *fd = std::move(f);
    return IoError{};
  }

  void RemoveName(const Entry& e, const std::string& name) const {
    if (name.empty() || Fault(DiskOp::Remove, e.path)) return;
    ::unlinkat(FolderFd(e), name.c_str(), 0);
  }

  void Unstage(Entry& e) {
    RemoveName(e, e.temp);
    if (e.oldMade) RemoveName(e, e.old);
    e.temp.clear();
    e.old.clear();
    e.oldMade = false;
    e.applied = Applied::None;
    staged.erase(std::remove(staged.begin(), staged.end(), static_cast<size_t>(&e - &entries[0])),
                 staged.end());
  }

  std::string NewTemp(const Entry& e) { return TempName(e.name, token, ++serial); }

  // The owner, group and extended attributes of the original, onto the
  // staged file; owner and group first, since changing them clears the
  // setuid and setgid bits and file capabilities.
  IoError CopyMetadata(const Entry& e, int original, int temp) const {
    if (int err = Fault(DiskOp::Meta, e.path)) return IoError{err};
    struct stat now;
    if (::fstat(temp, &now) != 0) return Errno();
    if ((now.st_uid != e.st.st_uid || now.st_gid != e.st.st_gid) &&
        ::fchown(temp, e.st.st_uid, e.st.st_gid) != 0) {
      return errno == EPERM ? OwnerNotKept() : Errno();
    }
    if (::fchmod(temp, e.st.st_mode & 07777) != 0) return Errno();
    ssize_t size = ::flistxattr(original, nullptr, 0);
    if (size < 0) return errno == ENOTSUP || errno == EOPNOTSUPP ? IoError{} : Errno();
    std::string names(static_cast<size_t>(size), '\0');
    size = ::flistxattr(original, names.data(), names.size());
    if (size < 0) return Errno();
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

  IoError Stage(Entry& e, std::string_view text, bool inPlace, const Fd& original) {
    if (!e.temp.empty()) Unstage(e);
    const std::string temp = NewTemp(e);
    const int folder = FolderFd(e);
    if (int err = Fault(DiskOp::Open, e.path)) return IoError{err};
    Fd fd(
        ::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok()) return Errno();
    std::string old;
    auto fail = [&](IoError err) {
      fd.Reset();
      ::unlinkat(folder, temp.c_str(), 0);
      if (!old.empty()) ::unlinkat(folder, old.c_str(), 0);
      return err;
    };
    if (IoError err = WriteOpenFile(fd.get(), text, [&] { return Fault(DiskOp::Write, e.path); }))
      return fail(err);
    if (inPlace) {
      // The text goes into the file itself at the commit, so that every name
      // of it sees the change; a copy of the old bytes allows undoing that.
      old = NewTemp(e);
      if (int err = Fault(DiskOp::Write, e.path)) return fail(IoError{err});
      Fd copy(::openat(folder, old.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600));
      if (!copy.ok()) return fail(Errno());
      if (int err = CopyInto(original.get(), copy.get(), static_cast<size_t>(e.st.st_size)))
        return fail(IoError{err});
      if (int err = copy.Close()) return fail(IoError{err});
      // A write drops file capabilities; they are set again after it.
      char cap[256];
      const ssize_t n = ::fgetxattr(original.get(), "security.capability", cap, sizeof cap);
      if (n > 0) e.capability = std::string(cap, static_cast<size_t>(n));
    } else if (IoError err = CopyMetadata(e, original.get(), fd.get())) {
      return fail(err);
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return fail(Errno());
    // No write-back is started here for each file (on a 1 GiB tree that
    // took a fifth more time than none); a batch of staged files is flushed
    // at once on a second thread, below.
    if (int err = fd.Close()) return fail(IoError{err});
    e.temp = temp;
    e.old = inPlace ? old : NewTemp(e);
    e.oldMade = inPlace;
    e.inPlace = inPlace;
    e.tempInode = st.st_ino;
    e.stagedSize = text.size();
    staged.push_back(static_cast<size_t>(&e - &entries[0]));
    unflushed += text.size();
    if (unflushed >= options.flushEvery) {
      unflushed = 0;
      flusher.Request(folder);
    }
    return IoError{};
  }

  // Swaps the staged file in (or writes it into the file), checking first
  // that the original is still the file that was read.
  IoError Apply(Entry& e) {
    const int folder = FolderFd(e);
    if (int err = Fault(DiskOp::Check, e.path)) return IoError{err};
    if (e.inPlace) {
      Fd target, temp;
      if (IoError err = OpenOriginal(e, O_WRONLY, &target)) return err;
      temp = Fd(::openat(folder, e.temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      if (!temp.ok()) return Errno();
      if (int err = Fault(DiskOp::Write, e.path)) return IoError{err};
      e.applied = Applied::Written;
      return WriteInto(e, temp.get(), target.get(), e.stagedSize);
    }
    struct stat st;
    if (::fstatat(folder, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? Changed() : Errno();
    if (!SameFile(st, e.st)) return Changed();
    if (int err = Fault(DiskOp::Rename, e.path)) return IoError{err};
    errno = EINVAL;
    if (options.exchange &&
        ::renameat2(folder, e.temp.c_str(), folder, e.name.c_str(), RENAME_EXCHANGE) == 0) {
      e.applied = Applied::Exchanged;
      // What went out must be the original; anything swapped in meanwhile
      // goes back.
      if (::fstatat(folder, e.temp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          st.st_ino != e.st.st_ino || st.st_dev != e.st.st_dev) {
        return Changed();
      }
      return IoError{};
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return Errno();
    // No swap on this file system: keep the original under a second name,
    // then rename the staged file over it.
    if (::linkat(folder, e.name.c_str(), folder, e.old.c_str(), 0) != 0) return Errno();
    e.oldMade = true;
    if (::fstatat(folder, e.old.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        st.st_ino != e.st.st_ino) {
      return Changed();
    }
    if (::renameat(folder, e.temp.c_str(), folder, e.name.c_str()) != 0) return Errno();
    e.applied = Applied::Renamed;
    return IoError{};
  }

  // Writes `size` bytes of `from` into the file `to` and makes them durable;
  // the permission bits stay (a write by an ordinary user clears setuid).
  IoError WriteInto(const Entry& e, int from, int to, size_t size) const {
    if (int err = CopyInto(from, to, size)) return IoError{err};
    if (::ftruncate(to, static_cast<off_t>(size)) != 0) return Errno();
    struct stat st;
    if (::fstat(to, &st) == 0 && (st.st_mode & 07777) != (e.st.st_mode & 07777))
      (void)::fchmod(to, e.st.st_mode & 07777);
    if (e.capability)
      (void)::fsetxattr(to, "security.capability", e.capability->data(), e.capability->size(), 0);
    if (int err = Fault(DiskOp::Flush, e.path)) return IoError{err};
    if (::fsync(to) != 0) return Errno();
    return IoError{};
  }

  // Undoes one applied entry; false when that failed.
  bool Undo(Entry& e) {
    const int folder = FolderFd(e);
    if (Fault(DiskOp::Rename, e.path)) return false;
    switch (e.applied) {
      case Applied::None:
        return true;
      case Applied::Exchanged:
        if (::renameat2(folder, e.temp.c_str(), folder, e.name.c_str(), RENAME_EXCHANGE) != 0)
          return false;
        break;
      case Applied::Renamed:
        if (::renameat(folder, e.old.c_str(), folder, e.name.c_str()) != 0) return false;
        e.oldMade = false;
        e.temp.clear();  // gone: renamed over the name and replaced again
        break;
      case Applied::Written: {
        Fd target(::openat(folder, e.name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        Fd old(::openat(folder, e.old.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!target.ok() || !old.ok() ||
            WriteInto(e, old.get(), target.get(), static_cast<size_t>(e.st.st_size)))
          return false;
        break;
      }
    }
    e.applied = Applied::None;
    return true;
  }

  // Makes the renames in the folders of `list` durable: a few folders are
  // flushed one by one; many with one flush of each file system (a folder's
  // flush costs a commit of the file system's journal each).
  FileFailure FlushFolders(const std::vector<size_t>& list) const {
    std::set<size_t> folderSet;
    for (const size_t i : list) folderSet.insert(entries[i].folder);
    std::set<dev_t> devices;
    for (const size_t i : folderSet) {
      const Folder& f = folders[i];
      if (folderSet.size() > kFlushEachUpTo && !devices.insert(f.st.st_dev).second) continue;
      if (int err = Fault(DiskOp::Flush, f.path)) return {f.path, IoError{err}};
      const int fd = f.fd.get();
      if ((folderSet.size() > kFlushEachUpTo ? ::syncfs(fd) : ::fsync(fd)) != 0)
        return {f.path, Errno()};
    }
    return {};
  }

  std::string JournalName() const {
    return std::string(kJournalMarker) + std::to_string(::getpid()) + "-" + token;
  }
};

Transaction::Transaction() : Transaction(Options{}) {}

Transaction::Transaction(Options options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  std::lock_guard lock(g_liveMutex);
  g_liveTokens.insert(state_->token);
}

Transaction::~Transaction() {
  Rollback();
  std::lock_guard lock(g_liveMutex);
  g_liveTokens.erase(state_->token);
}

std::optional<std::string> Transaction::Find(std::string_view path, std::string_view baseFolder) {
  return state_->base.Find(path, baseFolder);
}

std::optional<FileKey> Transaction::Key(const std::string& resolvedPath) {
  return state_->base.Key(resolvedPath);
}

std::optional<std::string> Transaction::Canonical(const std::string& path) {
  return state_->base.Canonical(path);
}

size_t Transaction::StagedCount() const {
  if (!state_->options.dryRun) return state_->staged.size();
  return static_cast<size_t>(std::count_if(state_->entries.begin(), state_->entries.end(),
                                           [](const State::Entry& e) { return e.dryText; }));
}

IoError Transaction::ReadAll(const std::string& resolvedPath, std::string* contents) {
  State& s = *state_;
  contents->clear();
  size_t index = 0;
  Fd fd;
  if (IoError e = s.Identify(resolvedPath, &index, &fd)) return e;
  State::Entry& e = s.entries[index];
  auto fault = [&] { return s.Fault(DiskOp::Read, resolvedPath); };
  if (e.dryText) {
    // A block at a time, each counted towards the next look at the stop flag.
    const std::string_view text(*e.dryText);
    contents->reserve(text.size());
    for (size_t at = 0; at < text.size(); at += kCancelStride) {
      const std::string_view block = text.substr(at, kCancelStride);
      if (CancelPending(block.size())) {
        contents->clear();
        return IoError{ECANCELED};
      }
      contents->append(block);
    }
    return IoError{};
  }
  if (!e.temp.empty()) {
    Fd temp(::openat(s.FolderFd(e), e.temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!temp.ok()) return Errno();
    return ReadOpenFile(temp.get(), e.stagedSize, contents, fault);
  }
  if (IoError err = ReadOpenFile(fd.get(), static_cast<size_t>(e.st.st_size), contents, fault))
    return err;
  // A file written to while it was read is not the file that was read.
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Errno();
  if (!SameFile(st, e.st) || contents->size() != static_cast<size_t>(e.st.st_size)) {
    contents->clear();
    return Changed();
  }
  return IoError{};
}

IoError Transaction::WriteAll(const std::string& resolvedPath, std::string_view contents) {
  State& s = *state_;
  size_t index = 0;
  if (auto it = s.byPath.find(resolvedPath); it != s.byPath.end()) {
    index = it->second;
  } else if (IoError e = s.Identify(resolvedPath, &index, nullptr)) {
    return e;
  }
  State::Entry& e = s.entries[index];
  const int folder = s.FolderFd(e);
  // Still the file that was read, and is there anything to change?
  if (int err = s.Fault(DiskOp::Check, resolvedPath)) return IoError{err};
  Fd original;
  if (IoError err = s.OpenOriginal(e, O_RDONLY, &original)) return err;
  if (HoldsText(original.get(), contents)) {
    if (!e.temp.empty()) s.Unstage(e);
    e.dryText.reset();
    return IoError{};
  }
  // A file whose permission bits grant no write is read-only, even for a
  // user who could override them; otherwise this user must be able to write
  // the file and its folder.
  if ((e.st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return IoError{EACCES};
  if (::faccessat(folder, e.name.c_str(), W_OK, 0) != 0) return Errno();
  if (::faccessat(folder, ".", W_OK | X_OK, 0) != 0) return Errno();
  struct stat now;
  if (::fstat(original.get(), &now) != 0) return Errno();
  const bool inPlace = now.st_nlink > 1;
  if (s.options.dryRun) {
    if (!inPlace && ::geteuid() != 0 && (e.st.st_uid != ::geteuid() || !InGroup(e.st.st_gid)))
      return OwnerNotKept();
    // Kept a block at a time, each counted towards the next look at the
    // stop flag of the run.
    e.dryText.emplace();
    e.dryText->reserve(contents.size());
    for (size_t at = 0; at < contents.size(); at += kCancelStride) {
      if (CancelPending(std::min(kCancelStride, contents.size() - at))) {
        e.dryText.reset();
        return IoError{ECANCELED};
      }
      e.dryText->append(contents.substr(at, kCancelStride));
    }
    return IoError{};
  }
  return s.Stage(e, contents, inPlace, original);
}

void Transaction::Rollback() {
  State& s = *state_;
  s.flusher.Stop();
  std::vector<std::pair<int, std::string>> staged;
  for (const size_t i : s.staged) {
    State::Entry& e = s.entries[i];
    if (!e.temp.empty() && !s.Fault(DiskOp::Remove, e.path))
      staged.emplace_back(s.FolderFd(e), e.temp);
    if (e.oldMade && !s.Fault(DiskOp::Remove, e.path)) staged.emplace_back(s.FolderFd(e), e.old);
    e.temp.clear();
    e.old.clear();
    e.oldMade = false;
    e.applied = State::Applied::None;
  }
  s.staged.clear();
  RemoveMany(staged);
  for (State::Entry& e : s.entries) e.dryText.reset();
}

Transaction::CommitResult Transaction::Commit() {
  State& s = *state_;
  CommitResult result;
  if (s.options.dryRun || s.staged.empty()) return result;
  const std::vector<size_t> order = s.staged;
  auto stop = [&](FileFailure failure) {
    Rollback();
    result.failure = std::move(failure);
    return result;
  };

  // Every original must still be the file that was read, and every staged
  // file still ours.
  for (const size_t i : order) {
    const State::Entry& e = s.entries[i];
    if (int err = s.Fault(DiskOp::Check, e.path)) return stop({e.path, IoError{err}});
    struct stat st, temp;
    if (::fstatat(s.FolderFd(e), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(st, e.st)) {
      return stop({e.path, Changed()});
    }
    if (::fstatat(s.FolderFd(e), e.temp.c_str(), &temp, AT_SYMLINK_NOFOLLOW) != 0 ||
        temp.st_ino != e.tempInode) {
      return stop({e.path, IoError{ENOENT, "its staged copy is gone"}});
    }
  }

  // The staged files durable: a few are flushed one by one; many with one
  // flush of each file system (which also waits for other programs' data).
  s.flusher.Stop();
  if (order.size() <= State::kFlushEachUpTo) {
    for (const size_t i : order) {
      const State::Entry& e = s.entries[i];
      if (int err = s.Fault(DiskOp::Flush, e.path)) return stop({e.path, IoError{err}});
      Fd temp(::openat(s.FolderFd(e), e.temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      if (!temp.ok() || ::fsync(temp.get()) != 0) return stop({e.path, Errno()});
    }
  } else {
    std::set<dev_t> devices;
    for (const size_t i : order) {
      const State::Entry& e = s.entries[i];
      const State::Folder& f = s.folders[e.folder];
      if (!devices.insert(f.st.st_dev).second) continue;
      if (int err = s.Fault(DiskOp::Flush, f.path)) return stop({f.path, IoError{err}});
      if (::syncfs(f.fd.get()) != 0) return stop({f.path, Errno()});
    }
  }

  // The journal, durable before the first original changes.
  size_t journalFolder = 0;
  if (IoError err = s.OpenFolder(s.options.journalFolder, &journalFolder))
    return stop({s.options.journalFolder, err});
  const int jdir = s.folders[journalFolder].fd.get();
  const std::string journalName = s.JournalName();
  const std::string journalPath = s.folders[journalFolder].path + "/" + journalName;
  std::vector<JournalEntry> records;
  for (const size_t i : order) {
    const State::Entry& e = s.entries[i];
    const State::Folder& f = s.folders[e.folder];
    records.push_back({e.inPlace ? 'W' : 'R', f.path, e.name, e.temp, e.old,
                       static_cast<uint64_t>(f.st.st_dev), static_cast<uint64_t>(f.st.st_ino),
                       static_cast<uint64_t>(e.st.st_ino), static_cast<uint64_t>(e.tempInode),
                       e.stagedSize, e.capability.value_or("")});
  }
  auto removeJournal = [&] {
    if (!s.Fault(DiskOp::Remove, journalPath)) ::unlinkat(jdir, journalName.c_str(), 0);
  };
  {
    if (int err = s.Fault(DiskOp::Journal, journalPath)) return stop({journalPath, IoError{err}});
    Fd journal(::openat(jdir, journalName.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!journal.ok()) return stop({journalPath, Errno()});
    IoError err = WriteOpenFile(journal.get(), EncodeJournal(records),
                                [&] { return s.Fault(DiskOp::Journal, journalPath); });
    if (!err) {
      if (int f = s.Fault(DiskOp::Flush, journalPath)) {
        err = IoError{f};
      } else if (::fsync(journal.get()) != 0 || ::fsync(jdir) != 0) {
        err = Errno();
      }
    }
    if (!err) {
      if (int c = journal.Close()) err = IoError{c};
    }
    if (err) {
      journal.Reset();
      ::unlinkat(jdir, journalName.c_str(), 0);
      return stop({journalPath, err});
    }
  }

  // Renames first, then the files written in place.
  std::vector<size_t> applyOrder;
  for (const bool inPlace : {false, true}) {
    for (const size_t i : order) {
      if (s.entries[i].inPlace == inPlace) applyOrder.push_back(i);
    }
  }
  FileFailure failure;
  for (const size_t i : applyOrder) {
    State::Entry& e = s.entries[i];
    if (IoError err = s.Apply(e)) {
      failure = {e.path, err};
      break;
    }
  }
  if (!failure) failure = s.FlushFolders(order);
  if (failure) {
    // Undo what was done; where even that fails, the journal stays and the
    // next run completes the commit.
    bool undone = true;
    for (auto it = applyOrder.rbegin(); it != applyOrder.rend(); ++it) {
      undone = s.Undo(s.entries[*it]) && undone;
    }
    if (undone && !s.FlushFolders(order)) {
      removeJournal();
      return stop(std::move(failure));
    }
    result.failure = std::move(failure);
    result.pending = true;
    for (const size_t i : order) s.entries[i].temp.clear();
    s.staged.clear();
    return result;
  }

  // Done: the journal and the old bytes go.
  removeJournal();
  std::vector<std::pair<int, std::string>> leftovers;
  for (const size_t i : order) {
    State::Entry& e = s.entries[i];
    const bool tempLeft = e.applied == State::Applied::Exchanged || e.inPlace;
    if (tempLeft && !s.Fault(DiskOp::Remove, e.path)) leftovers.emplace_back(s.FolderFd(e), e.temp);
    if (e.oldMade && !s.Fault(DiskOp::Remove, e.path)) leftovers.emplace_back(s.FolderFd(e), e.old);
    e.temp.clear();
    e.old.clear();
    e.oldMade = false;
    e.applied = State::Applied::None;
  }
  s.staged.clear();
  RemoveMany(leftovers);
  return result;
}

FileFailure Transaction::Recover(const std::string& folderPath, const FaultHook& hook) {
  auto fault = [&](DiskOp op, const std::string& path) { return hook ? hook(op, path) : 0; };
  const std::string folder = folderPath.empty() ? "." : folderPath;
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.ok()) return {};  // no folder, nothing to recover; the run will say more
  std::vector<std::string> journals;
  {
    DIR* list = ::fdopendir(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (list) {
      while (const dirent* entry = ::readdir(list)) {
        const std::optional<Maker> maker = MakerOf(entry->d_name, kJournalMarker, false);
        if (maker && !MakerAlive(*maker)) journals.emplace_back(entry->d_name);
      }
      ::closedir(list);
    }
  }
  for (const std::string& journalName : journals) {
    const std::string journalPath = folder + "/" + journalName;
    if (int err = fault(DiskOp::Open, journalPath)) return {journalPath, IoError{err}};
    Fd journal(::openat(dir.get(), journalName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!journal.ok()) return {journalPath, Errno()};
    std::string text;
    struct stat st;
    if (::fstat(journal.get(), &st) != 0) return {journalPath, Errno()};
    if (IoError err = ReadOpenFile(journal.get(), static_cast<size_t>(st.st_size), &text,
                                   [&] { return fault(DiskOp::Read, journalPath); }))
      return {journalPath, err};
    const std::optional<std::vector<JournalEntry>> entries = DecodeJournal(text);
    std::vector<Fd> touched;
    auto removeOurs = [&](int fd, const std::string& base, const std::string& name) {
      if (name.empty() || !IsOurTempName(name)) return;
      if (fault(DiskOp::Remove, base + "/" + name)) return;
      ::unlinkat(fd, name.c_str(), 0);
    };
    if (!entries) {
      // Cut short before it was flushed: no original was touched. Its
      // staged files are those of a dead run: removed below or by the run
      // that meets them.
      if (int err = fault(DiskOp::Remove, journalPath)) return {journalPath, IoError{err}};
      ::unlinkat(dir.get(), journalName.c_str(), 0);
      continue;
    }
    // Complete each recorded replacement that has not happened.
    for (const JournalEntry& e : *entries) {
      Fd f(::open(e.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      struct stat fst;
      if (!f.ok() || ::fstat(f.get(), &fst) != 0 || fst.st_dev != e.device ||
          fst.st_ino != e.folderInode) {
        continue;  // the folder is gone or moved: nothing to complete
      }
      const std::string path = e.folder + "/" + e.name;
      struct stat name, temp;
      const bool hasName = ::fstatat(f.get(), e.name.c_str(), &name, AT_SYMLINK_NOFOLLOW) == 0;
      const bool hasTemp = ::fstatat(f.get(), e.temp.c_str(), &temp, AT_SYMLINK_NOFOLLOW) == 0 &&
                           temp.st_ino == e.newInode;
      if (e.kind == 'R') {
        if (hasTemp && (!hasName || name.st_ino == e.inode)) {
          if (int err = fault(DiskOp::Rename, path)) return {path, IoError{err}};
          if (::renameat(f.get(), e.temp.c_str(), f.get(), e.name.c_str()) != 0)
            return {path, Errno()};
        }
      } else if (hasTemp && hasName && name.st_ino == e.inode) {
        if (int err = fault(DiskOp::Write, path)) return {path, IoError{err}};
        Fd target(::openat(f.get(), e.name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        Fd from(::openat(f.get(), e.temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!target.ok() || !from.ok()) return {path, Errno()};
        if (int err = CopyInto(from.get(), target.get(), e.newSize)) return {path, IoError{err}};
        if (::ftruncate(target.get(), static_cast<off_t>(e.newSize)) != 0) return {path, Errno()};
        if (!e.capability.empty()) {
          (void)::fsetxattr(target.get(), "security.capability", e.capability.data(),
                            e.capability.size(), 0);
        }
        if (int err = fault(DiskOp::Flush, path)) return {path, IoError{err}};
        if (::fsync(target.get()) != 0) return {path, Errno()};
      }
      touched.push_back(std::move(f));
    }
    // Each folder once; many at once with one flush of their file system.
    std::set<std::pair<dev_t, ino_t>> flushed;
    std::set<dev_t> synced;
    const bool many = touched.size() > State::kFlushEachUpTo;
    for (const Fd& f : touched) {
      struct stat fst;
      if (::fstat(f.get(), &fst) != 0) return {folder, Errno()};
      if (!flushed.insert({fst.st_dev, fst.st_ino}).second) continue;
      if (many && !synced.insert(fst.st_dev).second) continue;
      if (int err = fault(DiskOp::Flush, folder)) return {folder, IoError{err}};
      if ((many ? ::syncfs(f.get()) : ::fsync(f.get())) != 0) return {folder, Errno()};
    }
    if (int err = fault(DiskOp::Remove, journalPath)) return {journalPath, IoError{err}};
    if (::unlinkat(dir.get(), journalName.c_str(), 0) != 0) return {journalPath, Errno()};
    // The old bytes and staged copies that remain.
    for (const JournalEntry& e : *entries) {
      Fd f(::open(e.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!f.ok()) continue;
      removeOurs(f.get(), e.folder, e.temp);
      removeOurs(f.get(), e.folder, e.old);
    }
  }
  RemoveStaleTemps(dir.get(), folder, fault);
  return {};
}

}  // namespace kv
