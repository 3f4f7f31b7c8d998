// The run's transaction, on every platform: the bookkeeping of the files a
// run reads and stages, the commit in named phases, its undo, and the
// recovery of a commit that a kill cut short. The platform's operations are
// in private/transaction_os.h.
//
// Nothing found in a folder is trusted: a journal is used only when it is a
// regular file of this user's, not writable by others, with one name and of
// a size we could have written, and when every name it records is a plain
// name of ours; a staged or temporary file is renamed, written or removed
// only when it passes the same checks just before. Files that fail are left
// alone and named.
#include "transaction.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <set>

#include "cancel.h"
#include "index_table.h"
#include "journal.h"
#include "private/transaction_os.h"

namespace kv {

using os::Dir;
using os::FileInfo;
using os::Node;

namespace {

#ifdef ESTALE
constexpr int kChangedCode = ESTALE;
#else
constexpr int kChangedCode = EBUSY;  // Windows' C library has no ESTALE
#endif

const IoError& Changed() {
  static const IoError e{kChangedCode, "the file changed during the run"};
  return e;
}

// Transactions of this process that are alive, by token.
std::mutex g_liveMutex;
std::set<std::string> g_liveTokens;

std::string Hex16(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::string NewToken() {
  std::random_device seed;
  return Hex16((uint64_t{seed()} << 32) ^ seed());
}

// "<pid>-<token>", or on Windows "<pid>-<creation>-<token>".
std::string MakerText(const os::Maker& m) {
  return std::to_string(m.pid) + "-" + (os::kMakerHasCreation ? Hex16(m.created) + "-" : "") +
         m.token;
}

// The maker text at the start of `rest`, then, for a temporary file's name,
// "-" and a serial number; nothing else may follow.
std::optional<os::Maker> ParseMaker(std::string_view rest, bool temp) {
  os::Maker m;
  size_t i = 0;
  for (; i < rest.size() && i < 10 && rest[i] >= '0' && rest[i] <= '9'; ++i)
    m.pid = m.pid * 10 + static_cast<uint64_t>(rest[i] - '0');
  if (i == 0 || m.pid > 0xffffffffu || i >= rest.size() || rest[i] != '-') return std::nullopt;
  rest = rest.substr(i + 1);
  auto hex = [&](std::string* out) {
    if (rest.size() < 16) return false;
    for (size_t k = 0; k < 16; ++k) {
      const char c = rest[k];
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    *out = std::string(rest.substr(0, 16));
    rest = rest.substr(16);
    return true;
  };
  if (os::kMakerHasCreation) {
    std::string created;
    if (!hex(&created) || rest.empty() || rest.front() != '-') return std::nullopt;
    m.created = std::strtoull(created.c_str(), nullptr, 16);
    rest = rest.substr(1);
  }
  if (!hex(&m.token)) return std::nullopt;
  if (!temp) return rest.empty() ? std::optional(m) : std::nullopt;
  if (rest.size() < 2 || rest.size() > 11 || rest.front() != '-') return std::nullopt;
  for (const char c : rest.substr(1)) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  return m;
}

// A temporary file's name: "." + the start of the original's name + the
// marker + the maker + "-<serial>"; `stem` gets that start.
std::optional<os::Maker> MakerOfTemp(std::string_view name, std::string_view* stem = nullptr) {
  const size_t at = name.rfind(Transaction::kTempMarker);
  if (name.size() < 2 || name.front() != '.' || at == name.npos || at < 2) return std::nullopt;
  if (stem) *stem = name.substr(1, at - 1);
  return ParseMaker(name.substr(at + Transaction::kTempMarker.size()), true);
}

std::optional<os::Maker> MakerOfJournal(std::string_view name) {
  if (!name.starts_with(Transaction::kJournalMarker)) return std::nullopt;
  return ParseMaker(name.substr(Transaction::kJournalMarker.size()), false);
}

bool Alive(const os::Maker& m) {
  const os::Maker self = os::Self();
  if (m.pid == self.pid && (!os::kMakerHasCreation || m.created == self.created)) {
    std::lock_guard lock(g_liveMutex);
    return g_liveTokens.count(m.token) != 0;
  }
  return os::ProcessAlive(m);
}

// A name of an entry of a folder: no separator, not "." or "..".
bool PlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == name.npos;
}

// Our name for a new temporary file beside `name`: the name's start, cut so
// that the whole stays within the longest name a folder entry may have (and
// on a character's boundary).
std::string TempName(const std::string& name, const std::string& maker, unsigned serial) {
  const std::string tail =
      std::string(Transaction::kTempMarker) + maker + "-" + std::to_string(serial);
  std::string stem = name;
  const size_t room = 255 - 1 - tail.size();
  if (stem.size() > room) {
    stem.resize(room);
    while (!stem.empty() && (static_cast<unsigned char>(stem.back()) & 0xC0) == 0x80)
      stem.pop_back();
    if (!stem.empty() && static_cast<unsigned char>(stem.back()) >= 0xC0) stem.pop_back();
  }
  return "." + stem + tail;
}

// Why a file named like ours is not to be touched; nullptr when it may be.
// `like`: the file it stands for (a staged file takes its original's owner
// and permission bits, so it is as trusted as that file), or nullptr.
const char* Distrust(const FileInfo& st, const FileInfo* like = nullptr) {
  if (!st.regular()) return "not a regular file";
  if (st.links != 1) return "it has several names (hard links)";
  const bool asLike = like && like->regular() && st.owner == like->owner &&
                      st.group == like->group && st.mode == like->mode && st.ours == like->ours;
  if (!st.ours && !asLike) return "another user's file";
  if (st.shared && !asLike) return "writable by others than its owner";
  return nullptr;
}

// A run's notes of files left alone, each path once.
void Note(std::vector<LeftAlone>* notes, std::string path, std::string reason) {
  if (!notes) return;
  for (const LeftAlone& n : *notes) {
    if (n.path == path) return;
  }
  notes->push_back({std::move(path), std::move(reason)});
}

using FaultFn = std::function<int(DiskOp, const std::string&)>;

// Removes our temporary files in the folder whose runs are gone; nothing else.
void RemoveStaleTemps(const Dir& dir, unsigned pathCodePage, const FaultFn& fault,
                      std::vector<LeftAlone>* notes) {
  std::vector<std::string> stale;
  os::List(dir, [&](const std::string& name) {
    const std::optional<os::Maker> maker = MakerOfTemp(name);
    if (maker && !Alive(*maker)) stale.push_back(name);
  });
  for (const std::string& name : stale) {
    FileInfo st, original;
    if (os::InfoAt(dir, name, &st) || st.kind == FileInfo::Kind::Missing) continue;
    std::string_view stem;
    MakerOfTemp(name, &stem);
    const bool hasOriginal = !os::InfoAt(dir, std::string(stem), &original);
    const std::string path = os::Shown(dir.path, name, pathCodePage);
    if (const char* why = Distrust(st, hasOriginal ? &original : nullptr)) {
      Note(notes, path, why);
      continue;
    }
    if (fault(DiskOp::Remove, path)) continue;
    (void)os::Remove(dir, name);
  }
}

// Whether the text of the open file is exactly `text`.
bool HoldsText(const Node& file, uint64_t size, const EditedText& text) {
  const size_t total = text.size();
  if (size != total) return false;
  std::string buffer(std::min(total, size_t{1} << 20), '\0');
  size_t at = 0;
  return text.ForEachPiece([&](std::string_view piece) {
    while (!piece.empty()) {
      size_t got = 0;
      if (os::ReadAt(file, at, buffer.data(), std::min(buffer.size(), piece.size()), &got) ||
          got == 0 || CancelPending(got)) {
        return 1;
      }
      if (std::memcmp(buffer.data(), piece.data(), got) != 0) return 1;
      at += got;
      piece.remove_prefix(got);
    }
    return 0;
  }) == 0;
}

// Keeps `text` in `out` a block at a time, each counted towards the next look
// at the run's stop flag; false when a stop was asked for.
bool CopyWatchingStop(const EditedText& text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  const int stopped = text.ForEachPiece([&](std::string_view piece) {
    for (size_t at = 0; at < piece.size(); at += kCancelStride) {
      const std::string_view block = piece.substr(at, kCancelStride);
      if (CancelPending(block.size())) return 1;
      out->append(block);
    }
    return 0;
  });
  if (stopped) out->clear();
  return !stopped;
}
bool CopyWatchingStop(std::string_view text, std::string* out) {
  return CopyWatchingStop(EditedText{text, {}}, out);
}

// Up to this many files or folders are flushed one by one; more, with one
// flush of each file system they are on (where the platform can).
constexpr size_t kFlushEachUpTo = 64;

}  // namespace

struct Transaction::State {
  enum class Applied : uint8_t { None, Exchanged, OldKept, Renamed, Written };
  // One file of the run. A run may hold a hundred thousand: our names beside
  // the original are kept as their serial numbers, and the path in one store
  // for all.
  struct Entry {
    uint32_t folder = 0;
    uint32_t tempSerial = 0;  // the staged text; 0 when not staged
    uint32_t oldSerial = 0;   // the original's second name during a commit, or the old bytes
    bool oldMade = false;
    bool inPlace = false;  // several names: the text is written into the file
    Applied applied = Applied::None;
    std::string name;       // in the folder
    std::string_view path;  // as the engine first named it (in `paths`)
    FileInfo read;          // as read
    uint64_t tempIndex = 0, stagedSize = 0;
    std::unique_ptr<std::string> dryText;
    std::unique_ptr<std::string> saved;  // what a write into the file clears (os::SavedByWrite)
  };

