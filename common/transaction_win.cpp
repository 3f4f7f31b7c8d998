// The run's transaction on Windows: the platform's operations
// (private/transaction_os.h) over the wide API. The commit and the recovery
// themselves are in transaction.cpp. Here:
// - Folders are held by their final path; names are UTF-8 and become UTF-16
//   at each call. No call follows a symbolic link or junction at the last
//   step; other reparse points (files kept in a cloud, deduplicated files)
//   read as their data.
// - A staged file replaces its original through ReplaceFileW (which keeps
//   the ACL and the alternate data streams), the original going to a second
//   name; where the volume lacks it, two renames written through.
// - Renames are written through, so folders need no flush of their own.
// - Our files carry the process id and the process's creation time, since
//   Windows gives a dead process's id to new ones; "ours" is a file whose
//   owner is this user's SID (or the token's default owner).
#include <aclapi.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "private/transaction_os.h"
#include "win_file.h"

namespace kv::os {

using win::Handle;
using win::kShareAll;
using win::LastError;

namespace {

HANDLE H(const Node& n) { return reinterpret_cast<HANDLE>(n.get()); }
Node Adopt(Handle& h) {
  return Node(reinterpret_cast<intptr_t>(std::exchange(h.h, INVALID_HANDLE_VALUE)));
}

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

std::wstring Full(const Dir& dir, const std::string& name) {
  return FromUtf8(dir.path) + L"\\" + FromUtf8(name);
}

// The token's user and default owner: a file of ours has one of them as its
// owner (an administrator's files may belong to the Administrators group).
bool OwnedByUs(HANDLE h) {
  static const std::pair<std::vector<BYTE>, std::vector<BYTE>> sids = [] {
    std::pair<std::vector<BYTE>, std::vector<BYTE>> out;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return out;
    for (auto [kind, into] :
         {std::pair{TokenUser, &out.first}, std::pair{TokenOwner, &out.second}}) {
      DWORD size = 0;
      ::GetTokenInformation(token, kind, nullptr, 0, &size);
      std::vector<BYTE> buffer(size);
      if (size && ::GetTokenInformation(token, kind, buffer.data(), size, &size)) {
        PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                     : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
        into->assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + ::GetLengthSid(sid));
      }
    }
    ::CloseHandle(token);
    return out;
  }();
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &sd) != ERROR_SUCCESS) {
    return false;
  }
  bool ours = false;
  for (const std::vector<BYTE>* sid : {&sids.first, &sids.second}) {
    if (!sid->empty() && owner && ::EqualSid(owner, const_cast<BYTE*>(sid->data()))) ours = true;
  }
  ::LocalFree(sd);
  return ours;
}

// A symbolic link or a junction: a reparse point that names another file.
bool NamesAnother(HANDLE h, DWORD attributes) {
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return IsReparseTagNameSurrogate(tag.ReparseTag);
}

IoError Fill(HANDLE h, FileInfo* info) {
  BY_HANDLE_FILE_INFORMATION data;
  if (!::GetFileInformationByHandle(h, &data)) return LastError();
  info->kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileInfo::Kind::Folder
               : NamesAnother(h, data.dwFileAttributes)           ? FileInfo::Kind::Other
                                                                  : FileInfo::Kind::Regular;
  if (::GetFileType(h) != FILE_TYPE_DISK) info->kind = FileInfo::Kind::Other;
  info->volume = data.dwVolumeSerialNumber;
  info->index = (uint64_t{data.nFileIndexHigh} << 32) | data.nFileIndexLow;
  info->size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  info->links = data.nNumberOfLinks;
  info->written = static_cast<int64_t>((uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                       data.ftLastWriteTime.dwLowDateTime);
  FILE_BASIC_INFO basic;
  info->changed = ::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)
                      ? basic.ChangeTime.QuadPart
                      : 0;
  info->attributes = data.dwFileAttributes;
  info->ours = OwnedByUs(h);
  info->shared = false;
  return IoError{};
}

