// The run's transaction on Windows (the contract is in transaction.h):
// - Each changed file's new text is staged in a hidden file beside the
//   original, flushed when staged, so that memory holds no file's text.
// - Commit checks that every original is still the file that was read (volume
//   serial and file index, size, last-write and change times), gives each
//   staged file the original's attributes, writes and flushes the journal,
//   then replaces each original with ReplaceFileW (which keeps the ACL and the
//   alternate data streams), the original going to a backup name. A file with
//   several hard links is written into instead (after the replacements), so
//   that every name sees the change; a copy of its old bytes, made when it
//   is staged, allows undoing that.
// - A failure during the commit moves back what was replaced; where that
//   fails too, the journal stays and the next Recover completes the commit.
// - Recover tells, for each recorded file and by file index, whether it was
//   not yet replaced, half way (the original gone to its backup name, the
//   staged file not yet in place) or done, and rolls forward.
// Our files carry the process id and the process's creation time, since
// Windows gives a dead process's id to new ones.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "journal.h"
#include "transaction.h"
#include "win_file.h"

namespace kv {

using namespace win;

namespace {

// Windows' C library has no ESTALE; the reason says what happened.
const IoError& Changed() {
  static const IoError e{EBUSY, "the file changed during the run"};
  return e;
}

// A file as read: what names it and what a write or a swap changes.
struct Identity {
  uint64_t volume = 0, index = 0, size = 0;
  int64_t written = 0, changed = 0;
  DWORD attributes = 0, links = 1;
  bool Same(const Identity& o) const {
    return volume == o.volume && index == o.index && size == o.size && written == o.written &&
           changed == o.changed;
  }
};

bool IdentityOf(HANDLE h, Identity* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info)) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  id->size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  id->written = static_cast<int64_t>((uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                     info.ftLastWriteTime.dwLowDateTime);
  FILE_BASIC_INFO basic;
  id->changed = ::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)
                    ? basic.ChangeTime.QuadPart
                    : 0;
  id->attributes = info.dwFileAttributes;
  id->links = info.nNumberOfLinks;
  return true;
}

// The entry itself, a link not followed, for its identity only (a folder too).
HANDLE OpenForInfo(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The file index of what the path names; nullopt when nothing is there.
std::optional<uint64_t> IndexAt(const std::wstring& path) {
  Handle f(OpenForInfo(path));
  Identity id;
  if (!f.Ok() || !IdentityOf(f.h, &id)) return std::nullopt;
  return id.index;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  return folder + L"\\" + name;
}

std::wstring Ascii(std::string_view text) { return std::wstring(text.begin(), text.end()); }

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(n, 0)), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
  return out;
}

// A path to show: without the "\\?\" prefix, in the project's code page where
// it can be written so, in UTF-8 otherwise.
std::string Shown(std::wstring path) {
  if (path.starts_with(L"\\\\?\\UNC\\")) {
    path = L"\\" + path.substr(7);
  } else if (path.starts_with(L"\\\\?\\")) {
    path = path.substr(4);
  }
  const int size = static_cast<int>(path.size());
  BOOL lost = FALSE;
  const UINT cp = PathCodePage();
  const int n = ::WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, path.data(), size, nullptr, 0,
                                      nullptr, &lost);
  if (n <= 0 || lost) return ToUtf8(path);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, path.data(), size, out.data(), n, nullptr,
                        nullptr);
  return out;
}

// Reads the rest of an open file; `fault` is asked before each read.
template <typename Fault>
IoError ReadHandle(HANDLE h, uint64_t sizeHint, std::string* contents, const Fault& fault) {
  contents->clear();
  contents->reserve(static_cast<size_t>(sizeHint));
  char buffer[64 * 1024];
  for (;;) {
    if (int e = fault()) {
      contents->clear();
      return IoError{e};
    }
    DWORD got = 0;
    if (!::ReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
      contents->clear();
      return LastError();
    }
    if (got == 0) return IoError{};
    contents->append(buffer, got);
  }
}