  Options options;
  RealDisk base;
  std::string token = NewToken();
  std::string maker;
  unsigned serial = 0;
  std::deque<Dir> folders;
  std::map<std::string, size_t> folderByPath;
  std::map<std::pair<uint64_t, uint64_t>, size_t> folderById;
  std::deque<Entry> entries;
  TextStore paths;
  IndexTable byPath;           // each entry by its path
  IndexTable byKey;            // each entry by the file it was read from
  std::vector<size_t> staged;  // in the order staged
  size_t unflushed = 0;        // bytes staged since the last background flush
  os::BackgroundFlush flusher;
  std::vector<LeftAlone> leftAlone;
  // The original read last, still open: the write that usually follows
  // opens nothing again.
  struct LastRead {
    size_t index = SIZE_MAX;
    Node file;
  } lastRead;

  int Fault(DiskOp op, std::string_view path) const {
    return options.hook ? options.hook(op, std::string(path)) : 0;
  }
  FaultFn Faults() const {
    return [this](DiskOp op, const std::string& p) { return Fault(op, p); };
  }

  const Dir& FolderOf(const Entry& e) const { return folders[e.folder]; }
  std::string TempOf(const Entry& e) const { return TempName(e.name, maker, e.tempSerial); }
  std::string OldOf(const Entry& e) const {
    return e.oldSerial ? TempName(e.name, maker, e.oldSerial) : std::string();
  }

  static uint64_t PathHash(std::string_view path) { return std::hash<std::string_view>{}(path); }
  FileKey KeyOf(size_t i) const { return FileKey{entries[i].read.volume, entries[i].read.index}; }
  // The entry of a file first met under `path`, or npos (a file met under
  // another name is found by its identity when it is opened).
  size_t Find(std::string_view path, uint64_t hash) const {
    return byPath.Find(hash, [&](size_t i) { return entries[i].path == path; });
  }
  size_t Find(std::string_view path) const { return Find(path, PathHash(path)); }
  // What a write into the file clears, for a file written in place.
  static const std::string& SavedOf(const Entry& e) {
    static const std::string none;
    return e.saved ? *e.saved : none;
  }