// Writes the whole text; `fault` is asked before each chunk.
IoError WriteHandle(HANDLE h, std::string_view text, const std::function<int()>& fault) {
  constexpr size_t kChunk = size_t{4} << 20;
  for (size_t done = 0; done < text.size();) {
    if (fault) {
      if (int e = fault()) return IoError{e};
    }
    const DWORD want = static_cast<DWORD>(std::min(kChunk, text.size() - done));
    DWORD put = 0;
    if (!::WriteFile(h, text.data() + done, want, &put, nullptr)) return LastError();
    done += put;
  }
  return IoError{};
}

bool Moved(const std::wstring& from, const std::wstring& to) {
  return ::MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

uint64_t CreationOf(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

}  // namespace

int Node::Close() {
  if (value_ == kNone) return 0;
  const BOOL ok = ::CloseHandle(reinterpret_cast<HANDLE>(std::exchange(value_, kNone)));
  return ok ? 0 : win::ErrnoOf(::GetLastError());
}

const char kSeparator = '\\';
const bool kFlushesVolumes = false;
const bool kMakerHasCreation = true;

// Without the "\\?\" prefix, in the run's path code page where it can be
// written so, in UTF-8 otherwise.
std::string Shown(const std::string& folder, const std::string& name, unsigned pathCodePage) {
  std::wstring path = FromUtf8(folder) + L"\\" + FromUtf8(name);
  if (path.starts_with(L"\\\\?\\UNC\\")) {
    path = L"\\" + path.substr(7);
  } else if (path.starts_with(L"\\\\?\\")) {
    path = path.substr(4);
  }
  const int size = static_cast<int>(path.size());
  BOOL lost = FALSE;
  const UINT cp = pathCodePage;
  const int n = ::WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, path.data(), size, nullptr, 0,
                                      nullptr, &lost);
  if (n <= 0 || lost) return ToUtf8(path);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, path.data(), size, out.data(), n, nullptr,
                        nullptr);
  return out;
}

bool IsAbsolute(std::string_view p) {
  return p.starts_with("\\\\") || (p.size() >= 3 && p[1] == ':' && p[2] == '\\');
}

