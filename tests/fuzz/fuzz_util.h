// Shared pieces of the fuzz targets: a failing check that libFuzzer reports
// as a crash, input splitting, and a file system held in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk.h"
#include "progress.h"
#include "string_functions.h"

namespace kvfuzz {

// Prints what differs, in escaped form, and aborts so that libFuzzer keeps the
// input as a crash.
[[noreturn]] inline void Fail(const char* what, std::string_view a, std::string_view b) {
  auto show = [](std::string_view s) {
    std::string out;
    for (const unsigned char c : s.substr(0, 400)) {
      if (c >= 32 && c < 127 && c != '\\') {
        out += static_cast<char>(c);
      } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
      }
    }
    if (s.size() > 400) out += "...";
    return out;
  };
  std::fprintf(stderr, "PROPERTY FAILED: %s\n  got:      \"%s\"\n  expected: \"%s\"\n", what,
               show(a).c_str(), show(b).c_str());
  std::abort();
}

inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what, "", "");
}

// On a difference, shows both texts from a little before the first byte that
// differs.
inline void CheckEq(std::string_view got, std::string_view expected, const char* what) {
  if (got == expected) return;
  size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  const size_t from = at > 40 ? at - 40 : 0;
  std::fprintf(stderr, "first difference at byte %zu of %zu / %zu\n", at, got.size(),
               expected.size());
  Fail(what, got.substr(from), expected.substr(from));
}

inline void CheckEq(const std::vector<std::string>& got, const std::vector<std::string>& expected,
                    const char* what) {
  auto join = [](const std::vector<std::string>& v) {
    std::string s = std::to_string(v.size()) + " items:";
    for (const std::string& item : v) s += " [" + item + "]";
    return s;
  };
  if (got != expected) Fail(what, join(got), join(expected));
}

// Cuts the input at each "\n====\n" line: the parts of a small file tree.
inline std::vector<std::string> SplitParts(std::string_view data) {
  constexpr std::string_view kCut = "\n====\n";
  std::vector<std::string> parts;
  for (;;) {
    const size_t cut = data.find(kCut);
    parts.emplace_back(data.substr(0, cut));
    if (cut == std::string_view::npos) break;
    data.remove_prefix(cut + kCut.size());
  }
  return parts;
}

inline uint64_t Fnv1a(std::string_view s) {
  uint64_t h = 1469598103934665603ull;
  for (const unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

// A file system in memory in which every name exists: a path seen for the
// first time gets one of the given contents, chosen by its name. Names are
// told apart without regard to ASCII case, "\" and "/" alike, as the real
// lookup does. Writes are kept in order.
class MemoryDisk : public kv::Disk {
 public:
  explicit MemoryDisk(std::vector<std::string> pool) : pool_(std::move(pool)) {
    if (pool_.empty()) pool_.emplace_back();
  }

  // Fixes the contents of one name before the run.
  void Put(std::string_view path, std::string contents) {
    const std::string name = Canonical(path, "");
    files_[name] = contents;
    originals_[name] = std::move(contents);
  }

  std::optional<std::string> Find(std::string_view path, std::string_view base) override {
    std::string name = Canonical(path, base);
    if (name.empty() || name.back() == '/') return std::nullopt;
    return name;
  }

  std::optional<kv::FileKey> Key(const std::string& resolved) override {
    auto [it, added] = keys_.emplace(resolved, keys_.size() + 1);
    (void)added;
    return kv::FileKey{1, it->second};
  }

  kv::IoError ReadAll(const std::string& resolved, std::string* contents) override {
    ++reads_;
    auto it = files_.find(resolved);
    if (it == files_.end()) {
      const std::string& picked = pool_[Fnv1a(resolved) % pool_.size()];
      originals_[resolved] = picked;
      it = files_.emplace(resolved, picked).first;
    }
    *contents = it->second;
    return kv::IoError{};
  }

  kv::IoError WriteAll(const std::string& resolved, std::string_view contents) override {
    files_[resolved] = std::string(contents);
    writes_.push_back(resolved);
    return kv::IoError{};
  }

  const std::map<std::string, std::string>& files() const { return files_; }
  const std::map<std::string, std::string>& originals() const { return originals_; }
  const std::vector<std::string>& writes() const { return writes_; }
  size_t reads() const { return reads_; }
  void ClearLog() {
    writes_.clear();
    reads_ = 0;
  }

 private:
  static std::string Canonical(std::string_view path, std::string_view base) {
    std::string full = kv::NativePath(path);
    if (!full.empty() && full.front() != '/' && !base.empty()) {
      std::string folder = kv::NativePath(base);
      if (folder.back() != '/') folder += '/';
      full = folder + full;
    }
    for (char& c : full) c = kv::FoldAscii(c);
    return full;
  }

  std::vector<std::string> pool_;
  std::map<std::string, std::string> files_;
  std::map<std::string, std::string> originals_;
  std::map<std::string, uint64_t> keys_;
  std::vector<std::string> writes_;
  size_t reads_ = 0;
};

struct LineSink : kv::LineReporter {
  std::vector<std::string> lines;
  void Line(const std::string& line) override { lines.push_back(line); }
};

}  // namespace kvfuzz
