// A file system held in memory, for engine tests and fuzz targets. Names are
// told apart without regard to ASCII case, "\" and "/" alike, as the real
// lookup does; relative names are taken against the base folder given. Reads
// are counted and writes kept in order. Kept to the plain Disk operations.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk.h"
#include "string_functions.h"

namespace kvtest {

class MemoryDisk : public kv::Disk {
 public:
  // Only the files given with Put exist.
  MemoryDisk() = default;

  // Every name exists: a name read for the first time gets one of `pool`,
  // chosen by the name (the same name, the same pick).
  explicit MemoryDisk(std::vector<std::string> pool) : pool_(std::move(pool)), anyName_(true) {
    if (pool_.empty()) pool_.emplace_back();
  }

  // Fixes the contents of one name before a run.
  void Put(std::string_view path, std::string contents) {
    const std::string name = Normalize(path, "");
    files_[name] = contents;
    originals_[name] = std::move(contents);
  }

  // The contents of a name, or nullopt when it does not exist.
  std::optional<std::string> Get(std::string_view path) const {
    const auto it = files_.find(Normalize(path, ""));
    if (it == files_.end()) return std::nullopt;
    return it->second;
  }

  std::optional<std::string> Find(std::string_view path, std::string_view base) override {
    std::string name = Normalize(path, base);
    if (name.empty() || name.back() == '/') return std::nullopt;
    if (!anyName_ && files_.count(name) == 0) return std::nullopt;
    return name;
  }

  std::optional<kv::FileKey> Key(const std::string& resolved) override {
    const auto it = keys_.emplace(resolved, keys_.size() + 1).first;
    return kv::FileKey{1, it->second};
  }

  kv::IoError ReadAll(const std::string& resolved, std::string* contents) override {
    ++reads_;
    auto it = files_.find(resolved);
    if (it == files_.end()) {
      if (!anyName_) return kv::IoError{ENOENT};
      const std::string& picked = pool_[Hash(resolved) % pool_.size()];
      originals_[resolved] = picked;
      it = files_.emplace(resolved, picked).first;
    }
    *contents = it->second;
    return kv::IoError{};
  }

  // The tree held here is never listed: only what a project lists is read.
  std::optional<std::vector<FolderEntry>> ListFolder(const std::string&) override {
    return std::nullopt;
  }

  kv::IoError WriteAll(const std::string& resolved, std::string_view contents) override {
    files_[resolved] = std::string(contents);
    writes_.push_back(resolved);
    return kv::IoError{};
  }

  // By the names Find returns (folded, "/" separators).
  const std::map<std::string, std::string>& files() const { return files_; }
  const std::map<std::string, std::string>& originals() const { return originals_; }
  const std::vector<std::string>& writes() const { return writes_; }
  size_t reads() const { return reads_; }
  void ClearLog() {
    writes_.clear();
    reads_ = 0;
  }

 private:
  static std::string Normalize(std::string_view path, std::string_view base) {
    std::string full = Slashes(path);
    if (!full.empty() && full.front() != '/' && !base.empty()) {
      std::string folder = Slashes(base);
      if (folder.back() != '/') folder += '/';
      full = folder + full;
    }
    for (char& c : full) c = kv::FoldAscii(c);
    return full;
  }

  // "/" for "\" on every platform, so that "/t/App.sln" names the same file
  // in a Windows build too.
  static std::string Slashes(std::string_view path) {
    std::string out(path);
    for (char& c : out) c = c == '\\' ? '/' : c;
    return out;
  }

  static uint64_t Hash(std::string_view s) {  // FNV-1a
    uint64_t h = 1469598103934665603ull;
    for (const unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
  }

  std::vector<std::string> pool_;
  bool anyName_ = false;
  std::map<std::string, std::string> files_;
  std::map<std::string, std::string> originals_;
  std::map<std::string, uint64_t> keys_;
  std::vector<std::string> writes_;
  size_t reads_ = 0;
};

}  // namespace kvtest