// Writes the whole text; `fault` is asked before each chunk.
template <typename Fault>
IoError WriteHandle(HANDLE h, std::string_view text, const Fault& fault) {
  constexpr size_t kChunk = size_t{4} << 20;
  for (size_t done = 0; done < text.size();) {
    if (int e = fault()) return IoError{e};
    const DWORD want = static_cast<DWORD>(std::min(kChunk, text.size() - done));
    DWORD put = 0;
    if (!::WriteFile(h, text.data() + done, want, &put, nullptr)) return LastError();
    done += put;
  }
  return IoError{};
}

// Copies `size` bytes from the start of `from` over the start of `to`, which
// ends there.
IoError CopyInto(HANDLE from, HANDLE to, uint64_t size) {
  const LARGE_INTEGER start{};
  if (!::SetFilePointerEx(from, start, nullptr, FILE_BEGIN) ||
      !::SetFilePointerEx(to, start, nullptr, FILE_BEGIN)) {
    return LastError();
  }
  std::string buffer(size_t{1} << 20, '\0');
  for (uint64_t done = 0; done < size;) {
    const DWORD want = static_cast<DWORD>(std::min<uint64_t>(buffer.size(), size - done));
    DWORD got = 0;
    if (!::ReadFile(from, buffer.data(), want, &got, nullptr)) return LastError();
    if (got == 0) return IoError{EIO};  // the source is shorter than it should be
    if (IoError e = WriteHandle(to, std::string_view(buffer.data(), got), [] { return 0; }))
      return e;
    done += got;
  }
  if (!::SetEndOfFile(to)) return LastError();
  return IoError{};
}

