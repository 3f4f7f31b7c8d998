#include "disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "cancel.h"
#include "string_functions.h"
#include "transaction_os.h"

// Linux 5.14 and later; older kernels refuse them and the pages fault in.
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace kv {

std::string NativePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

namespace {

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The one entry of `folder` whose name equals `name` without regard to ASCII
// case; nullopt when there is none or more than one.
std::optional<std::string> FindEntryNoCase(const std::string& folder, const std::string& name) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()),
                                          &::closedir);
  if (!dir) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view entryName(entry->d_name);
    if (!EqualsNoCase(entryName, name)) continue;
    if (found) return std::nullopt;  // ambiguous
    found = std::string(entryName);
  }
  return found;
}

}  // namespace

std::optional<std::string> RealDisk::RealPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    errno = ENOENT;
    return std::nullopt;
  }
  // The engines ask for the same file twice in a row (whether it lies within
  // the project's folder, then to read it): the last answer is kept.
  if (lastReal_ && lastReal_->first == path) return lastReal_->second;
  std::optional<std::string> real = RealPathOf(path);
  if (real) {
    lastReal_.emplace(path, *real);
  } else {
    lastReal_.reset();
  }
  return real;
}

std::optional<std::string> RealDisk::RealPathOf(const std::string& path) {
  auto whole = [&]() -> std::optional<std::string> {
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) return std::nullopt;
    return std::string(real);
  };
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return whole();
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  auto it = realFolders_.find(folder);
  if (it == realFolders_.end()) {
    char real[PATH_MAX];
    if (!::realpath(folder.c_str(), real)) return std::nullopt;
    it = realFolders_.emplace(folder, real).first;
  }
  std::string joined = it->second;
  if (joined.back() != '/') joined += '/';
  joined += name;
  if (lastFound_ && lastFound_->plain && lastFound_->path == path) {
    lastFound_->plain = false;
    return joined;
  }
  struct stat st;
  if (::lstat(joined.c_str(), &st) != 0) return std::nullopt;
  if (S_ISLNK(st.st_mode)) return whole();
  return joined;
}

std::optional<std::string> RealDisk::Canonical(const std::string& path) { return RealPath(path); }

std::optional<std::string> RealDisk::Find(std::string_view path, std::string_view baseFolder) {
  lastFound_.reset();
  // A NUL would cut the path short when handed to the system: the rest
  // could name another file. No file's name holds one.
  if (path.find('\0') != std::string_view::npos ||
      baseFolder.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  std::string rel = NativePath(path);
  if (rel.empty()) return std::nullopt;
  std::string full;
  if (rel.front() == '/' || baseFolder.empty()) {
    full = rel;
  } else {
    full = NativePath(baseFolder);
    if (full.back() != '/') full += '/';
    full += rel;
  }
  // No longer path names a file; the walk below would also cost the square
  // of the length.
  if (full.size() >= PATH_MAX) return std::nullopt;
  // The name itself first: a regular file there needs no second status when
  // the engine asks for its real path; a link is followed.
  struct stat st {};
  bool found = false, plain = false;
  if (!full.empty() && ::lstat(full.c_str(), &st) == 0) {
    plain = S_ISREG(st.st_mode);
    found = plain || (S_ISLNK(st.st_mode) && ::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode));
  }
  if (found) {
    // An engine asks for the file's key right after finding it.
    lastFound_ =
        Found{full, FileKey{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)},
              true, plain};
    return full;
  }

  // Walk the components, letting a component differ in letter case from the
  // one entry that matches it.
  std::string current = full.front() == '/' ? "/" : "";
  size_t pos = 0;
  while (pos < full.size()) {
    size_t next = full.find('/', pos);
    if (next == std::string::npos) next = full.size();
    const std::string component = full.substr(pos, next - pos);
    pos = next + 1;
    if (component.empty()) continue;
    std::string candidate = current + component;
    if (component != "." && component != ".." && !Exists(candidate)) {
      const std::optional<std::string> entry = FindEntryNoCase(current, component);
      if (!entry) return std::nullopt;
      candidate = current + *entry;
    }
    current = candidate;
    if (pos < full.size()) current += '/';
  }
  if (IsRegularFile(current)) return current;
  return std::nullopt;
}