  // --- the files of the run ---

  // The folder's handle, opened once per run; our stale temporary files in
  // it go when it is first opened.
  IoError OpenFolder(const std::string& path, size_t* index) {
    if (auto it = folderByPath.find(path); it != folderByPath.end()) {
      *index = it->second;
      return IoError{};
    }
    Dir dir;
    if (IoError e = os::OpenFolder(path, options.pathCodePage, &dir)) return e;
    const std::pair<uint64_t, uint64_t> id{dir.info.volume, dir.info.index};
    if (auto it = folderById.find(id); it != folderById.end()) {
      *index = folderByPath[path] = it->second;
      return IoError{};
    }
    if (!options.dryRun) RemoveStaleTemps(dir, options.pathCodePage, Faults(), &leftAlone);
    *index = folders.size();
    folders.push_back(std::move(dir));
    folderByPath[path] = *index;
    folderById[id] = *index;
    if (options.journalFolder.empty()) options.journalFolder = path;
    return IoError{};
  }

  // Opens the file a path names (the file a symlink points to; the last step
  // never follows a link) and finds or makes its record. A file met before
  // must still be the file that was read.
  IoError Identify(const std::string& path, size_t* index, Node* file) {
    if (int e = Fault(DiskOp::Open, path)) return IoError{e};
    std::optional<size_t> known;
    size_t folder = 0;
    std::string name;
    const uint64_t pathHash = PathHash(path);
    if (const size_t i = Find(path, pathHash); i != IndexTable::npos) {
      known = i;
      folder = entries[i].folder;
      name = entries[i].name;
    } else {
      std::string folderPath;
      if (IoError e = os::Locate(base, path, &folderPath, &name)) return e;
      if (IoError e = OpenFolder(folderPath, &folder)) return e;
    }
    Node fd;
    if (IoError e = os::OpenEntry(folders[folder], name, os::Access::Read, &fd))
      return known && (e.code == ELOOP || e.code == ENOENT) ? Changed() : e;
    FileInfo st;
    if (IoError e = os::InfoOf(fd, &st)) return e;
    if (st.kind == FileInfo::Kind::Folder) return IoError{EISDIR};
    if (!st.regular()) return IoError{EINVAL, "not a regular file"};
    const FileKey key{st.volume, st.index};
    if (known) {
      if (!st.Same(entries[*known].read)) return Changed();
      *index = *known;
    } else if (const size_t i = byKey.Find(HashKey(key), [&](size_t i) { return KeyOf(i) == key; });
               i != IndexTable::npos) {
      if (!st.Same(entries[i].read)) return Changed();
      *index = i;
    } else {
      *index = entries.size();
      Entry& e = entries.emplace_back();
      e.folder = static_cast<uint32_t>(folder);
      e.name = name;
      e.read = st;
      e.path = paths.Keep(path);
      byPath.Insert(pathHash, *index, [&](size_t i) { return PathHash(entries[i].path); });
      byKey.Insert(HashKey(key), *index, [&](size_t i) { return HashKey(KeyOf(i)); });
    }
    if (file) *file = std::move(fd);
    return IoError{};
  }

  // The original, opened again through its folder and checked.
  IoError OpenOriginal(const Entry& e, os::Access access, Node* fd,
                       FileInfo* info = nullptr) const {
    Node f;
    if (IoError err = os::OpenEntry(FolderOf(e), e.name, access, &f))
      return err.code == ELOOP || err.code == ENOENT ? Changed() : err;
    FileInfo st;
    if (IoError err = os::InfoOf(f, &st)) return err;
    if (!st.Same(e.read)) return Changed();
    if (info) *info = st;
    *fd = std::move(f);
    return IoError{};
  }

  void RemoveName(const Entry& e, const std::string& name) const {
    if (name.empty() || Fault(DiskOp::Remove, e.path)) return;
    (void)os::Remove(FolderOf(e), name);
  }

  void Forget(Entry& e) const {
    e.tempSerial = 0;
    e.oldSerial = 0;
    e.oldMade = false;
    e.applied = Applied::None;
  }

  void Unstage(size_t index) {
    Entry& e = entries[index];
    RemoveName(e, TempOf(e));
    if (e.oldMade) RemoveName(e, OldOf(e));
    Forget(e);
    staged.erase(std::remove(staged.begin(), staged.end(), index), staged.end());
  }

  // The text in a new file beside the original, with the original's
  // metadata; for a file written in place, a copy of its old bytes beside it
  // too, to undo with.
  IoError Stage(size_t index, const EditedText& text, bool inPlace, const Node& original) {
    Entry& e = entries[index];
    if (e.tempSerial != 0) Unstage(index);
    const Dir& dir = FolderOf(e);
    const uint32_t tempSerial = ++serial;
    uint32_t oldSerial = 0;
    const std::string temp = TempName(e.name, maker, tempSerial);
    if (int err = Fault(DiskOp::Open, e.path)) return IoError{err};
    Node fd;
    if (IoError err = os::CreateEntry(dir, temp, &fd)) return err;
    std::string old;
    auto fail = [&](IoError err) {
      fd.Close();
      (void)os::Remove(dir, temp);
      if (!old.empty()) (void)os::Remove(dir, old);
      return err;
    };
    if (IoError err = os::WriteEdited(fd, text, [&] { return Fault(DiskOp::Write, e.path); }))
      return fail(err);
    uint64_t stagedIndex = 0;
    if (inPlace) {
      // The text goes into the file itself at the commit, so that every name
      // of it sees the change.
      oldSerial = ++serial;
      old = TempName(e.name, maker, oldSerial);
      if (int err = Fault(DiskOp::Write, e.path)) return fail(IoError{err});
      Node copy;
      if (IoError err = os::CreateEntry(dir, old, &copy)) {
        old.clear();
        return fail(err);
      }
      if (IoError err = os::CopyInto(original, copy, e.read.size)) return fail(err);
      if (int err = copy.Close()) return fail(IoError{err});
      e.saved = std::make_unique<std::string>(os::SavedByWrite(original));
      FileInfo st;
      if (IoError err = os::InfoOf(fd, &st)) return fail(err);
      stagedIndex = st.index;
    } else {
      if (int err = Fault(DiskOp::Meta, e.path)) return fail(IoError{err});
      if (IoError err = os::KeepMetadata(original, fd, e.read, &stagedIndex)) return fail(err);
    }
    // No write-back is started here for each file (on a 1 GiB tree that
    // took a fifth more time than none); a batch of staged files is flushed
    // at once on a second thread.
    if (int err = fd.Close()) return fail(IoError{err});
    e.tempSerial = tempSerial;
    e.oldSerial = inPlace ? oldSerial : ++serial;
    e.oldMade = inPlace;
    e.inPlace = inPlace;
    e.tempIndex = stagedIndex;
    e.stagedSize = text.size();
    staged.push_back(index);
    unflushed += e.stagedSize;
    if (unflushed >= options.flushEvery) {
      unflushed = 0;
      flusher.Request(dir);
    }
    return IoError{};
  }

