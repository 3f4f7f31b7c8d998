// Helpers of the reliability tests: what a tree holds, which of its files are
// our temporary files, and whether every user file is either as it was or
// fully migrated.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "disk.h"
#include "dotnet_engine.h"
#include "string_functions.h"
#include "test_util.h"
#include "transaction.h"
#include "vb6_engine.h"

namespace kvrel {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// A staged file or a journal of a run: a hidden name that carries our marker.
inline bool IsOurTemp(const std::string& name) {
  return !name.empty() && name.front() == '.' &&
         (name.find(kv::Transaction::kTempMarker) != std::string::npos ||
          name.starts_with(kv::Transaction::kJournalMarker));
}

// The regular files below `root` (symlinks are not followed), by relative
// path; our temporary files are listed apart.
struct TreeScan {
  Files files;
  std::vector<std::string> temps;
};

// Opens a path of any length, even beyond the longest path that the system
// accepts in one piece, by walking its folders one at a time. -1 on failure.
inline int OpenLong(const fs::path& path, int flags) {
  int dir = ::open(path.is_absolute() ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const fs::path& part : path.relative_path().parent_path()) {
    const int next = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(dir);
    if (next < 0) return -1;
    dir = next;
  }
  const int fd = ::openat(dir, path.filename().c_str(), flags | O_CLOEXEC, 0644);
  ::close(dir);
  return fd;
}

inline std::string ReadLong(const fs::path& path) {
  const int fd = OpenLong(path, O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot read " + path.string());
  std::string bytes;
  char buffer[1 << 16];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
    bytes.append(buffer, static_cast<size_t>(got));
  ::close(fd);
  return bytes;
}

inline TreeScan Scan(const fs::path& root) {
  TreeScan scan;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
    // The type as the folder listing gives it: a path too long to name in
    // one piece cannot be asked about.
    std::error_code ec;
    if (it->symlink_status(ec).type() != fs::file_type::regular) continue;
    const std::string rel = fs::relative(it->path(), root).string();
    if (IsOurTemp(it->path().filename().string())) {
      scan.temps.push_back(rel);
    } else {
      scan.files[rel] = ReadLong(it->path());
    }
  }
  return scan;
}

// Empty when every file of `now` is its `original` or its `migrated` bytes and
// no file is missing or new; otherwise says which file is wrong.
inline std::string OriginalOrMigrated(const Files& now, const Files& original,
                                      const Files& migrated) {
  std::string problems;
  for (const auto& [name, bytes] : original) {
    auto it = now.find(name);
    if (it == now.end()) {
      problems += "missing: " + name + "\n";
    } else if (it->second != bytes && it->second != migrated.at(name)) {
      problems += "neither original nor migrated: " + name + " (" +
                  std::to_string(it->second.size()) + " bytes)\n";
    }
  }
  for (const auto& [name, bytes] : now) {
    if (!original.count(name)) problems += "new file: " + name + "\n";
  }
  return problems;
}

// What a file becomes when a run converts it, by the kind of file its name
// says; files that no run converts keep their bytes.
inline std::string MigratedBytes(const std::string& name, const std::string& bytes) {
  static kv::RealDisk disk;
  static const kv::Vb6Migrator vb6(disk);
  static const kv::DotNetMigrator dotnet(disk);
  const std::string upper = kv::ToUpperAscii(name);
  auto endsWith = [&](std::string_view ext) { return upper.ends_with(ext); };
  std::string text = bytes;
  if (endsWith(".VBP") || endsWith(".FRM") || endsWith(".BAS")) {
    vb6.ReplaceReferences(text);
    vb6.ApplyTextRules(text);
  } else if (endsWith(".CSPROJ") || endsWith(".VBPROJ") || endsWith(".CS") || endsWith(".VB") ||
             endsWith(".RESX")) {
    dotnet.ConvertDotNetFile(text);
  }
  return text;
}

inline Files MigratedFiles(const Files& original) {
  Files out;
  for (const auto& [name, bytes] : original) out[name] = MigratedBytes(name, bytes);
  return out;
}

inline fs::path ExampleDir(const std::string& which) {
  return fs::path(KV_SOURCE_DIR) / "examples" / which;
}

}  // namespace kvrel
