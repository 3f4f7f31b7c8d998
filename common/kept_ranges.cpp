#include "kept_ranges.h"

#include <algorithm>

#include "cancel.h"

namespace kv {

size_t ApplyOutside(const RuleMatcher& rules, std::string& text, std::vector<TextRange> kept,
                    std::vector<size_t>* rowHits) {
  std::erase_if(kept,
                [&](const TextRange& r) { return r.begin >= r.end || r.begin >= text.size(); });
  if (kept.empty()) return rules.Apply(text, rowHits);
  std::sort(kept.begin(), kept.end(),
            [](const TextRange& a, const TextRange& b) { return a.begin < b.begin; });

  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::string part;
  size_t replaced = 0;
  size_t done = 0;  // bytes of `text` handled so far
  auto migrateUpTo = [&](size_t end) {
    if (end <= done) return;
    CancelPoint(end - done);
    part.assign(text, done, end - done);
    replaced += rules.Apply(part, rowHits);
    out += part;
    done = end;
  };
  for (const TextRange& r : kept) {
    migrateUpTo(r.begin);
    const size_t end = std::min(r.end, text.size());
    if (end > done) {
      CancelPoint(end - done);
      out.append(text, done, end - done);
      done = end;
    }
  }
  migrateUpTo(text.size());
  if (replaced > 0) text.swap(out);
  return replaced;
}

}  // namespace kv