  // --- the commit's phases ---

  // Every original is still the file that was read, and every staged file
  // still ours.
  FileFailure VerifyOriginals(const std::vector<size_t>& order) const {
    for (const size_t i : order) {
      const Entry& e = entries[i];
      if (int err = Fault(DiskOp::Check, e.path)) return {std::string(e.path), IoError{err}};
      FileInfo st, temp;
      if (os::InfoAt(FolderOf(e), e.name, &st) || !st.Same(e.read))
        return {std::string(e.path), Changed()};
      if (os::InfoAt(FolderOf(e), TempOf(e), &temp) || !temp.regular() ||
          temp.index != e.tempIndex) {
        return {std::string(e.path), IoError{ENOENT, "its staged copy is gone"}};
      }
    }
    return {};
  }

  // The staged files durable: a few are flushed one by one; many with one
  // flush of each file system (which also waits for other programs' data).
  FileFailure FlushStaged(const std::vector<size_t>& order) {
    flusher.Stop();
    if (order.size() <= kFlushEachUpTo || !os::kFlushesVolumes) {
      for (const size_t i : order) {
        const Entry& e = entries[i];
        if (int err = Fault(DiskOp::Flush, e.path)) return {std::string(e.path), IoError{err}};
        Node temp;
        if (IoError err = os::OpenEntry(FolderOf(e), TempOf(e), os::Access::Flush, &temp))
          return {std::string(e.path), err};
        if (IoError err = os::Flush(temp)) return {std::string(e.path), err};
      }
      return {};
    }
    std::set<uint64_t> volumes;
    for (const size_t i : order) {
      const Dir& f = FolderOf(entries[i]);
      if (!volumes.insert(f.info.volume).second) continue;
      if (int err = Fault(DiskOp::Flush, f.path)) return {f.path, IoError{err}};
      if (IoError err = os::FlushFolder(f, true)) return {f.path, err};
    }
    return {};
  }

  // The journal, durable before the first original changes.
  struct Journal {
    size_t folder = 0;
    std::string name, path;
  };
  FileFailure WriteJournal(const std::vector<size_t>& order, Journal* journal) {
    if (IoError err = OpenFolder(options.journalFolder, &journal->folder))
      return {options.journalFolder, err};
    const Dir& dir = folders[journal->folder];
    journal->name = std::string(kJournalMarker) + maker;
    journal->path = os::Shown(dir.path, journal->name, options.pathCodePage);
    const std::string& path = journal->path;
    if (int err = Fault(DiskOp::Journal, path)) return {path, IoError{err}};
    Node fd;
    if (IoError err = os::CreateEntry(dir, journal->name, &fd)) return {path, err};
    // Written a block at a time as the entries are encoded: a run of many
    // files holds no second copy of their names.
    IoError err;
    JournalWriter writer([&](std::string_view block) {
      err = os::WriteText(fd, block, [&] { return Fault(DiskOp::Journal, path); });
      return err.code;
    });
    JournalEntry record;
    for (const size_t i : order) {
      const Entry& e = entries[i];
      const Dir& f = FolderOf(e);
      record = {e.inPlace ? 'W' : 'R',
                f.path,
                e.name,
                TempOf(e),
                OldOf(e),
                f.info.volume,
                f.info.index,
                e.read.index,
                e.tempIndex,
                e.stagedSize,
                SavedOf(e),
                e.inPlace ? e.read.mode : 0};
      if (writer.Add(record)) break;
    }
    writer.Finish();  // nothing more after a failed block
    if (!err) {
      if (int f = Fault(DiskOp::Flush, path)) {
        err = IoError{f};
      } else if (!(err = os::Flush(fd))) {
        err = os::FlushFolder(dir, false);
      }
    }
    if (!err) {
      if (int c = fd.Close()) err = IoError{c};
    }
    if (err) {
      fd.Close();
      (void)os::Remove(dir, journal->name);
      return {path, err};
    }
    return {};
  }

