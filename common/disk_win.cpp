// The file layer on Windows: UTF-16 paths through the wide API, converted
// from the disk's ANSI code page; the system's own case-blind lookup; an
// atomic replacement with ReplaceFileW (which keeps the replaced file's ACL,
// attributes and alternate data streams) after FlushFileBuffers.
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "disk.h"
#include "win_file.h"

namespace kv {

std::string NativePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

namespace win {

// The nearest errno value for a Windows error, so that messages read as they
// do on other systems.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DIRECTORY:
      return EISDIR;
    default:
      return EIO;
  }
}

IoError LastError() { return IoError{ErrnoOf(::GetLastError())}; }

// A narrow path in code page `codePage` as UTF-16. Bytes the code page does
// not define come through as the system chooses (Windows-1252 leaves none).
std::optional<std::wstring> Wide(std::string_view path, unsigned codePage) {
  if (path.empty()) return std::wstring();
  // The part behind kUtf8Mark, if any, is UTF-8.
  const size_t mark = path.find(kUtf8Mark);
  if (mark != std::string_view::npos && path.find(kUtf8Mark, mark + 1) != std::string_view::npos) {
    return std::nullopt;
  }
  std::wstring out;
  auto append = [&out](std::string_view part, UINT cp, DWORD flags) {
    if (part.empty()) return true;
    const int size = static_cast<int>(part.size());
    const int n = ::MultiByteToWideChar(cp, flags, part.data(), size, nullptr, 0);
    if (n <= 0) return false;
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    ::MultiByteToWideChar(cp, flags, part.data(), size, out.data() + at, n);
    return true;
  };
  if (!append(path.substr(0, mark), codePage, 0)) return std::nullopt;
  if (mark != std::string_view::npos &&
      !append(path.substr(mark + 1), CP_UTF8, MB_ERR_INVALID_CHARS)) {
    return std::nullopt;
  }
  // A path with a NUL in it names no file.
  if (out.find(L'\0') != std::wstring::npos) return std::nullopt;
  // Beyond MAX_PATH the API wants the full path in its "\\?\" form, which it
  // takes verbatim (no "/", ".", ".." and relative parts: those go first).
  if (out.size() >= MAX_PATH - 12 && !out.starts_with(L"\\\\?\\")) {
    const DWORD need = ::GetFullPathNameW(out.c_str(), 0, nullptr, nullptr);
    if (need == 0) return std::nullopt;
    std::wstring full(need, L'\0');
    full.resize(::GetFullPathNameW(out.c_str(), need, full.data(), nullptr));
    out = full.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
  }
  return out;
}

namespace {

bool IsAbsolute(std::string_view p) {
  return (!p.empty() && (p[0] == '\\' || p[0] == '/')) ||
         (p.size() >= 2 && p[1] == ':' &&
          ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')));
}

// The file's attributes, or INVALID_FILE_ATTRIBUTES.
DWORD Attributes(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }

}  // namespace

// The final path of the file or folder a path names (a symbolic link
// followed, each name in the letter case it has on disk), in the long form
// GetFinalPathNameByHandleW gives.
std::optional<std::wstring> FinalPath(const std::wstring& path, IoError* error) {
  Handle f;
  // No access asked for: any file opens so, whoever holds it; the flag lets a
  // folder open too.
  f.h = ::CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (!f.Ok()) {
    *error = LastError();
    return std::nullopt;
  }
  std::wstring out(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(f.h, out.data(), static_cast<DWORD>(out.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n > 0 && n < out.size()) {
      out.resize(n);
      return out;
    }
    if (n > 0) {
      out.resize(n + 1);  // too small: Windows says how much is needed
      continue;
    }
    // Wine names no final path longer than MAX_PATH; the path as given, in its
    // long form, then stands for it (a link on the way is not followed).
    if (::GetLastError() == ERROR_MORE_DATA && path.starts_with(L"\\\\?\\")) return path;
    *error = LastError();
    return std::nullopt;
  }
}

IoError CheckWritableWide(const std::wstring& path) {
  const DWORD attributes = Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return IoError{EISDIR};
  // The read-only attribute is honoured even where the user could clear it.
  if (attributes & FILE_ATTRIBUTE_READONLY) return IoError{EACCES};
  // Opening for writing (without changing anything) asks the ACL and any lock.
  Handle f;
  f.h = ::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!f.Ok()) return LastError();
  return IoError{};
}

}  // namespace win

