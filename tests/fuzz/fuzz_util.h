// Shared pieces of the fuzz targets: a failing check that libFuzzer reports
// as a crash, input splitting, and the file system held in memory (tests/mem_disk.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "mem_disk.h"
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

using kvtest::MemoryDisk;  // every name exists when given a pool

struct LineSink : kv::LineReporter {
  std::vector<std::string> lines;
  void Line(const std::string& line) override { lines.push_back(line); }
};

}  // namespace kvfuzz