  // Swaps the staged file in (or writes it into the file), checking first
  // that the original is still the file that was read.
  IoError Apply(Entry& e) {
    const Dir& dir = FolderOf(e);
    if (int err = Fault(DiskOp::Check, e.path)) return IoError{err};
    if (e.inPlace) {
      Node target, temp;
      if (IoError err = OpenOriginal(e, os::Access::Write, &target)) return err;
      if (IoError err = os::OpenEntry(dir, TempOf(e), os::Access::Read, &temp)) return err;
      if (int err = Fault(DiskOp::Write, e.path)) return IoError{err};
      e.applied = Applied::Written;
      return WriteInto(e, temp, target, e.stagedSize);
    }
    FileInfo st;
    if (IoError err = os::InfoAt(dir, e.name, &st)) return err;
    if (!st.Same(e.read)) return Changed();
    if (int err = Fault(DiskOp::Rename, e.path)) return IoError{err};
    os::Swapped state = os::Swapped::None;
    const IoError err = os::Swap(dir, e.name, TempOf(e), OldOf(e), options.exchange, &state);
    switch (state) {
      case os::Swapped::None:
        return err;
      case os::Swapped::Exchanged:
        e.applied = Applied::Exchanged;
        // What went out must be the original; anything swapped in meanwhile
        // goes back.
        if (os::InfoAt(dir, TempOf(e), &st) || st.index != e.read.index ||
            st.volume != e.read.volume) {
          return Changed();
        }
        return err;
      case os::Swapped::Renamed:
        e.applied = Applied::Renamed;
        e.oldMade = true;
        return err;
      case os::Swapped::OldKept:
        e.applied = Applied::OldKept;
        e.oldMade = true;
        break;
    }
    if (err) return err;
    // The original kept at its second name: it must be the original.
    if (os::InfoAt(dir, OldOf(e), &st) || st.index != e.read.index) return Changed();
    if (IoError r = os::Rename(dir, TempOf(e), e.name)) return r;
    e.applied = Applied::Renamed;
    return IoError{};
  }

  // Writes `size` bytes of `from` into the file `to` and makes them durable;
  // the permission bits stay.
  IoError WriteInto(const Entry& e, const Node& from, const Node& to, uint64_t size) const {
    if (IoError err = os::WriteInPlace(from, to, size, e.read.mode, SavedOf(e))) return err;
    if (int err = Fault(DiskOp::Flush, e.path)) return IoError{err};
    return os::Flush(to);
  }

  FileFailure ApplyInOrder(const std::vector<size_t>& applyOrder) {
    for (const size_t i : applyOrder) {
      Entry& e = entries[i];
      if (IoError err = Apply(e)) return {std::string(e.path), err};
    }
    return {};
  }

  // Undoes one applied entry; false when that failed.
  bool Undo(Entry& e) {
    const Dir& dir = FolderOf(e);
    if (e.applied == Applied::None) return true;
    if (Fault(DiskOp::Rename, e.path)) return false;
    switch (e.applied) {
      case Applied::None:
        break;
      case Applied::Exchanged:
        if (os::Exchange(dir, TempOf(e), e.name)) return false;
        break;
      case Applied::OldKept: {
        // The original still at its name, or only at its second name.
        FileInfo st;
        if (os::InfoAt(dir, e.name, &st)) return false;
        if (st.kind == FileInfo::Kind::Missing) {
          if (os::Rename(dir, OldOf(e), e.name)) return false;
          e.oldMade = false;
        } else if (st.index != e.read.index) {
          return false;
        }
        break;
      }
      case Applied::Renamed:
        if (os::Rename(dir, OldOf(e), e.name)) return false;
        e.oldMade = false;
        e.tempSerial = 0;  // gone: renamed over the name and replaced again
        break;
      case Applied::Written: {
        Node target, old;
        if (os::OpenEntry(dir, e.name, os::Access::Write, &target) ||
            os::OpenEntry(dir, OldOf(e), os::Access::Read, &old) ||
            WriteInto(e, old, target, e.read.size)) {
          return false;
        }
        break;
      }
    }
    e.applied = Applied::None;
    return true;
  }

  bool UndoAll(const std::vector<size_t>& applyOrder) {
    bool undone = true;
    for (auto it = applyOrder.rbegin(); it != applyOrder.rend(); ++it)
      undone = Undo(entries[*it]) && undone;
    return undone;
  }

  // Makes the renames in the folders of `list` durable: a few folders are
  // flushed one by one; many with one flush of each file system (a folder's
  // flush costs a commit of the file system's journal each).
  FileFailure FlushFolders(const std::vector<size_t>& list) const {
    std::set<size_t> folderSet;
    for (const size_t i : list) folderSet.insert(entries[i].folder);
    const bool volume = folderSet.size() > kFlushEachUpTo && os::kFlushesVolumes;
    std::set<uint64_t> volumes;
    for (const size_t i : folderSet) {
      const Dir& f = folders[i];
      if (volume && !volumes.insert(f.info.volume).second) continue;
      if (int err = Fault(DiskOp::Flush, f.path)) return {f.path, IoError{err}};
      if (IoError err = os::FlushFolder(f, volume)) return {f.path, err};
    }
    return {};
  }

  // The commit done or undone: the journal, and the staged files and old
  // bytes that are left, go.
  void RemoveJournal(const Journal& journal) const {
    if (!Fault(DiskOp::Remove, journal.path))
      (void)os::Remove(folders[journal.folder], journal.name);
  }

  // Removes our names beside the files of `list` and forgets them: after a
  // commit, the originals' old copies; otherwise the staged files. In
  // batches, so that a run of many files holds no list of every name.
  void RemoveOurNames(const std::vector<size_t>& list, bool committed) {
    constexpr size_t kBatch = 4096;
    std::vector<std::pair<const Dir*, std::string>> batch;
    for (const size_t i : list) {
      Entry& e = entries[i];
      const bool tempLeft =
          committed ? e.applied == Applied::Exchanged || e.inPlace : e.tempSerial != 0;
      if (tempLeft && !Fault(DiskOp::Remove, e.path)) batch.emplace_back(&FolderOf(e), TempOf(e));
      if (e.oldMade && !Fault(DiskOp::Remove, e.path)) batch.emplace_back(&FolderOf(e), OldOf(e));
      Forget(e);
      if (batch.size() >= kBatch) {
        os::RemoveMany(batch);
        batch.clear();
      }
    }
    os::RemoveMany(batch);
    staged.clear();
  }

