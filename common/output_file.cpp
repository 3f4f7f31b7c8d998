#include "output_file.h"

#include <random>

#include "general_functions.h"

namespace kv {

OutputPathParts SplitOutputPath(const std::string& path) {
  size_t slash = path.size();
  while (slash > 0 && !IsNativeSeparator(path[slash - 1])) --slash;
  if (slash == 0) return {".", path};
  // The root keeps its separator ("/", "C:\").
  const size_t end = slash == 1 || (slash == 3 && path[1] == ':') ? slash : slash - 1;
  return {path.substr(0, end), path.substr(slash)};
}

std::string OutputTempName(const std::string& name) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device device;
  std::string token;
  for (int i = 0; i < 12; ++i) token += kDigits[device() % 16];
  // 255 bytes is the longest name most file systems take.
  constexpr size_t kKept = 200;
  return "." + name.substr(0, kKept) + ".kvout-" + token;
}

}  // namespace kv