using namespace win;

std::optional<std::string> RealDisk::Canonical(const std::string& path) {
  // The name the system itself gives the file or folder: absolute, links
  // followed, and each name in its letter case on disk, so that a folder typed
  // in another case is the same folder. "\" between names, as Windows shows
  // paths. Where the file cannot be opened, its full path as typed.
  const std::optional<std::wstring> wide = Wide(path.empty() ? "." : path, pathCodePage_);
  if (!wide) return std::nullopt;
  IoError ignored;
  std::optional<std::wstring> full = FinalPath(*wide, &ignored);
  if (!full) {
    const DWORD need = ::GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
    if (need == 0) return std::nullopt;
    full.emplace(need, L'\0');
    full->resize(::GetFullPathNameW(wide->c_str(), need, full->data(), nullptr));
  }
  if (full->starts_with(L"\\\\?\\UNC\\")) {
    full = L"\\" + full->substr(7);
  } else if (full->starts_with(L"\\\\?\\")) {
    full = full->substr(4);
  }
  // Into the disk's code page. A path it cannot write (a folder named in
  // another script) is given in UTF-8 instead: every path below that folder
  // holds the same name and so comes out the same way, and still compares.
  for (const UINT page : {UINT{pathCodePage_}, UINT{CP_UTF8}}) {
    BOOL lost = FALSE;
    const DWORD flags = page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL* lostPtr = page == CP_UTF8 ? nullptr : &lost;
    const int size = static_cast<int>(full->size());
    const int n =
        ::WideCharToMultiByte(page, flags, full->data(), size, nullptr, 0, nullptr, lostPtr);
    if (n <= 0 || lost) continue;
    std::string text(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(page, flags, full->data(), size, text.data(), n, nullptr, nullptr);
    return text;
  }
  return std::nullopt;
}

std::optional<std::string> RealDisk::Find(std::string_view path, std::string_view baseFolder) {
  if (path.empty()) return std::nullopt;
  std::string full;
  if (IsAbsolute(path) || baseFolder.empty()) {
    full = NativePath(path);
  } else {
    full = NativePath(baseFolder);
    if (full.back() != '\\') full += '\\';
    full += NativePath(path);
  }
  // The file system looks names up without regard to letter case itself.
  const std::optional<std::wstring> wide = Wide(full, pathCodePage_);
  if (!wide) return std::nullopt;
  const DWORD attributes = Attributes(*wide);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::nullopt;
  }
  return full;
}