  FileFailure OutOfMemory() const {
    return {options.journalFolder, IoError{ENOMEM, "out of memory"}};
  }
};

Transaction::Transaction() : Transaction(Options{}) {}

Transaction::Transaction(Options options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  state_->base = RealDisk(state_->options.hook, state_->options.pathCodePage);
  os::Maker self = os::Self();
  self.token = state_->token;
  state_->maker = MakerText(self);
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
  // A file this run has read: the key it had then (a staged file is not
  // the original until the commit).
  const State& s = *state_;
  if (const size_t i = s.Find(resolvedPath); i != IndexTable::npos) {
    const FileInfo& read = s.entries[i].read;
    return FileKey{read.volume, read.index};
  }
  return state_->base.Key(resolvedPath);
}

std::optional<std::string> Transaction::Canonical(const std::string& path) {
  return state_->base.Canonical(path);
}

unsigned Transaction::PathCodePage() const { return state_->options.pathCodePage; }

size_t Transaction::StagedCount() const {
  if (!state_->options.dryRun) return state_->staged.size();
  return static_cast<size_t>(std::count_if(state_->entries.begin(), state_->entries.end(),
                                           [](const auto& e) { return e.dryText != nullptr; }));
}

std::vector<LeftAlone> Transaction::TakeLeftAlone() { return std::exchange(state_->leftAlone, {}); }

IoError Transaction::ReadAll(const std::string& resolvedPath, std::string* contents) {
  State& s = *state_;
  contents->clear();
  size_t index = 0;
  Node fd;
  if (IoError e = s.Identify(resolvedPath, &index, &fd)) return e;
  const State::Entry& e = s.entries[index];
  auto fault = [&] { return s.Fault(DiskOp::Read, resolvedPath); };
  if (e.dryText) return CopyWatchingStop(*e.dryText, contents) ? IoError{} : IoError{ECANCELED};
  if (e.tempSerial != 0) {
    Node temp;
    if (IoError err = os::OpenEntry(s.FolderOf(e), s.TempOf(e), os::Access::Read, &temp))
      return err;
    return os::ReadRest(temp, e.stagedSize, contents, fault);
  }
  if (IoError err = os::ReadRest(fd, e.read.size, contents, fault, false)) return err;
  // A file written to while it was read is not the file that was read (nor
  // one of another size: the read stopped at the size it had).
  FileInfo now;
  if (IoError err = os::InfoOf(fd, &now)) return err;
  if (!now.Same(e.read) || contents->size() != e.read.size) {
    contents->clear();
    return Changed();
  }
  s.lastRead = {index, std::move(fd)};
  return IoError{};
}

IoError Transaction::ReadMapped(const std::string& resolvedPath, std::string* buffer,
                                MappedText* text) {
  State& s = *state_;
  text->Reset();
  size_t index = 0;
  Node fd;
  if (IoError e = s.Identify(resolvedPath, &index, &fd)) return e;
  const State::Entry& e = s.entries[index];
  if (!e.dryText && e.tempSerial == 0 && e.read.size >= kMapFrom) {
    if (int err = s.Fault(DiskOp::Read, resolvedPath)) return IoError{err};
    if (os::MapRest(fd, e.read.size, text)) {
      // A file written to meanwhile is not the file that was read.
      FileInfo now;
      if (IoError err = os::InfoOf(fd, &now)) {
        text->Reset();
        return err;
      }
      if (!now.Same(e.read) || !text->Intact()) {
        text->Reset();
        return Changed();
      }
      s.lastRead = {index, std::move(fd)};
      return IoError{};
    }
  }
  fd.Close();
  IoError err = ReadAll(resolvedPath, buffer);
  if (!err) text->Borrow(*buffer);
  return err;
}

IoError Transaction::WriteAll(const std::string& resolvedPath, std::string_view contents) {
  return WriteEdited(resolvedPath, EditedText{contents, {}});
}

IoError Transaction::WriteEdited(const std::string& resolvedPath, const EditedText& contents) {
  State& s = *state_;
  size_t index = 0;
  if (const size_t i = s.Find(resolvedPath); i != IndexTable::npos) {
    index = i;
  } else if (IoError e = s.Identify(resolvedPath, &index, nullptr)) {
    return e;
  }
  State::Entry& e = s.entries[index];
  // Still the file that was read, and is there anything to change?
  if (int err = s.Fault(DiskOp::Check, resolvedPath)) return IoError{err};
  Node original;
  FileInfo now;
  if (s.lastRead.index == index) {
    // Still open from the read: only its name is checked again.
    original = std::move(s.lastRead.file);
    s.lastRead = {};
    if (IoError err = os::InfoAt(s.FolderOf(e), e.name, &now)) return err;
    if (!now.Same(e.read)) return Changed();
  } else if (IoError err = s.OpenOriginal(e, os::Access::Read, &original, &now)) {
    return err;
  }
  if (HoldsText(original, e.read.size, contents)) {
    if (e.tempSerial != 0) s.Unstage(index);
    e.dryText.reset();
    return IoError{};
  }
  if (IoError err = os::CheckWritable(s.FolderOf(e), e.name, e.read)) return err;
  const bool inPlace = now.links > 1;
  if (s.options.dryRun) {
    if (!inPlace) {
      if (IoError err = os::CheckOwnerKeepable(e.read)) return err;
    }
    e.dryText = std::make_unique<std::string>();
    if (!CopyWatchingStop(contents, &*e.dryText)) {
      e.dryText.reset();
      return IoError{ECANCELED};
    }
    return IoError{};
  }
  return s.Stage(index, contents, inPlace, original);
}

void Transaction::Rollback() {
  State& s = *state_;
  s.lastRead = {};
  s.flusher.Stop();
  s.RemoveOurNames(s.staged, false);
  for (auto& e : s.entries) e.dryText.reset();
}

Transaction::CommitResult Transaction::Commit() {
  State& s = *state_;
  CommitResult result;
  s.lastRead = {};
  if (s.options.dryRun || s.staged.empty()) return result;
  auto stop = [&](FileFailure failure) {
    Rollback();
    result.failure = std::move(failure);
    return result;
  };
  std::vector<size_t> order, applyOrder;
  State::Journal journal;
  try {
    order = s.staged;
    // Renames first, then the files written in place.
    for (const bool inPlace : {false, true}) {
      for (const size_t i : order) {
        if (s.entries[i].inPlace == inPlace) applyOrder.push_back(i);
      }
    }
    if (FileFailure f = s.VerifyOriginals(order)) return stop(std::move(f));
    if (FileFailure f = s.FlushStaged(order)) return stop(std::move(f));
    if (FileFailure f = s.WriteJournal(order, &journal)) return stop(std::move(f));
  } catch (const std::bad_alloc&) {
    return stop(s.OutOfMemory());
  }

  FileFailure failure;
  bool undone = true;
  try {
    failure = s.ApplyInOrder(applyOrder);
    if (!failure) failure = s.FlushFolders(order);
    // Undo what was done; where even that fails, the journal stays and the
    // next run completes the commit.
    if (failure) undone = s.UndoAll(applyOrder) && !s.FlushFolders(order);
  } catch (const std::bad_alloc&) {
    failure = s.OutOfMemory();
    try {
      undone = s.UndoAll(applyOrder) && !s.FlushFolders(order);
    } catch (const std::bad_alloc&) {
      undone = false;
    }
  }
  if (failure && !undone) {
    result.failure = std::move(failure);
    result.pending = true;
    for (const size_t i : order) s.entries[i].tempSerial = 0;
    s.staged.clear();
    return result;
  }
  if (failure) {
    s.RemoveJournal(journal);
    return stop(std::move(failure));
  }
  s.RemoveJournal(journal);
  s.RemoveOurNames(order, true);
  return result;
}

// --- the recovery ---

namespace {

// One journal of a dead run, met by the recovery.
class Recovery {
 public:
  Recovery(const Dir& dir, std::string name, unsigned pathCodePage, const FaultFn& fault,
           std::vector<LeftAlone>* notes)
      : dir_(dir),
        name_(std::move(name)),
        path_(os::Shown(dir.path, name_, pathCodePage)),
        pathCodePage_(pathCodePage),
        maker_(name_.substr(Transaction::kJournalMarker.size())),
        fault_(fault),
        notes_(notes) {}

