#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <optional>

#include "general_functions.h"
#include "output_file.h"
#include "win_file.h"

namespace kv {

using namespace win;

namespace {

std::string FolderOf(const std::string& path) {
  const std::string folder = GetFolderFromPath(path);
  return folder.empty() ? std::string(".") : folder;
}

}  // namespace

IoError CheckOutputFile(const std::string& path) {
  if (path.empty() || path.back() == '/' || path.back() == '\\') return IoError{EISDIR};
  const std::optional<std::wstring> folder = Wide(FolderOf(path));
  const std::optional<std::wstring> target = Wide(path);
  if (!folder || !target) return IoError{ENOENT};
  const DWORD attributes = ::GetFileAttributesW(folder->c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return IoError{ENOTDIR};
  const DWORD own = ::GetFileAttributesW(target->c_str());
  if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_DIRECTORY)) return IoError{EISDIR};
  // A file whose Read-only box is ticked is never replaced.
  if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_READONLY)) return IoError{EACCES};
  return IoError{};
}

IoError WriteOutputFile(const std::string& path, std::string_view bytes) {
  if (IoError e = CheckOutputFile(path)) return e;
  const std::optional<std::wstring> target = Wide(path);
  if (!target) return IoError{ENOENT};
  std::wstring temp;
  Handle f;
  for (unsigned attempt = 0; !f.Ok() && attempt < 100; ++attempt) {
    wchar_t suffix[64];
    std::swprintf(suffix, 64, L".kvmigrate-out-%lu-%lx-%u", ::GetCurrentProcessId(),
                  ::GetTickCount(), attempt);
    temp = *target + suffix;
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
  for (size_t done = 0; done < bytes.size();) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    DWORD written = 0;
    if (!::WriteFile(f.h, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      return fail(LastError());
    }
    done += written;
  }
  if (!::FlushFileBuffers(f.h)) return fail(LastError());
  if (!f.Close()) return fail(LastError());
  // A symbolic link at the target's name is replaced, not followed.
  if (!::MoveFileExW(temp.c_str(), target->c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return fail(LastError());
  }
  return IoError{};
}

}  // namespace kv