std::optional<FileKey> RealDisk::Key(const std::string& resolvedPath) {
  if (lastFound_ && lastFound_->keyLeft && lastFound_->path == resolvedPath) {
    lastFound_->keyLeft = false;
    return lastFound_->key;
  }
  struct stat st;
  if (::stat(resolvedPath.c_str(), &st) != 0) return std::nullopt;
  return FileKey{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

IoError RealDisk::ReadAll(const std::string& resolvedPath, std::string* contents) {
  contents->clear();
  if (int e = Fault(DiskOp::Open, resolvedPath)) return IoError{e};
  // Owned as the transaction owns its files.
  const os::Node f(::open(resolvedPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (!f.ok()) return IoError{errno};
  const int fd = static_cast<int>(f.get());
  struct stat st;
  if (::fstat(fd, &st) != 0) return IoError{errno};
  if (S_ISDIR(st.st_mode)) return IoError{EISDIR};
  const size_t expected =
      S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  return ReadOpenFile(fd, expected, contents, [&] { return Fault(DiskOp::Read, resolvedPath); });
}

namespace {

// A mapped file that shrinks while it is copied raises SIGBUS; the copy then
// fails like a read instead of ending the process.
thread_local sigjmp_buf* t_busJump = nullptr;
struct sigaction g_previousBus;

// The mappings handed out by MapOpenFile, which the engines read in place: a
// page past the end of a file that shrank is replaced by a page of zeros and
// the mapping marked as lost, instead of ending the process.
struct MapSlot {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<std::atomic<bool>*> lost{nullptr};
};
constexpr size_t kMapSlots = 64;
MapSlot g_mapSlots[kMapSlots];
std::mutex g_mapSlotsMutex;

bool RescueMapping(void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  for (MapSlot& slot : g_mapSlots) {
    const uintptr_t begin = slot.begin.load();
    const uintptr_t end = slot.end.load();
    if (begin == 0 || at < begin || at >= end) continue;
    static const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t from = at & ~(page - 1);
    if (::mmap(reinterpret_cast<void*>(from), end - from, PROT_READ,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) {
      return false;
    }
    if (std::atomic<bool>* lost = slot.lost.load()) lost->store(true);
    return true;
  }
  return false;
}

extern "C" void OnBusError(int sig, siginfo_t* info, void* context) {
  if (t_busJump) siglongjmp(*t_busJump, 1);
  if (info && RescueMapping(info->si_addr)) return;
  if (g_previousBus.sa_flags & SA_SIGINFO) {
    if (g_previousBus.sa_sigaction) return g_previousBus.sa_sigaction(sig, info, context);
  } else if (g_previousBus.sa_handler != SIG_DFL && g_previousBus.sa_handler != SIG_IGN) {
    return g_previousBus.sa_handler(sig);
  }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void InstallBusHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previousBus);
  });
}

// Files from kMapFrom on are mapped and copied, which costs a third of
// reading them into a zero-filled string.
constexpr size_t kReadPiece = size_t{8} << 20;

// From this size on, a second thread makes half the pages present while the
// first copies the other half.
constexpr size_t kShareFrom = size_t{32} << 20;

// Makes the pages wholly inside [begin, begin + size) present, as `advice`
// (MADV_POPULATE_READ or _WRITE) asks, a piece at a time until done or until
// `stop` is raised. A kernel without the advice leaves them to page faults.
void MakePresent(const char* begin, size_t size, int advice, const std::atomic<bool>& stop) {
  static const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  uintptr_t at = (reinterpret_cast<uintptr_t>(begin) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(begin) + size) & ~(page - 1);
  constexpr uintptr_t kPiece = uintptr_t{4} << 20;
  while (at < end && !stop.load(std::memory_order_relaxed)) {
    const uintptr_t n = std::min(kPiece, end - at);
    if (::madvise(reinterpret_cast<void*>(at), n, advice) != 0) return;
    at += n;
  }
}

// Copies `size` bytes of the mapped file into `out`, which has room for them,
// a block at a time, each counted towards the next look at the stop flag of
// the run. 0, EIO when the file shrank meanwhile, or ECANCELED.
int CopyMapped(const char* from, size_t size, std::string* out) {
  sigjmp_buf jump;
  if (sigsetjmp(jump, 1) != 0) {
    t_busJump = nullptr;
    return EIO;
  }
  t_busJump = &jump;
  for (size_t at = 0; at < size; at += kCancelStride) {
    const size_t n = std::min(kCancelStride, size - at);
    if (CancelPending(n)) {
      t_busJump = nullptr;
      return ECANCELED;
    }
    out->append(from + at, n);
  }
  t_busJump = nullptr;
  return 0;
}

}  // namespace

IoError ReadOpenFile(int fd, size_t sizeHint, std::string* contents,
                     const std::function<int()>& fault, bool untilEnd) {
  contents->clear();
  size_t have = 0;
  if (sizeHint > 0) {
    // Spare room beyond the text (never touched, so it costs no memory) lets
    // a migration that lengthens the text do so in place.
    contents->reserve(sizeHint + sizeHint / 8 + 256);
    if (sizeHint >= kMapFrom) {
      if (int e = fault()) return IoError{e};
      void* map = ::mmap(nullptr, sizeHint, PROT_READ, MAP_PRIVATE, fd, 0);
      if (map != MAP_FAILED) {
        InstallBusHandler();
        // The pages of the mapping and of the text are made present before
        // the copy, in calls of a few MiB, which costs a third less than a
        // page fault for each; for a large file a second thread does half of
        // them meanwhile. (No huge pages: on a virtual machine that hands
        // free memory back to its host, they are the blocks slowest to touch
        // again.)
        const char* const from = static_cast<const char*>(map);
        const char* const to = contents->data();
        std::atomic<bool> stop{false};
        const size_t half = sizeHint >= kShareFrom ? sizeHint / 2 : sizeHint;
        int copied = 0;
        const auto lower = [&] {
          MakePresent(from, half, MADV_POPULATE_READ, stop);
          MakePresent(to, half, MADV_POPULATE_WRITE, stop);
          copied = CopyMapped(from, half, contents);
          if (copied != 0) stop = true;
        };
        if (half < sizeHint) {
          InParallel(lower, [&] {
            MakePresent(from + half, sizeHint - half, MADV_POPULATE_READ, stop);
            MakePresent(to + half, sizeHint - half, MADV_POPULATE_WRITE, stop);
          });
          if (copied == 0) copied = CopyMapped(from + half, sizeHint - half, contents);
        } else {
          lower();
        }
        ::munmap(map, sizeHint);
        if (copied != 0) {
          contents->clear();
          if (copied == ECANCELED) return IoError{ECANCELED};
          return IoError{EIO, "the file shrank while it was read"};
        }
        have = sizeHint;
        if (::lseek(fd, static_cast<off_t>(have), SEEK_SET) < 0) {
          const int e = errno;
          contents->clear();
          return IoError{e};
        }
      }
    }
    if (have == 0) contents->resize(sizeHint);
  }
  char more[64 * 1024];
  for (;;) {
    if (int e = fault()) {
      contents->clear();
      return IoError{e};
    }
    // Up to the size the file had when opened, then in chunks until the end
    // (a file that grew meanwhile, or one whose size is not known).
    const bool direct = have < contents->size();
    // A caller that checks the file's size afterwards needs no read of its end.
    if (!direct && !untilEnd && sizeHint > 0 && have == sizeHint) break;
    // A large file is read in pieces, each counted towards the next look at
    // the stop flag of the run.
    const size_t want = direct ? std::min(kReadPiece, contents->size() - have) : sizeof more;
    if (CancelPending(want)) {
      contents->clear();
      return IoError{ECANCELED};
    }
    const ssize_t got = ::read(fd, direct ? contents->data() + have : more, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      contents->clear();
      return IoError{e};
    }
    if (got == 0) break;
    if (direct) {
      have += static_cast<size_t>(got);
    } else {
      contents->append(more, static_cast<size_t>(got));
      have = contents->size();
    }
  }
  contents->resize(have);
  return IoError{};
}

namespace {

// A mapping handed out by MapOpenFile: registered for the SIGBUS rescue for
// as long as it lives.
class FileMapping : public MappedText::Mapping {
 public:
  FileMapping(void* map, size_t size) : map_(map), size_(size) {
    std::lock_guard lock(g_mapSlotsMutex);
    for (size_t i = 0; i < kMapSlots; ++i) {
      if (g_mapSlots[i].begin.load() != 0) continue;
      g_mapSlots[i].lost = &lost;
      g_mapSlots[i].end = reinterpret_cast<uintptr_t>(map) + size;
      g_mapSlots[i].begin = reinterpret_cast<uintptr_t>(map);
      slot_ = static_cast<int>(i);
      break;
    }
  }
  ~FileMapping() override {
    if (slot_ >= 0) {
      std::lock_guard lock(g_mapSlotsMutex);
      g_mapSlots[slot_].begin = 0;
      g_mapSlots[slot_].end = 0;
      g_mapSlots[slot_].lost = nullptr;
    }
    ::munmap(map_, size_);
  }
  bool registered() const { return slot_ >= 0; }

 private:
  void* map_;
  size_t size_;
  int slot_ = -1;
};

}  // namespace

bool MapOpenFile(int fd, size_t size, MappedText* text) {
  text->Reset();
  if (size == 0) {
    errno = EINVAL;
    return false;
  }
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) return false;
  InstallBusHandler();
  auto mapping = std::make_shared<FileMapping>(map, size);
  if (!mapping->registered()) {
    // Too many mappings at once: the caller reads the file instead.
    errno = ENOMEM;
    return false;
  }
  // The file's pages are already in the page cache: made present in the
  // mapping in calls of a few MiB (two threads for a large file), they cost
  // no fresh memory and no page fault each.
  const char* const from = static_cast<const char*>(map);
  std::atomic<bool> stop{false};
  if (size >= kShareFrom) {
    const size_t half = size / 2;
    InParallel([&] { MakePresent(from, half, MADV_POPULATE_READ, stop); },
               [&] { MakePresent(from + half, size - half, MADV_POPULATE_READ, stop); });
  } else {
    MakePresent(from, size, MADV_POPULATE_READ, stop);
  }
  text->Hold(std::move(mapping), std::string_view(from, size));
  return true;
}

IoError WriteOpenFile(int fd, const EditedText& text, const std::function<int()>& fault) {
  constexpr size_t kChunk = size_t{4} << 20;
  // From this size on, each chunk is handed to the disk once written.
  constexpr size_t kEarlyFrom = size_t{16} << 20;
  // The most one write call hands the kernel. Larger calls let the page cache
  // take large blocks of memory for the new file, which on some virtual
  // machines are the blocks handed back to the host and slow to touch again;
  // calls of this size cost nothing more and keep a copy of a large file as
  // fast as cp's.
  constexpr size_t kWriteCall = size_t{256} << 10;
  const size_t total = text.size();
  const bool early = total >= kEarlyFrom;
  size_t done = 0;
  size_t chunkBegin = 0;
  size_t chunkEnd = 0;
  const auto handOver = [&] {
    if (early && chunkEnd > chunkBegin) {
      ::sync_file_range(fd, static_cast<off_t>(chunkBegin),
                        static_cast<off_t>(chunkEnd - chunkBegin), SYNC_FILE_RANGE_WRITE);
    }
  };
  // The pieces come from the text's own bytes (a mapping of the file read,
  // say) or from a small buffer reused for every piece: the text is never
  // built in fresh memory.
  const int failed = text.ForEachPiece([&](std::string_view piece) -> int {
    while (!piece.empty()) {
      if (done == chunkEnd) {
        handOver();
        if (done >= total) return EIO;  // more bytes than the text's size
        if (int e = fault()) return e;
        chunkBegin = done;
        chunkEnd = done + std::min(kChunk, total - done);
        if (CancelPending(chunkEnd - done)) return ECANCELED;
      }
      const size_t n = std::min({piece.size(), chunkEnd - done, kWriteCall});
      const ssize_t put = ::write(fd, piece.data(), n);
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (put == 0) return EIO;
      done += static_cast<size_t>(put);
      piece.remove_prefix(static_cast<size_t>(put));
    }
    return 0;
  });
  if (failed != 0) return IoError{failed};
  handOver();
  return IoError{};
}

IoError WriteOpenFile(int fd, std::string_view text, const std::function<int()>& fault) {
  return WriteOpenFile(fd, EditedText{text, {}}, fault);
}

IoError CheckWritable(const std::string& resolvedPath, unsigned) {
  char real[PATH_MAX];
  if (!::realpath(resolvedPath.c_str(), real)) return IoError{errno};
  struct stat st;
  if (::stat(real, &st) != 0) return IoError{errno};
  if (!S_ISREG(st.st_mode)) return IoError{EISDIR};
  // No write bit at all means read-only, even for a user who could override it.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return IoError{EACCES};
  if (::access(real, W_OK) != 0) return IoError{errno};
  std::string folder(real);
  folder.erase(folder.rfind('/') + 1);
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return IoError{errno};
  return IoError{};
}

IoError RealDisk::WriteAll(const std::string& resolvedPath, std::string_view contents) {
  // Replace the file a symlink points to, so that the link stays a link.
  char real[PATH_MAX];
  if (!::realpath(resolvedPath.c_str(), real)) return IoError{errno};
  const std::string target(real);
  if (IoError e = CheckWritable(target)) return e;
  struct stat st;
  if (::stat(target.c_str(), &st) != 0) return IoError{errno};

  const size_t slash = target.rfind('/');
  const std::string folder = target.substr(0, slash + 1);
  // The temporary name carries the target's name, cut where needed so that the
  // whole stays within the longest name a folder entry may have.
  std::string stem = target.substr(slash + 1);
  const size_t room = NAME_MAX - 1 - kTempMarker.size() - 6;
  if (stem.size() > room) stem.resize(room);
  std::string temp = folder + "." + stem + std::string(kTempMarker) + "XXXXXX";

  if (int e = Fault(DiskOp::Open, target)) return IoError{e};
  os::Node f(::mkostemp(temp.data(), O_CLOEXEC));
  if (!f.ok()) return IoError{errno};
  const int fd = static_cast<int>(f.get());

  auto fail = [&](int code) {
    f.Close();
    ::unlink(temp.c_str());
    return IoError{code};
  };

  const IoError written = WriteOpenFile(fd, contents, [&] { return Fault(DiskOp::Write, target); });
  if (written) return fail(written.code);
  if (::fchmod(fd, st.st_mode & 07777) != 0) return fail(errno);
  if (::geteuid() == 0) {
    // Keep the owner where we may set it; a failure here is not worth a lost run.
    (void)!::fchown(fd, st.st_uid, st.st_gid);
  }
  if (int e = Fault(DiskOp::Flush, target)) return fail(e);
  if (::fsync(fd) != 0) return fail(errno);
  if (const int e = f.Close()) return fail(e);
  if (int e = Fault(DiskOp::Rename, target)) return fail(e);
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail(errno);

  // Make the rename itself durable.
  const os::Node dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.ok()) ::fsync(static_cast<int>(dir.get()));
  return IoError{};
}

}  // namespace kv

namespace kv {

std::optional<std::vector<Disk::FolderEntry>> Disk::ListFolder(const std::string& folder) {
  const std::string name = folder.empty() ? std::string(".") : NativePath(folder);
  DIR* dir = ::opendir(name.c_str());
  if (!dir) return std::nullopt;
  std::vector<FolderEntry> entries;
  while (const dirent* d = ::readdir(dir)) {
    const std::string_view entry(d->d_name);
    if (entry == "." || entry == "..") continue;
    struct stat st {};
    FolderEntry::Kind kind = FolderEntry::Kind::Other;
    if (::fstatat(::dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(st.st_mode)) {
        kind = FolderEntry::Kind::Folder;
      } else if (S_ISREG(st.st_mode) ||
                 (S_ISLNK(st.st_mode) && ::fstatat(::dirfd(dir), d->d_name, &st, 0) == 0 &&
                  S_ISREG(st.st_mode))) {
        kind = FolderEntry::Kind::File;
      }
    }
    entries.push_back(FolderEntry{std::string(entry), kind});
  }
  ::closedir(dir);
  return entries;
}

}  // namespace kv