  FileFailure Run() {
    if (int err = fault_(DiskOp::Open, path_)) return {path_, IoError{err}};
    if (IoError err = os::OpenEntry(dir_, name_, os::Access::Read, &journal_)) {
      if (err.code == ELOOP) return LeaveAlone("a symbolic link");
      if (err.code != ENOENT) Note(notes_, path_, "it cannot be opened: " + err.Message());
      return {};
    }
    FileInfo st;
    if (IoError err = os::InfoOf(journal_, &st)) return {path_, err};
    if (const char* why = Distrust(st)) return LeaveAlone(why);
    if (st.size > Transaction::kJournalLimit) return LeaveAlone("larger than our journals");
    // Read once to check it whole and every name in it, once more to act.
    JournalRead read = Read([&](const JournalEntry& e) { return Plausible(e); });
    if (readError_) return {path_, readError_};
    if (read == JournalRead::Refused)
      return LeaveAlone("it records a name outside its folder or not of this journal's run");
    if (read == JournalRead::NotWhole) {
      // Cut short before it was flushed: no original was touched. Its staged
      // files are those of a dead run: removed as such.
      if (int err = fault_(DiskOp::Remove, path_)) return {path_, IoError{err}};
      (void)os::Remove(dir_, name_);
      return {};
    }
    read = Read([&](const JournalEntry& e) { return Complete(e); });
    if (failure_) return failure_;
    if (readError_) return {path_, readError_};
    if (read != JournalRead::Whole) return {path_, IoError{EIO, "the journal changed"}};
    if (FileFailure f = FlushTouched()) return f;
    if (int err = fault_(DiskOp::Remove, path_)) return {path_, IoError{err}};
    if (IoError err = os::Remove(dir_, name_)) return {path_, err};
    // The old bytes and staged copies that remain.
    Read([&](const JournalEntry& e) {
      RemoveLeftovers(e);
      return true;
    });
    return {};
  }

 private:
  FileFailure LeaveAlone(const char* why) {
    Note(notes_, path_, why);
    return {};
  }

  JournalRead Read(const std::function<bool(const JournalEntry&)>& each) {
    uint64_t at = 0;
    readError_ = IoError{};
    return ReadJournal(
        [&](char* buffer, size_t size) -> long {
          if (int err = fault_(DiskOp::Read, path_)) {
            readError_ = IoError{err};
            return -1;
          }
          size_t got = 0;
          if (IoError err = os::ReadAt(journal_, at, buffer, size, &got)) {
            readError_ = err;
            return -1;
          }
          at += got;
          return static_cast<long>(got);
        },
        each);
  }

  // Whether `name` is one of this journal's run's temporary files for
  // `original`.
  bool OurTemp(const std::string& name, const std::string& original) const {
    std::string_view stem;
    if (!PlainName(name) || !MakerOfTemp(name, &stem) || !original.starts_with(stem)) return false;
    const std::string_view maker =
        std::string_view(name).substr(1 + stem.size() + Transaction::kTempMarker.size());
    return maker.starts_with(maker_) && maker.substr(maker_.size()).starts_with('-');
  }

  bool Plausible(const JournalEntry& e) const {
    return PlainName(e.name) && os::IsAbsolute(e.folder) && OurTemp(e.temp, e.name) &&
           (e.old.empty() || OurTemp(e.old, e.name));
  }