IoError Locate(RealDisk& base, const std::string& path, std::string* folder, std::string* name) {
  const std::optional<std::wstring> wide = win::Wide(path, base.PathCodePage());
  if (!wide) return IoError{ENOENT};
  const DWORD attributes = ::GetFileAttributesW(wide->c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return IoError{EISDIR};
  IoError error;
  const std::optional<std::wstring> final = win::FinalPath(*wide, &error);
  if (!final) return error;
  const size_t slash = final->find_last_of(L'\\');
  if (slash == final->npos) return IoError{ENOENT};
  *folder = ToUtf8(final->substr(0, slash));
  *name = ToUtf8(final->substr(slash + 1));
  return IoError{};
}

// A final path ("\\?\..." in UTF-8, as recorded), or a path in the run's
// path code page as the run was given it.
IoError OpenFolder(const std::string& path, unsigned pathCodePage, Dir* dir) {
  std::optional<std::wstring> wide =
      path.starts_with("\\\\?\\") ? std::optional(FromUtf8(path)) : win::Wide(path, pathCodePage);
  if (!wide) return IoError{ENOENT};
  IoError error{ENOENT};
  const std::optional<std::wstring> final = win::FinalPath(*wide, &error);
  if (!final) return error;
  Handle f(::CreateFileW(final->c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!f.Ok()) return LastError();
  if (IoError e = Fill(f.h, &dir->info)) return e;
  if (dir->info.kind != FileInfo::Kind::Folder) return IoError{ENOTDIR};
  dir->path = ToUtf8(*final);
  dir->node = Adopt(f);
  return IoError{};
}

IoError OpenEntry(const Dir& dir, const std::string& name, Access access, Node* file) {
  const std::wstring path = Full(dir, name);
  const DWORD want = READ_CONTROL | (access == Access::Read    ? GENERIC_READ
                                     : access == Access::Write ? GENERIC_READ | GENERIC_WRITE
                                                               : GENERIC_WRITE);
  const DWORD flags = access == Access::Read ? FILE_FLAG_BACKUP_SEMANTICS : 0;
  Handle f(::CreateFileW(path.c_str(), want, kShareAll, nullptr, OPEN_EXISTING,
                         flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!f.Ok()) return LastError();
  BY_HANDLE_FILE_INFORMATION data;
  if (!::GetFileInformationByHandle(f.h, &data)) return LastError();
  if (NamesAnother(f.h, data.dwFileAttributes)) return IoError{ELOOP};
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A file kept elsewhere: opened for its data.
    f = Handle(
        ::CreateFileW(path.c_str(), want, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr));
    if (!f.Ok()) return LastError();
  }
  *file = Adopt(f);
  return IoError{};
}

IoError CreateEntry(const Dir& dir, const std::string& name, Node* file) {
  Handle f(::CreateFileW(Full(dir, name).c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr));
  if (!f.Ok()) return LastError();
  *file = Adopt(f);
  return IoError{};
}

IoError InfoOf(const Node& file, FileInfo* info) { return Fill(H(file), info); }

IoError InfoAt(const Dir& dir, const std::string& name, FileInfo* info) {
  *info = FileInfo{};
  Handle f(::CreateFileW(Full(dir, name).c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!f.Ok()) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return IoError{};
    return IoError{win::ErrnoOf(error)};
  }
  return Fill(f.h, info);
}

IoError ReadRest(const Node& file, uint64_t sizeHint, std::string* contents,
                 const std::function<int()>& fault, bool /*untilEnd*/) {
  contents->clear();
  contents->reserve(static_cast<size_t>(sizeHint));
  char buffer[64 * 1024];
  for (;;) {
    if (int e = fault()) {
      contents->clear();
      return IoError{e};
    }
    DWORD got = 0;
    if (!::ReadFile(H(file), buffer, sizeof buffer, &got, nullptr)) {
      contents->clear();
      return LastError();
    }
    if (got == 0) return IoError{};
    contents->append(buffer, got);
  }
}

IoError ReadAt(const Node& file, uint64_t offset, char* buffer, size_t size, size_t* got) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  if (!::ReadFile(H(file), buffer, static_cast<DWORD>(std::min<size_t>(size, 1 << 30)), &n, &at)) {
    if (::GetLastError() != ERROR_HANDLE_EOF) return LastError();
    n = 0;
  }
  *got = n;
  return IoError{};
}

IoError WriteText(const Node& file, std::string_view text, const std::function<int()>& fault) {
  return WriteHandle(H(file), text, fault);
}

// No mapped reads here: the engines get the file's bytes in their buffer,
// and an edited text is joined before it is written.
bool MapRest(const Node&, uint64_t, MappedText*) { return false; }

IoError WriteEdited(const Node& file, const EditedText& text, const std::function<int()>& fault) {
  if (text.edits.empty()) return WriteHandle(H(file), text.base, fault);
  const std::string joined = text.Join();
  return WriteHandle(H(file), joined, fault);
}

IoError CopyInto(const Node& fromNode, const Node& toNode, uint64_t size) {
  const HANDLE from = H(fromNode), to = H(toNode);
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
    if (IoError e = WriteHandle(to, std::string_view(buffer.data(), got), {})) return e;
    done += got;
  }
  if (!::SetEndOfFile(to)) return LastError();
  return IoError{};
}

IoError Flush(const Node& file) { return ::FlushFileBuffers(H(file)) ? IoError{} : LastError(); }

IoError CheckWritable(const Dir& dir, const std::string& name, const FileInfo&) {
  return win::CheckWritableWide(Full(dir, name));
}

IoError CheckOwnerKeepable(const FileInfo&) { return IoError{}; }