// Writes the staged text at `from` into the file at `to` itself (a file with
// several names), durably; the file must still be the one with index `index`.
template <typename Fault>
IoError WriteInto(const std::wstring& from, const std::wstring& to, uint64_t index, uint64_t size,
                  const Fault& fault) {
  Handle target(::CreateFileW(to.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  Handle source(::CreateFileW(from.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!target.Ok() || !source.Ok()) return LastError();
  Identity id;
  if (!IdentityOf(target.h, &id)) return LastError();
  if (id.index != index) return Changed();
  if (IoError e = CopyInto(source.h, target.h, size)) return e;
  if (int e = fault(DiskOp::Flush)) return IoError{e};
  if (!::FlushFileBuffers(target.h)) return LastError();
  return IoError{};
}

bool Moved(const std::wstring& from, const std::wstring& to) {
  return ::MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// Puts `temp` in the place of `name`, the file that was there going to
// `backup`: ReplaceFileW where the volume has it, two renames written through
// where it has not. A failure may leave it half way (`name` gone).
IoError Replace(const std::wstring& name, const std::wstring& temp, const std::wstring& backup) {
  if (::ReplaceFileW(name.c_str(), temp.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                     nullptr, nullptr)) {
    return IoError{};
  }
  const DWORD error = ::GetLastError();
  if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION &&
      error != ERROR_INVALID_PARAMETER) {
    return IoError{ErrnoOf(error)};
  }
  if (!::MoveFileExW(name.c_str(), backup.c_str(), MOVEFILE_WRITE_THROUGH)) return LastError();
  if (!Moved(temp, name)) return LastError();
  return IoError{};
}

// --- our files and the runs that made them ---

uint64_t CreationOf(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

uint64_t OwnCreation() {
  static const uint64_t created = CreationOf(::GetCurrentProcess());
  return created;
}

std::string Hex16(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// Transactions of this process that are alive, by token.
std::mutex g_liveMutex;
std::set<std::string> g_liveTokens;

std::string NewToken() {
  std::random_device seed;
  return Hex16((uint64_t{seed()} << 32) ^ seed());
}

// The run that made one of our files: "<pid>-<creation>-<token>" follows the
// marker (and "-<serial>" in a temporary file's name).
struct Maker {
  DWORD pid = 0;
  uint64_t created = 0;
  std::string token;
};

std::string MakerText(const std::string& token) {
  return std::to_string(::GetCurrentProcessId()) + "-" + Hex16(OwnCreation()) + "-" + token;
}

std::optional<Maker> MakerOf(std::wstring_view name, std::string_view marker, bool temp) {
  const std::wstring wideMarker = Ascii(marker);
  if (name.empty() || name.front() != L'.') return std::nullopt;
  const size_t at = temp ? name.rfind(wideMarker) : (name.starts_with(wideMarker) ? 0 : name.npos);
  if (at == name.npos || (temp && at == 0)) return std::nullopt;
  std::wstring_view rest = name.substr(at + wideMarker.size());
  Maker maker;
  size_t i = 0;
  uint64_t pid = 0;
  for (; i < rest.size() && rest[i] >= L'0' && rest[i] <= L'9' && pid <= 0xffffffffu; ++i)
    pid = pid * 10 + (rest[i] - L'0');
  if (i == 0 || pid > 0xffffffffu || i >= rest.size() || rest[i] != L'-') return std::nullopt;
  maker.pid = static_cast<DWORD>(pid);
  rest = rest.substr(i + 1);
  auto hex = [&](std::string* out) {
    if (rest.size() < 16) return false;
    for (size_t k = 0; k < 16; ++k) {
      const wchar_t c = rest[k];
      if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
      *out += static_cast<char>(c);
    }
    rest = rest.substr(16);
    return true;
  };
  std::string created;
  if (!hex(&created) || rest.empty() || rest.front() != L'-') return std::nullopt;
  rest = rest.substr(1);
  if (!hex(&maker.token)) return std::nullopt;
  if (temp ? !rest.starts_with(L"-") : !rest.empty()) return std::nullopt;
  maker.created = std::strtoull(created.c_str(), nullptr, 16);
  return maker;
}

bool MakerAlive(const Maker& maker) {
  if (maker.pid == ::GetCurrentProcessId() && maker.created == OwnCreation()) {
    std::lock_guard lock(g_liveMutex);
    return g_liveTokens.count(maker.token) != 0;
  }
  Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, maker.pid));
  // No such process; one we may not ask about is taken as alive.
  if (!process.Ok()) return ::GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  if (::GetExitCodeProcess(process.h, &code) && code != STILL_ACTIVE) return false;
  const uint64_t created = CreationOf(process.h);
  return created == 0 || created == maker.created;  // another process under a reused id
}

// Calls `each` with the name of each entry of the folder that is no folder.
template <typename Each>
void ListFiles(const std::wstring& folder, const Each& each) {
  WIN32_FIND_DATAW data;
  const HANDLE find = ::FindFirstFileExW(Join(folder, L"*").c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) each(std::wstring(data.cFileName));
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

// Removes our temporary files in the folder whose runs are gone; nothing else.
template <typename Fault>
void RemoveStaleTemps(const std::wstring& folder, const Fault& fault) {
  std::vector<std::wstring> stale;
  ListFiles(folder, [&](const std::wstring& name) {
    const std::optional<Maker> maker = MakerOf(name, Transaction::kTempMarker, true);
    if (maker && !MakerAlive(*maker)) stale.push_back(name);
  });
  for (const std::wstring& name : stale) {
    const std::wstring path = Join(folder, name);
    if (fault(DiskOp::Remove, Shown(path))) continue;
    ::DeleteFileW(path.c_str());
  }
}

}  // namespace

struct Transaction::State {
  struct Entry {
    std::string path;     // as the engine first named it
    std::wstring folder;  // the final path of its folder
    std::wstring name;
    Identity read;
    std::wstring temp;      // the staged text; empty when not staged
    std::wstring backup;    // the original's name during a commit; the old bytes if in place
    bool inPlace = false;   // several names: the text is written into the file
    bool written = false;   // in place, and written into (perhaps in part)
    bool replaced = false;  // the replacement reported done
    uint64_t tempIndex = 0;
    uint64_t stagedSize = 0;
    std::optional<std::string> dryText;
  };

  Options options;
  std::string token = NewToken();
  unsigned serial = 0;
  RealDisk base;
  std::vector<Entry> entries;
  std::map<FileKey, size_t> byKey;
  std::map<std::string, size_t> byPath;
  std::map<std::wstring, uint64_t> folderIndex;  // the folders met, by file index
  std::wstring journalFolder;
  std::vector<size_t> staged;  // in the order staged

  int Fault(DiskOp op, const std::string& path) const {
    return options.hook ? options.hook(op, path) : 0;
  }

  std::wstring Full(const Entry& e, const std::wstring& name) const { return Join(e.folder, name); }

  std::wstring NewTemp(const Entry& e) {
    const std::wstring tail =
        Ascii(std::string(kTempMarker) + MakerText(token) + "-" + std::to_string(++serial));
    std::wstring stem = e.name;
    const size_t room = 255 - 1 - tail.size();
    if (stem.size() > room) stem.resize(room);
    return L"." + stem + tail;
  }

  // A folder met for the first time: its identity kept for the journal, and
  // the stale temporary files of dead runs in it removed.
  IoError MeetFolder(const std::wstring& folder) {
    if (folderIndex.count(folder)) return IoError{};
    Handle f(OpenForInfo(folder));
    Identity id;
    if (!f.Ok() || !IdentityOf(f.h, &id)) return LastError();
    folderIndex[folder] = id.index;
    if (!options.dryRun) {
      RemoveStaleTemps(folder, [&](DiskOp op, const std::string& p) { return Fault(op, p); });
    }
    if (journalFolder.empty() && options.journalFolder.empty()) journalFolder = folder;
    return IoError{};
  }

  // Opens the file a path names for reading (a link followed) and finds or
  // makes its record. A file met before must still be the file that was read
  // (a link swapped in for it leads to another file index). Other reparse
  // points (files kept in a cloud, deduplicated files) read as their data.
  IoError Identify(const std::string& path, size_t* index, Handle* file) {
    if (int e = Fault(DiskOp::Open, path)) return IoError{e};
    std::optional<size_t> known;
    std::wstring target;
    if (auto it = byPath.find(path); it != byPath.end()) {
      known = it->second;
      target = Full(entries[*known], entries[*known].name);
    } else {
      const std::optional<std::wstring> wide = Wide(path);
      if (!wide) return IoError{ENOENT};
      const DWORD attributes = ::GetFileAttributesW(wide->c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return IoError{EISDIR};
      IoError error;
      const std::optional<std::wstring> final = FinalPath(*wide, &error);
      if (!final) return error;
      target = *final;
    }
    Handle f(::CreateFileW(target.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!f.Ok()) {
      const DWORD error = ::GetLastError();
      if (known && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
        return Changed();
      return IoError{ErrnoOf(error)};
    }
    Identity id;
    if (!IdentityOf(f.h, &id)) return LastError();
    if (id.attributes & FILE_ATTRIBUTE_DIRECTORY) return IoError{EISDIR};
    const FileKey key{id.volume, id.index};
    if (!known) {
      if (auto it = byKey.find(key); it != byKey.end()) known = it->second;
    }
    if (known) {
      if (!id.Same(entries[*known].read)) return Changed();
      *index = byPath[path] = *known;
    } else {
      const size_t slash = target.find_last_of(L'\\');
      if (slash == target.npos) return IoError{ENOENT};
      Entry e;
      e.path = path;
      e.folder = target.substr(0, slash);
      e.name = target.substr(slash + 1);
      e.read = id;
      if (IoError err = MeetFolder(e.folder)) return err;
      *index = entries.size();
      entries.push_back(std::move(e));
      byKey[key] = *index;
      byPath[path] = *index;
    }
    if (file) *file = Handle(std::exchange(f.h, INVALID_HANDLE_VALUE));
    return IoError{};
  }

  // Still the file that was read, at its name.
  IoError Check(const Entry& e) const {
    if (int err = Fault(DiskOp::Check, e.path)) return IoError{err};
    Handle f(OpenForInfo(Full(e, e.name)));
    Identity id;
    if (!f.Ok() || !IdentityOf(f.h, &id) || !id.Same(e.read)) return Changed();
    return IoError{};
  }

  void Unstage(Entry& e) {
    if (!Fault(DiskOp::Remove, e.path)) ::DeleteFileW(Full(e, e.temp).c_str());
    if (e.inPlace && !Fault(DiskOp::Remove, e.path)) ::DeleteFileW(Full(e, e.backup).c_str());
    e.temp.clear();
    e.backup.clear();
    staged.erase(std::remove(staged.begin(), staged.end(), static_cast<size_t>(&e - &entries[0])),
                 staged.end());
  }

  // The text in a new hidden file beside the original, flushed; for a file
  // written in place, a copy of the old bytes beside it too, to undo with.
  IoError Stage(Entry& e, std::string_view text, bool inPlace) {
    if (!e.temp.empty()) Unstage(e);
    const std::wstring temp = NewTemp(e);
    const std::wstring tempPath = Full(e, temp);
    if (int err = Fault(DiskOp::Open, e.path)) return IoError{err};
    Handle f(::CreateFileW(tempPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!f.Ok()) return LastError();
    const std::wstring old = NewTemp(e);
    auto fail = [&](IoError err) {
      f.Close();
      ::DeleteFileW(tempPath.c_str());
      if (inPlace) ::DeleteFileW(Full(e, old).c_str());
      return err;
    };
    if (IoError err = WriteHandle(f.h, text, [&] { return Fault(DiskOp::Write, e.path); }))
      return fail(err);
    if (int err = Fault(DiskOp::Flush, e.path)) return fail(IoError{err});
    if (!::FlushFileBuffers(f.h)) return fail(LastError());
    Identity id;
    if (!IdentityOf(f.h, &id)) return fail(LastError());
    if (!f.Close()) return fail(LastError());
    if (inPlace) {
      if (int err = Fault(DiskOp::Write, e.path)) return fail(IoError{err});
      Handle original(::CreateFileW(Full(e, e.name).c_str(), GENERIC_READ, kShareAll, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
      Handle copy(::CreateFileW(Full(e, old).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_HIDDEN, nullptr));
      if (!original.Ok() || !copy.Ok()) return fail(LastError());
      Identity now;
      if (!IdentityOf(original.h, &now)) return fail(LastError());
      if (!now.Same(e.read)) return fail(Changed());
      if (IoError err = CopyInto(original.h, copy.h, e.read.size)) return fail(err);
      if (!copy.Close()) return fail(LastError());
    }
    e.temp = temp;
    e.backup = old;
    e.inPlace = inPlace;
    e.written = false;
    e.tempIndex = id.index;
    e.stagedSize = text.size();
    staged.push_back(static_cast<size_t>(&e - &entries[0]));
    return IoError{};
  }

  // Moves back a replacement, whole or half way done, so that the original
  // is at its name and the staged file at its own; false when that failed.
  bool Undo(Entry& e) const {
    if (e.inPlace) {
      if (!e.written) return true;
      if (Fault(DiskOp::Write, e.path) ||
          WriteInto(Full(e, e.backup), Full(e, e.name), e.read.index, e.read.size,
                    [&](DiskOp op) { return Fault(op, e.path); })) {
        return false;
      }
      e.written = false;
      return true;
    }
    const std::wstring name = Full(e, e.name), temp = Full(e, e.temp), backup = Full(e, e.backup);
    std::optional<uint64_t> at = IndexAt(name);
    // Told by the file index, or by the report of the replacement where the
    // volume gives the new content the old file's index.
    const bool replaced = at && (e.replaced || at == e.tempIndex);
    if (at && !replaced) return at == e.read.index;  // not replaced; or another's file there
    if (Fault(DiskOp::Rename, e.path)) return false;
    if (replaced) {
      if (!::MoveFileExW(name.c_str(), temp.c_str(), MOVEFILE_WRITE_THROUGH)) return false;
      e.replaced = false;
    }
    // The original back from its backup name, which is ours alone.
    return IndexAt(backup) && ::MoveFileExW(backup.c_str(), name.c_str(), MOVEFILE_WRITE_THROUGH);
  }
};

Transaction::Transaction() : Transaction(Options{}) {}

Transaction::Transaction(Options options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  state_->base = RealDisk(state_->options.hook);
  std::lock_guard lock(g_liveMutex);
  g_liveTokens.insert(state_->token);
}

Transaction::~Transaction() {
  Rollback();
  std::lock_guard lock(g_liveMutex);
  g_liveTokens.erase(state_->token);
}

std::optional<std::string> Transaction::Canonical(const std::string& path) {
  return state_->base.Canonical(path);
}

std::optional<std::string> Transaction::Find(std::string_view path, std::string_view baseFolder) {
  return state_->base.Find(path, baseFolder);
}

std::optional<FileKey> Transaction::Key(const std::string& resolvedPath) {
  return state_->base.Key(resolvedPath);
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
  Handle f;
  if (IoError e = s.Identify(resolvedPath, &index, &f)) return e;
  const State::Entry& e = s.entries[index];
  auto fault = [&] { return s.Fault(DiskOp::Read, resolvedPath); };
  if (e.dryText) {
    *contents = *e.dryText;
    return IoError{};
  }
  if (!e.temp.empty()) {
    Handle temp(::CreateFileW(s.Full(e, e.temp).c_str(), GENERIC_READ, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!temp.Ok()) return LastError();
    return ReadHandle(temp.h, e.stagedSize, contents, fault);
  }
  if (IoError err = ReadHandle(f.h, e.read.size, contents, fault)) return err;
  // A file written to while it was read is not the file that was read.
  Identity now;
  if (!IdentityOf(f.h, &now)) return LastError();
  if (!now.Same(e.read) || contents->size() != e.read.size) {
    contents->clear();
    return Changed();
  }
  return IoError{};
}

IoError Transaction::WriteAll(const std::string& resolvedPath, std::string_view contents) {
  State& s = *state_;
  if (int err = s.Fault(DiskOp::Check, resolvedPath)) return IoError{err};
  size_t index = 0;
  Handle original;
  if (IoError e = s.Identify(resolvedPath, &index, &original)) return e;
  State::Entry& e = s.entries[index];
  Identity now;
  if (!IdentityOf(original.h, &now)) return LastError();
  // Anything to change? The text is compared with the original's.
  if (contents.size() == e.read.size) {
    std::string text;
    if (IoError err = ReadHandle(original.h, e.read.size, &text,
                                 [&] { return s.Fault(DiskOp::Read, resolvedPath); }))
      return err;
    if (text == contents) {
      if (!e.temp.empty()) s.Unstage(e);
      e.dryText.reset();
      return IoError{};
    }
  }
  original.Close();
  if (IoError err = CheckWritableWide(s.Full(e, e.name))) return err;
  if (s.options.dryRun) {
    e.dryText = std::string(contents);
    return IoError{};
  }
  return s.Stage(e, contents, now.links > 1);
}

void Transaction::Rollback() {
  State& s = *state_;
  for (const size_t i : s.staged) {
    State::Entry& e = s.entries[i];
    if (!e.temp.empty() && !s.Fault(DiskOp::Remove, e.path))
      ::DeleteFileW(s.Full(e, e.temp).c_str());
    if (e.inPlace && !s.Fault(DiskOp::Remove, e.path)) ::DeleteFileW(s.Full(e, e.backup).c_str());
    e.temp.clear();
    e.backup.clear();
  }
  s.staged.clear();
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
  // file still ours; each staged file takes its original's attributes (the
  // replacement carries them only on some volumes).
  constexpr DWORD kKeep = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  for (const size_t i : order) {
    const State::Entry& e = s.entries[i];
    if (IoError err = s.Check(e)) return stop({e.path, err});
    const std::wstring temp = s.Full(e, e.temp);
    if (IndexAt(temp) != e.tempIndex)
      return stop({e.path, IoError{ENOENT, "its staged copy is gone"}});
    if (e.inPlace) continue;
    if (int err = s.Fault(DiskOp::Meta, e.path)) return stop({e.path, IoError{err}});
    const DWORD keep = e.read.attributes & kKeep;
    if (!::SetFileAttributesW(temp.c_str(), keep ? keep : FILE_ATTRIBUTE_NORMAL))
      return stop({e.path, LastError()});
  }

  // The journal, flushed before the first original changes.
  if (s.journalFolder.empty()) {
    const std::optional<std::wstring> wide = Wide(s.options.journalFolder);
    IoError error{ENOENT};
    const std::optional<std::wstring> folder = wide ? FinalPath(*wide, &error) : std::nullopt;
    if (!folder) return stop({s.options.journalFolder, error});
    s.journalFolder = *folder;
  }
  const std::wstring journal =
      Join(s.journalFolder, Ascii(std::string(kJournalMarker) + MakerText(s.token)));
  const std::string journalShown = Shown(journal);
  std::vector<JournalEntry> records;
  for (const size_t i : order) {
    const State::Entry& e = s.entries[i];
    records.push_back({e.inPlace ? 'W' : 'R',
                       ToUtf8(e.folder),
                       ToUtf8(e.name),
                       ToUtf8(e.temp),
                       ToUtf8(e.backup),
                       e.read.volume,
                       s.folderIndex[e.folder],
                       e.read.index,
                       e.tempIndex,
                       e.stagedSize,
                       {}});
  }
  auto removeJournal = [&] {
    if (!s.Fault(DiskOp::Remove, journalShown)) ::DeleteFileW(journal.c_str());
  };
  {
    if (int err = s.Fault(DiskOp::Journal, journalShown)) return stop({journalShown, IoError{err}});
    Handle f(::CreateFileW(journal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!f.Ok()) return stop({journalShown, LastError()});
    IoError err = WriteHandle(f.h, EncodeJournal(records),
                              [&] { return s.Fault(DiskOp::Journal, journalShown); });
    if (!err) {
      if (int e = s.Fault(DiskOp::Flush, journalShown)) {
        err = IoError{e};
      } else if (!::FlushFileBuffers(f.h)) {
        err = LastError();
      }
    }
    if (!f.Close() && !err) err = LastError();
    if (err) {
      ::DeleteFileW(journal.c_str());
      return stop({journalShown, err});
    }
  }

  // Each original replaced, checked once more just before; the files written
  // in place last.
  std::vector<size_t> applyOrder;
  for (const bool inPlace : {false, true}) {
    for (const size_t i : order) {
      if (s.entries[i].inPlace == inPlace) applyOrder.push_back(i);
    }
  }
  FileFailure failure;
  size_t applied = 0;
  for (; applied < applyOrder.size(); ++applied) {
    State::Entry& e = s.entries[applyOrder[applied]];
    IoError err = s.Check(e);
    if (!err && e.inPlace) {
      if (int f = s.Fault(DiskOp::Write, e.path)) {
        err = IoError{f};
      } else {
        e.written = true;
        err = WriteInto(s.Full(e, e.temp), s.Full(e, e.name), e.read.index, e.stagedSize,
                        [&](DiskOp op) { return s.Fault(op, e.path); });
      }
    } else if (!err) {
      if (int f = s.Fault(DiskOp::Rename, e.path)) {
        err = IoError{f};
      } else {
        err = Replace(s.Full(e, e.name), s.Full(e, e.temp), s.Full(e, e.backup));
        e.replaced = !err;
      }
    }
    if (err) {
      failure = {e.path, err};
      ++applied;  // it may be half way
      break;
    }
  }
  if (failure) {
    // Undo what was done; where even that fails, the journal stays and the
    // next run completes the commit.
    bool undone = true;
    for (size_t k = applied; k-- > 0;) undone = s.Undo(s.entries[applyOrder[k]]) && undone;
    if (undone) {
      removeJournal();
      return stop(std::move(failure));
    }
    result.failure = std::move(failure);
    result.pending = true;
    for (const size_t i : order) s.entries[i].temp.clear();
    s.staged.clear();
    return result;
  }

  // Done: the journal and the old files go.
  removeJournal();
  for (const size_t i : order) {
    State::Entry& e = s.entries[i];
    if (!s.Fault(DiskOp::Remove, e.path)) ::DeleteFileW(s.Full(e, e.backup).c_str());
    if (e.inPlace && !s.Fault(DiskOp::Remove, e.path)) ::DeleteFileW(s.Full(e, e.temp).c_str());
    e.temp.clear();
    e.backup.clear();
  }
  s.staged.clear();
  return result;
}

FileFailure Transaction::Recover(const std::string& folderPath, const FaultHook& hook) {
  auto fault = [&](DiskOp op, const std::string& path) { return hook ? hook(op, path) : 0; };
  const std::optional<std::wstring> wide = Wide(folderPath.empty() ? "." : folderPath);
  IoError ignored;
  const std::optional<std::wstring> folder = wide ? FinalPath(*wide, &ignored) : std::nullopt;
  if (!folder) return {};  // no folder, nothing to recover; the run will say more
  std::vector<std::wstring> journals;
  ListFiles(*folder, [&](const std::wstring& name) {
    const std::optional<Maker> maker = MakerOf(name, kJournalMarker, false);
    if (maker && !MakerAlive(*maker)) journals.push_back(name);
  });
  for (const std::wstring& journalName : journals) {
    const std::wstring journal = Join(*folder, journalName);
    const std::string journalShown = Shown(journal);
    if (int err = fault(DiskOp::Open, journalShown)) return {journalShown, IoError{err}};
    std::string text;
    {
      Handle f(::CreateFileW(journal.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!f.Ok()) return {journalShown, LastError()};
      if (IoError err =
              ReadHandle(f.h, 0, &text, [&] { return fault(DiskOp::Read, journalShown); }))
        return {journalShown, err};
    }
    const std::optional<std::vector<JournalEntry>> entries = DecodeJournal(text);
    if (entries) {
      // Complete each recorded replacement that has not happened.
      for (const JournalEntry& e : *entries) {
        const std::wstring dir = FromUtf8(e.folder);
        Handle f(OpenForInfo(dir));
        Identity id;
        if (!f.Ok() || !IdentityOf(f.h, &id) || id.volume != e.device ||
            id.index != e.folderInode) {
          continue;  // the folder is gone or moved: nothing to complete
        }
        const std::wstring name = Join(dir, FromUtf8(e.name));
        const std::wstring temp = Join(dir, FromUtf8(e.temp));
        const std::wstring backup = Join(dir, FromUtf8(e.old));
        const std::optional<uint64_t> at = IndexAt(name);
        if (at == e.newInode || IndexAt(temp) != e.newInode) continue;  // done, or nothing to do
        const std::string shown = Shown(name);
        if (e.kind == 'W') {
          // Written into the file itself, perhaps in part: written again.
          if (at != e.inode) continue;
          if (int err = fault(DiskOp::Write, shown)) return {shown, IoError{err}};
          if (IoError err = WriteInto(temp, name, e.inode, e.newSize,
                                      [&](DiskOp op) { return fault(op, shown); }))
            return {shown, err};
        } else if (at == e.inode) {
          if (int err = fault(DiskOp::Rename, shown)) return {shown, IoError{err}};
          if (IoError err = Replace(name, temp, backup)) return {shown, err};
        } else if (!at) {
          // Half way: the original went to its backup name.
          if (int err = fault(DiskOp::Rename, shown)) return {shown, IoError{err}};
          if (!Moved(temp, name)) return {shown, LastError()};
        }
      }
    }
    // A journal cut short was never complete, so no original was touched.
    if (int err = fault(DiskOp::Remove, journalShown)) return {journalShown, IoError{err}};
    if (!::DeleteFileW(journal.c_str())) return {journalShown, LastError()};
    // The old files and staged copies that remain.
    for (const JournalEntry& e : entries.value_or(std::vector<JournalEntry>{})) {
      const std::wstring dir = FromUtf8(e.folder);
      for (const std::string* name : {&e.temp, &e.old}) {
        const std::wstring ours = FromUtf8(*name);
        if (!MakerOf(ours, kTempMarker, true)) continue;
        const std::wstring path = Join(dir, ours);
        if (!fault(DiskOp::Remove, Shown(path))) ::DeleteFileW(path.c_str());
      }
    }
  }
  RemoveStaleTemps(*folder, fault);
  return {};
}

}  // namespace kv
