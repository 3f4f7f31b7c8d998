// Path splitting shared by both migrators. Paths are byte strings; both "\"
// (as written in Windows project files) and "/" separate components.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kv {

inline bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// A separator of the paths the system itself takes: "/", and on Windows also
// "\".
inline bool IsNativeSeparator(char c) {
#ifdef _WIN32
  return IsPathSeparator(c);
#else
  return c == '/';
#endif
}

// The last path component, cleaned by NormalizeSpaces. Empty when the path
// ends with a separator; the whole (cleaned) text when it has none.
std::string GetFileNameFromPath(std::string_view path);

// Everything up to and including the last separator, or "" when there is none.
// A folder and a relative name join by plain concatenation.
std::string GetFolderFromPath(std::string_view path);

// From the last "." to the end, dot included, in the path's own letter case.
// No dot at all: no extension (std::nullopt).
std::optional<std::string> GetFileExtension(std::string_view path);

}  // namespace kv