// The attributes the replacement carries only on some volumes.
IoError KeepMetadata(const Node&, const Node& staged, const FileInfo& read, uint64_t* stagedIndex) {
  FileInfo st;
  if (IoError err = InfoOf(staged, &st)) return err;
  *stagedIndex = st.index;
  constexpr DWORD kKeep = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO basic{};
  const DWORD keep = read.attributes & kKeep;
  basic.FileAttributes = keep ? keep : FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileInformationByHandle(H(staged), FileBasicInfo, &basic, sizeof basic))
    return LastError();
  return IoError{};
}

std::string SavedByWrite(const Node&) { return {}; }

IoError WriteInPlace(const Node& from, const Node& to, uint64_t size, uint32_t,
                     const std::string&) {
  return CopyInto(from, to, size);
}

IoError Swap(const Dir& dir, const std::string& nameU, const std::string& tempU,
             const std::string& oldU, bool, Swapped* state) {
  const std::wstring name = Full(dir, nameU), temp = Full(dir, tempU), old = Full(dir, oldU);
  *state = Swapped::None;
  if (::ReplaceFileW(name.c_str(), temp.c_str(), old.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                     nullptr, nullptr)) {
    *state = Swapped::Renamed;
    return IoError{};
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    *state = Swapped::OldKept;  // the original at its second name, the name free
    return IoError{win::ErrnoOf(error)};
  }
  if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION &&
      error != ERROR_INVALID_PARAMETER) {
    return IoError{win::ErrnoOf(error)};
  }
  // No replacement on this volume: the original to its second name, and the
  // caller renames the staged file into its place.
  if (!::MoveFileExW(name.c_str(), old.c_str(), MOVEFILE_WRITE_THROUGH)) return LastError();
  *state = Swapped::OldKept;
  return IoError{};
}

IoError Exchange(const Dir&, const std::string&, const std::string&) { return IoError{ENOSYS}; }

IoError Replace(const Dir& dir, const std::string& name, const std::string& temp,
                const std::string& old) {
  Swapped state = Swapped::None;
  if (IoError err = Swap(dir, name, temp, old, false, &state)) return err;
  return state == Swapped::OldKept ? Rename(dir, temp, name) : IoError{};
}

IoError Rename(const Dir& dir, const std::string& from, const std::string& to) {
  return Moved(Full(dir, from), Full(dir, to)) ? IoError{} : LastError();
}

IoError Remove(const Dir& dir, const std::string& name) {
  return ::DeleteFileW(Full(dir, name).c_str()) ? IoError{} : LastError();
}

void RemoveMany(const std::vector<std::pair<const Dir*, std::string>>& names) {
  for (const auto& [dir, name] : names) (void)Remove(*dir, name);
}

IoError FlushFolder(const Dir&, bool) { return IoError{}; }

void List(const Dir& dir, const std::function<void(const std::string&)>& each) {
  WIN32_FIND_DATAW data;
  const HANDLE find = ::FindFirstFileExW((FromUtf8(dir.path) + L"\\*").c_str(), FindExInfoBasic,
                                         &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::string> names;
  do {
    names.push_back(ToUtf8(data.cFileName));
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  for (const std::string& name : names) each(name);
}

Maker Self() {
  static const uint64_t created = CreationOf(::GetCurrentProcess());
  return Maker{::GetCurrentProcessId(), created, {}};
}

bool ProcessAlive(const Maker& maker) {
  Handle process(
      ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(maker.pid)));
  // No such process; one we may not ask about is taken as alive.
  if (!process.Ok()) return ::GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  if (::GetExitCodeProcess(process.h, &code) && code != STILL_ACTIVE) return false;
  const uint64_t created = CreationOf(process.h);
  return created == 0 || created == maker.created;  // another process under a reused id
}

// Staged files are flushed at the commit only.
struct BackgroundFlush::Impl {};
BackgroundFlush::BackgroundFlush() = default;
BackgroundFlush::~BackgroundFlush() = default;
void BackgroundFlush::Request(const Dir&) {}
void BackgroundFlush::Stop() {}

}  // namespace kv::os