  // The recorded folder, if it is still the folder the journal names.
  const Dir* FolderOf(const JournalEntry& e) {
    for (const Dir& d : touched_) {
      if (d.path == e.folder) return &d;
    }
    Dir d;
    if (os::OpenFolder(e.folder, pathCodePage_, &d) || d.info.volume != e.device ||
        d.info.index != e.folderInode)
      return nullptr;  // the folder is gone or moved: nothing to do there
    touched_.push_back(std::move(d));
    return &touched_.back();
  }

  bool Fail(const std::string& path, IoError err) {
    failure_ = {path, std::move(err)};
    return false;
  }

  // Completes one recorded replacement that has not happened.
  bool Complete(const JournalEntry& e) {
    const Dir* dir = FolderOf(e);
    if (!dir) return true;
    const std::string path = os::Shown(dir->path, e.name, pathCodePage_);
    FileInfo name, temp;
    if (IoError err = os::InfoAt(*dir, e.name, &name)) return Fail(path, err);
    if (IoError err = os::InfoAt(*dir, e.temp, &temp)) return Fail(path, err);
    // Done (the staged file is at the name, or gone), or nothing to do.
    if (!temp.regular() || temp.index != e.newInode) return true;
    const bool original = name.regular() && name.index == e.inode;
    const char* why = temp.size != e.newSize ? "its size is not the recorded one"
                                             : Distrust(temp, original ? &name : nullptr);
    if (why) {
      Note(notes_, os::Shown(dir->path, e.temp, pathCodePage_), why);
      return true;
    }
    if (e.kind == 'R') {
      if (name.kind == FileInfo::Kind::Missing) {
        // Half way: the original went to its second name.
        if (int err = fault_(DiskOp::Rename, path)) return Fail(path, IoError{err});
        if (IoError err = os::Rename(*dir, e.temp, e.name)) return Fail(path, err);
      } else if (original) {
        if (int err = fault_(DiskOp::Rename, path)) return Fail(path, IoError{err});
        if (IoError err = os::Replace(*dir, e.name, e.temp, e.old)) return Fail(path, err);
      }
      return true;
    }
    if (!original) return true;
    // Written into the file itself, perhaps in part: written again.
    if (int err = fault_(DiskOp::Write, path)) return Fail(path, IoError{err});
    Node target, from;
    FileInfo now, staged;
    if (IoError err = os::OpenEntry(*dir, e.name, os::Access::Write, &target))
      return Fail(path, err);
    if (IoError err = os::OpenEntry(*dir, e.temp, os::Access::Read, &from)) return Fail(path, err);
    if (IoError err = os::InfoOf(target, &now)) return Fail(path, err);
    if (IoError err = os::InfoOf(from, &staged)) return Fail(path, err);
    if (now.index != e.inode || staged.index != e.newInode || Distrust(staged)) return true;
    if (IoError err = os::WriteInPlace(from, target, e.newSize, e.mode, e.capability))
      return Fail(path, err);
    if (int err = fault_(DiskOp::Flush, path)) return Fail(path, IoError{err});
    if (IoError err = os::Flush(target)) return Fail(path, err);
    return true;
  }

  // Each folder once; many at once with one flush of their file system.
  FileFailure FlushTouched() {
    const bool volume = touched_.size() > kFlushEachUpTo && os::kFlushesVolumes;
    std::set<uint64_t> volumes;
    for (const Dir& d : touched_) {
      if (volume && !volumes.insert(d.info.volume).second) continue;
      if (int err = fault_(DiskOp::Flush, dir_.path)) return {dir_.path, IoError{err}};
      if (IoError err = os::FlushFolder(d, volume)) return {dir_.path, err};
    }
    return {};
  }

  // What is left of one replacement: the staged file (after an exchange,
  // the original), the old bytes; each only if it is a file of ours, or as
  // trusted as the file now at the name (which took its owner and bits).
  void RemoveLeftovers(const JournalEntry& e) {
    const Dir* dir = FolderOf(e);
    if (!dir) return;
    FileInfo at;
    const bool hasName = !os::InfoAt(*dir, e.name, &at) && at.regular();
    for (const std::string* name : {&e.temp, &e.old}) {
      if (name->empty()) continue;
      FileInfo st;
      if (os::InfoAt(*dir, *name, &st) || st.kind == FileInfo::Kind::Missing) continue;
      const std::string path = os::Shown(dir->path, *name, pathCodePage_);
      if (const char* why = Distrust(st, hasName ? &at : nullptr)) {
        Note(notes_, path, why);
        continue;
      }
      if (!fault_(DiskOp::Remove, path)) (void)os::Remove(*dir, *name);
    }
  }

  const Dir& dir_;
  const std::string name_, path_;
  const unsigned pathCodePage_;
  const std::string maker_;
  const FaultFn& fault_;
  std::vector<LeftAlone>* notes_;
  Node journal_;
  IoError readError_;
  FileFailure failure_;
  std::deque<Dir> touched_;
};

}  // namespace

FileFailure Transaction::Recover(const std::string& folderPath, const FaultHook& hook,
                                 std::vector<LeftAlone>* leftAlone, unsigned pathCodePage) {
  const FaultFn fault = [&](DiskOp op, const std::string& path) {
    return hook ? hook(op, path) : 0;
  };
  Dir dir;
  if (os::OpenFolder(folderPath.empty() ? "." : folderPath, pathCodePage, &dir))
    return {};  // no folder, nothing to recover; the run will say more
  std::vector<std::string> journals;
  os::List(dir, [&](const std::string& name) {
    const std::optional<os::Maker> maker = MakerOfJournal(name);
    if (maker && !Alive(*maker)) journals.push_back(name);
  });
  for (const std::string& name : journals) {
    if (FileFailure f = Recovery(dir, name, pathCodePage, fault, leftAlone).Run()) return f;
  }
  RemoveStaleTemps(dir, pathCodePage, fault, leftAlone);
  return {};
}

}  // namespace kv
