#include "general_functions.h"

#include "string_functions.h"

namespace kv {

namespace {
size_t LastSeparator(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(path[i - 1])) return i - 1;
  }
  return std::string_view::npos;
}
}  // namespace

std::string GetFileNameFromPath(std::string_view path) {
  const size_t sep = LastSeparator(path);
  std::string name(sep == std::string_view::npos ? path : path.substr(sep + 1));
  NormalizeSpaces(name);
  return name;
}

std::string GetFolderFromPath(std::string_view path) {
  const size_t sep = LastSeparator(path);
  if (sep == std::string_view::npos) return std::string();
  return std::string(path.substr(0, sep + 1));
}

std::optional<std::string> GetFileExtension(std::string_view path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  return std::string(path.substr(dot));
}

}  // namespace kv
