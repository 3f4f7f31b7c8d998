#include "edited_text.h"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

namespace kv {

namespace {

// Whether `needle` occurs in `text`: the C library's search where it has one
// (it skips through the text many bytes at a time).
bool Contains(std::string_view text, std::string_view needle) {
#if defined(__GLIBC__)
  return ::memmem(text.data(), text.size(), needle.data(), needle.size()) != nullptr;
#else
  const std::boyer_moore_horspool_searcher searcher(needle.begin(), needle.end());
  return std::search(text.begin(), text.end(), searcher) != text.end();
#endif
}

}  // namespace

size_t EditedText::size() const {
  size_t n = base.size();
  for (const TextEdit& e : edits) n = n - (e.end - e.begin) + e.with.size();
  return n;
}

int EditedText::ForEachPiece(const std::function<int(std::string_view)>& put) const {
  if (edits.empty()) return base.empty() ? 0 : put(base);
  // Reused by every text written on this thread: its pages stay present.
  thread_local std::string gather;
  if (gather.size() < kGather) gather.resize(kGather);
  size_t used = 0;
  const auto flush = [&]() -> int {
    if (used == 0) return 0;
    const size_t n = std::exchange(used, 0);
    return put(std::string_view(gather.data(), n));
  };
  const auto add = [&](std::string_view bytes) -> int {
    if (bytes.size() >= kDirectFrom) {
      if (int r = flush()) return r;
      return put(bytes);
    }
    while (!bytes.empty()) {
      const size_t n = std::min(bytes.size(), kGather - used);
      std::memcpy(gather.data() + used, bytes.data(), n);
      used += n;
      bytes.remove_prefix(n);
      if (used == kGather) {
        if (int r = flush()) return r;
      }
    }
    return 0;
  };
  size_t at = 0;
  for (const TextEdit& e : edits) {
    if (int r = add(base.substr(at, e.begin - at))) return r;
    if (int r = add(e.with)) return r;
    at = e.end;
  }
  if (int r = add(base.substr(at))) return r;
  return flush();
}

std::string EditedText::Join() const {
  std::string out;
  out.reserve(size());
  ForEachPiece([&](std::string_view piece) {
    out.append(piece);
    return 0;
  });
  return out;
}

bool EditedText::MayHold(std::span<const std::string_view> needles) const {
  size_t longest = 0;
  for (const std::string_view needle : needles) {
    if (needle.empty()) return true;
    longest = std::max(longest, needle.size());
  }
  return MayHold(
      [&](std::string_view text) {
        for (const std::string_view needle : needles) {
          if (Contains(text, needle)) return true;
        }
        return false;
      },
      longest);
}

bool EditedText::MayHold(const std::function<bool(std::string_view)>& holds, size_t longest) const {
  if (holds(base)) return true;
  if (longest == 0) return false;
  // An occurrence that is not in `base` overlaps a replacement: it lies in
  // the text from `margin` bytes before that replacement to `margin` after.
  const size_t margin = longest - 1;
  std::string window;
  std::vector<std::string_view> left;
  for (size_t i = 0; i < edits.size(); ++i) {
    // The `margin` bytes before the replacement, walking left over earlier
    // edits where they are close.
    left.clear();
    size_t need = margin;
    size_t j = i;
    size_t pos = edits[i].begin;
    while (need > 0) {
      const size_t gapStart = j > 0 ? edits[j - 1].end : 0;
      size_t take = std::min(need, pos - gapStart);
      left.push_back(base.substr(pos - take, take));
      need -= take;
      if (need == 0 || j == 0) break;
      --j;
      const std::string_view with = edits[j].with;
      take = std::min(need, with.size());
      left.push_back(with.substr(with.size() - take));
      need -= take;
      pos = edits[j].begin;
    }
    window.clear();
    for (auto it = left.rbegin(); it != left.rend(); ++it) window += *it;
    window += edits[i].with;
    // And the `margin` bytes after it.
    need = margin;
    j = i;
    pos = edits[i].end;
    while (need > 0) {
      const size_t gapEnd = j + 1 < edits.size() ? edits[j + 1].begin : base.size();
      size_t take = std::min(need, gapEnd - pos);
      window += base.substr(pos, take);
      need -= take;
      if (need == 0 || j + 1 >= edits.size()) break;
      ++j;
      const std::string_view with = edits[j].with;
      take = std::min(need, with.size());
      window += with.substr(0, take);
      need -= take;
      pos = edits[j].end;
    }
    if (holds(window)) return true;
  }
  return false;
}

}  // namespace kv