std::optional<FileKey> RealDisk::Key(const std::string& resolvedPath) {
  const std::optional<std::wstring> wide = Wide(resolvedPath, pathCodePage_);
  if (!wide) return std::nullopt;
  Handle f;
  f.h = ::CreateFileW(wide->c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (!f.Ok()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(f.h, &info)) return std::nullopt;
  return FileKey{info.dwVolumeSerialNumber,
                 (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

IoError RealDisk::ReadAll(const std::string& resolvedPath, std::string* contents) {
  contents->clear();
  if (int e = Fault(DiskOp::Open, resolvedPath)) return IoError{e};
  const std::optional<std::wstring> wide = Wide(resolvedPath, pathCodePage_);
  if (!wide) return IoError{ENOENT};
  const DWORD attributes = Attributes(*wide);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return IoError{EISDIR};
  }
  Handle f;
  f.h = ::CreateFileW(wide->c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (!f.Ok()) return LastError();
  LARGE_INTEGER size;
  size_t expected = 0;
  if (::GetFileSizeEx(f.h, &size) && size.QuadPart > 0) {
    expected = static_cast<size_t>(size.QuadPart);
    contents->reserve(expected + expected / 8 + 256);
    contents->resize(expected);
  }
  size_t have = 0;
  char more[64 * 1024];
  for (;;) {
    if (int e = Fault(DiskOp::Read, resolvedPath)) {
      contents->clear();
      return IoError{e};
    }
    const bool direct = have < contents->size();
    const size_t room = direct ? contents->size() - have : sizeof more;
    const DWORD want = static_cast<DWORD>(room > (DWORD{1} << 30) ? (DWORD{1} << 30) : room);
    DWORD got = 0;
    if (!::ReadFile(f.h, direct ? contents->data() + have : more, want, &got, nullptr)) {
      const IoError e = LastError();
      contents->clear();
      return e;
    }
    if (got == 0) break;
    if (direct) {
      have += got;
    } else {
      contents->append(more, got);
      have = contents->size();
    }
  }
  contents->resize(have);
  return IoError{};
}

IoError CheckWritable(const std::string& resolvedPath, unsigned pathCodePage) {
  const std::optional<std::wstring> wide = Wide(resolvedPath, pathCodePage);
  if (!wide) return IoError{ENOENT};
  IoError error;
  const std::optional<std::wstring> target = FinalPath(*wide, &error);
  if (!target) return error;
  return CheckWritableWide(*target);
}

IoError RealDisk::WriteAll(const std::string& resolvedPath, std::string_view contents) {
  const std::optional<std::wstring> wide = Wide(resolvedPath, pathCodePage_);
  if (!wide) return IoError{ENOENT};
  // Replace the file a symbolic link points to, so that the link stays a link.
  IoError error;
  const std::optional<std::wstring> target = FinalPath(*wide, &error);
  if (!target) return error;
  if (IoError e = CheckWritableWide(*target)) return e;

  const size_t slash = target->find_last_of(L"\\/");
  const std::wstring folder = target->substr(0, slash + 1);
  // The temporary name carries the target's name, cut so that the whole stays
  // within the longest name a folder entry may have.
  std::wstring stem = target->substr(slash + 1);
  const std::wstring marker(kTempMarker.begin(), kTempMarker.end());
  const size_t room = 255 - 1 - marker.size() - 6;
  if (stem.size() > room) stem.resize(room);

  if (int e = Fault(DiskOp::Open, resolvedPath)) return IoError{e};
  static const wchar_t kLetters[] =
      L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::minstd_rand random(seed());
  std::wstring temp;
  Handle f;
  for (int attempt = 0; attempt < 100 && !f.Ok(); ++attempt) {
    std::wstring suffix(6, L'x');
    for (wchar_t& c : suffix) c = kLetters[random() % (sizeof kLetters / sizeof *kLetters - 1)];
    temp = folder + L"." + stem + marker + suffix;
    f.h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (!f.Ok() && ::GetLastError() != ERROR_FILE_EXISTS) return LastError();
  }
  if (!f.Ok()) return IoError{EEXIST};

  auto fail = [&](IoError e) {
    f.Close();
    ::DeleteFileW(temp.c_str());
    return e;
  };

  constexpr size_t kChunk = size_t{4} << 20;
  size_t done = 0;
  while (done < contents.size()) {
    if (int e = Fault(DiskOp::Write, resolvedPath)) return fail(IoError{e});
    const DWORD want = static_cast<DWORD>(std::min(kChunk, contents.size() - done));
    DWORD put = 0;
    if (!::WriteFile(f.h, contents.data() + done, want, &put, nullptr)) return fail(LastError());
    done += put;
  }
  if (int e = Fault(DiskOp::Flush, resolvedPath)) return fail(IoError{e});
  if (!::FlushFileBuffers(f.h)) return fail(LastError());
  if (!f.Close()) return fail(LastError());
  // The attributes go over before the swap (ReplaceFileW carries them too, but
  // not every implementation of it does, nor does the fallback below).
  const DWORD keep = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD attributes = Attributes(*target);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & keep) != 0 &&
      !::SetFileAttributesW(temp.c_str(), attributes & keep)) {
    return fail(LastError());
  }
  if (int e = Fault(DiskOp::Rename, resolvedPath)) return fail(IoError{e});
  // ReplaceFileW gives the new content the old file's identity: its ACL,
  // attributes and alternate data streams. Where the volume cannot do that, a
  // plain replacing move, written through, still swaps the two atomically.
  if (!::ReplaceFileW(target->c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                      nullptr, nullptr)) {
    const DWORD replaceError = ::GetLastError();
    if (replaceError == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
        Attributes(*target) == INVALID_FILE_ATTRIBUTES) {
      // The old file is gone and the new content has not taken its name: the
      // temporary file is now the only copy. Move it into place, or keep it.
      if (::MoveFileExW(temp.c_str(), target->c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return IoError{};
      }
      return IoError{ErrnoOf(replaceError)};
    }
    const bool unsupported = replaceError == ERROR_NOT_SUPPORTED ||
                             replaceError == ERROR_INVALID_FUNCTION ||
                             replaceError == ERROR_INVALID_PARAMETER;
    if (!unsupported) return fail(IoError{ErrnoOf(replaceError)});
    if (!::MoveFileExW(temp.c_str(), target->c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return fail(LastError());
    }
  }
  return IoError{};
}

}  // namespace kv

namespace kv {

std::optional<std::vector<Disk::FolderEntry>> Disk::ListFolder(const std::string& folder) {
  std::string pattern = folder.empty() ? std::string(".") : NativePath(folder);
  if (pattern.back() != '\\') pattern += '\\';
  pattern += '*';
  const std::optional<std::wstring> wide = win::Wide(pattern, PathCodePage());
  if (!wide) return std::nullopt;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(wide->c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return std::nullopt;
  // Names in the disk's path code page; a name it cannot write in UTF-8 behind
  // the mark, and every name in UTF-8 below a folder already named so.
  const UINT codePage = PathCodePage();
  const bool utf8Folder = folder.find(kUtf8Mark) != std::string::npos;
  std::vector<FolderEntry> entries;
  do {
    const std::wstring_view name(data.cFileName);
    if (name == L"." || name == L"..") continue;
    std::string narrow;
    for (const UINT page : {utf8Folder ? UINT{CP_UTF8} : codePage, UINT{CP_UTF8}}) {
      BOOL lost = FALSE;
      const DWORD flags = page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
      BOOL* lostPtr = page == CP_UTF8 ? nullptr : &lost;
      const int size = static_cast<int>(name.size());
      const int n =
          ::WideCharToMultiByte(page, flags, name.data(), size, nullptr, 0, nullptr, lostPtr);
      if (n <= 0 || lost) continue;
      narrow.assign(static_cast<size_t>(n), '\0');
      ::WideCharToMultiByte(page, flags, name.data(), size, narrow.data(), n, nullptr, nullptr);
      if (page == CP_UTF8 && !utf8Folder) narrow.insert(narrow.begin(), kUtf8Mark);
      break;
    }
    if (narrow.empty()) continue;
    const DWORD a = data.dwFileAttributes;
    FolderEntry::Kind kind = FolderEntry::Kind::File;
    if (a & FILE_ATTRIBUTE_DIRECTORY) {
      kind =
          (a & FILE_ATTRIBUTE_REPARSE_POINT) ? FolderEntry::Kind::Other : FolderEntry::Kind::Folder;
    }
    entries.push_back(FolderEntry{std::move(narrow), kind});
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return entries;
}

}  // namespace kv
