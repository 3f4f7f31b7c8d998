#include "kept_ranges.h"

#include <algorithm>

#include "string_functions.h"

namespace kv {

size_t ApplyOutside(const RuleMatcher& rules, std::string& text, std::vector<TextRange> kept,
                    std::vector<size_t>* rowHits, bool* changed) {
  std::erase_if(kept,
                [&](const TextRange& r) { return r.begin >= r.end || r.begin >= text.size(); });
  if (kept.empty()) return rules.Apply(text, rowHits, changed);
  const auto before = [](const TextRange& a, const TextRange& b) { return a.begin < b.begin; };
  if (!std::is_sorted(kept.begin(), kept.end(), before)) {
    std::sort(kept.begin(), kept.end(), before);
  }

  // Each part between kept ranges is migrated as a text of its own. An old
  // text inside such a part is also one in the whole text at the same place,
  // so one look for old texts over the whole text passes over every part
  // that holds none: such parts, and the kept ranges around them, are copied
  // in one piece, and only when some part changes at all.
  std::string out;
  std::string part;
  size_t replaced = 0;
  bool partChanged = false;
  size_t done = 0;    // bytes of `text` handled so far
  size_t copied = 0;  // bytes of `text` whose result is in `out`
  const std::string_view whole(text);
  size_t next = rules.FindNext(whole, 0);  // no old text starts in [done, next)
  auto migrateUpTo = [&](size_t end) {
    if (end <= done) return;
    if (next < done) next = rules.FindNext(whole, done);
    if (next >= end) {
      done = end;
      return;
    }
    // A part has room to grow in place, as a text read has.
    const size_t size = end - done;
    part.clear();
    part.reserve(size + size / 8 + 256);
    AppendPolled(part, whole.substr(done, size));
    if (const size_t n = rules.Apply(part, rowHits, &partChanged); n > 0) {
      if (replaced == 0) out.reserve(text.size() + text.size() / 8);
      replaced += n;
      AppendPolled(out, whole.substr(copied, done - copied));
      AppendPolled(out, part);
      copied = end;
    }
    done = end;
  };
  for (const TextRange& r : kept) {
    migrateUpTo(r.begin);
    done = std::max(done, std::min(r.end, text.size()));
  }
  migrateUpTo(text.size());
  if (replaced == 0) return 0;
  AppendPolled(out, whole.substr(copied));
  // With no part shorter than it was, the whole changed when a part did;
  // otherwise only the whole tells.
  if (changed && (rules.growOnly() ? partChanged : out != text)) *changed = true;
  text.swap(out);
  return replaced;
}

}  // namespace kv
