// The Windows file layer's own helpers, shared by RealDisk and the
// transaction over it: paths into UTF-16, errors into errno values, owned
// handles.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "disk.h"

namespace kv::win {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  Handle() = default;
  explicit Handle(HANDLE handle) : h(handle) {}
  Handle(Handle&& other) noexcept : h(std::exchange(other.h, INVALID_HANDLE_VALUE)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Close();
      h = std::exchange(other.h, INVALID_HANDLE_VALUE);
    }
    return *this;
  }
  ~Handle() { Close(); }
  bool Ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  BOOL Close() {
    if (!Ok()) return TRUE;
    const BOOL ok = ::CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
    return ok;
  }
};

// The nearest errno value for a Windows error.
int ErrnoOf(DWORD error);
IoError LastError();

// A narrow path in code page `codePage` (UTF-8 behind kUtf8Mark) as UTF-16,
// in the "\\?\" form beyond MAX_PATH; nullopt for a path that names no file.
std::optional<std::wstring> Wide(std::string_view path, unsigned codePage);

// The final path of the file or folder a path names (links followed, names in
// their case on disk), in the "\\?\" form.
std::optional<std::wstring> FinalPath(const std::wstring& path, IoError* error);

// Whether a write of the file (a final path) would be refused: a folder, the
// read-only attribute, the ACL or a lock.
IoError CheckWritableWide(const std::wstring& path);

}  // namespace kv::win
