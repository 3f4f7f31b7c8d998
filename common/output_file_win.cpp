#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "output_file.h"
#include "win_file.h"

namespace kv {

namespace {

std::string Joined(const OutputPathParts& parts, const std::string& name) {
  const char last = parts.folder.back();
  return parts.folder + (last == '\\' || last == '/' ? "" : "\\") + name;
}

}  // namespace

std::optional<std::string> OutputPathProblem(const std::string& path, unsigned pathCodePage) {
  if (path.empty()) return "the name is empty";
  const OutputPathParts parts = SplitOutputPath(path);
  if (parts.name.empty() || parts.name == "." || parts.name == "..") return "it names a folder";
  const std::optional<std::wstring> folder = win::Wide(parts.folder, pathCodePage);
  const std::optional<std::wstring> file = win::Wide(path, pathCodePage);
  if (!folder || !file) return "it names no file";
  const DWORD attributes = ::GetFileAttributesW(folder->c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return "its folder " + parts.folder + " cannot be used: " + win::LastError().Message();
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return "its folder " + parts.folder + " is not a folder";
  }
  const DWORD target = ::GetFileAttributesW(file->c_str());
  if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_DIRECTORY) &&
      !(target & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return "it names a folder";
  }
  // A read-only file is not replaced, as a project's files are not.
  if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_READONLY) &&
      !(target & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return "it is read-only";
  }
  return std::nullopt;
}

IoError WriteOutputFile(const std::string& path, std::string_view contents, unsigned pathCodePage) {
  const OutputPathParts parts = SplitOutputPath(path);
  if (parts.name.empty() || parts.name == "." || parts.name == "..") return IoError{EISDIR};
  const std::optional<std::wstring> target = win::Wide(path, pathCodePage);
  if (!target) return IoError{ENOENT};
  std::wstring temp;
  win::Handle file;
  for (int attempt = 0; attempt < 100 && !file.Ok(); ++attempt) {
    const std::optional<std::wstring> name =
        win::Wide(Joined(parts, OutputTempName(parts.name)), pathCodePage);
    if (!name) return IoError{ENOENT};
    temp = *name;
    file = win::Handle(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Ok() && ::GetLastError() != ERROR_FILE_EXISTS) return win::LastError();
  }
  if (!file.Ok()) return IoError{EEXIST};
  auto fail = [&](IoError e) {
    file.Close();
    ::DeleteFileW(temp.c_str());
    return e.code ? e : IoError{EIO};
  };
  while (!contents.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(contents.size(), size_t{1} << 20));
    DWORD written = 0;
    if (!::WriteFile(file.h, contents.data(), chunk, &written, nullptr) || written == 0) {
      return fail(win::LastError());
    }
    contents.remove_prefix(written);
  }
  if (!::FlushFileBuffers(file.h)) return fail(win::LastError());
  if (!file.Close()) return fail(win::LastError());
  // A move replaces a link of that name, never the file it leads to.
  if (!::MoveFileExW(temp.c_str(), target->c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return fail(win::LastError());
  }
  return IoError{};
}

}  // namespace kv
