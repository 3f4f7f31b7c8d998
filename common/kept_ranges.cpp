#include "kept_ranges.h"

#include <algorithm>

#include "string_functions.h"

namespace kv {

size_t ApplyOutside(const RuleMatcher& rules, std::string& text, std::vector<TextRange> kept,
                    std::vector<size_t>* rowHits, bool* changed) {
  std::erase_if(kept,
                [&](const TextRange& r) { return r.begin >= r.end || r.begin >= text.size(); });
  if (kept.empty()) return rules.Apply(text, rowHits, changed);
  std::sort(kept.begin(), kept.end(),
            [](const TextRange& a, const TextRange& b) { return a.begin < b.begin; });

  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::string part;
  size_t replaced = 0;
  bool partChanged = false;
  size_t done = 0;  // bytes of `text` handled so far
  // Large copies go a block at a time, each counted towards the next look at
  // the stop flag; a part has room to grow in place, as a text read has.
  auto migrateUpTo = [&](size_t end) {
    if (end <= done) return;
    const size_t size = end - done;
    part.clear();
    part.reserve(size + size / 8 + 256);
    AppendPolled(part, std::string_view(text).substr(done, size));
    replaced += rules.Apply(part, rowHits, &partChanged);
    AppendPolled(out, part);
    done = end;
  };
  for (const TextRange& r : kept) {
    migrateUpTo(r.begin);
    const size_t end = std::min(r.end, text.size());
    if (end > done) {
      AppendPolled(out, std::string_view(text).substr(done, end - done));
      done = end;
    }
  }
  migrateUpTo(text.size());
  if (replaced == 0) return 0;
  // With no part shorter than it was, the whole changed when a part did;
  // otherwise only the whole tells.
  if (changed && (rules.growOnly() ? partChanged : out != text)) *changed = true;
  text.swap(out);
  return replaced;
}

}  // namespace kv
