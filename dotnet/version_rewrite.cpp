#include "version_rewrite.h"

#include <algorithm>
#include <array>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "cancel.h"
#include "solution_parsing.h"
#include "string_functions.h"

namespace kv {

namespace {
constexpr size_t npos = std::string_view::npos;

constexpr std::string_view kMajorKey = "VersionMajor = \"";
constexpr std::string_view kMinorKey = "VersionMinor = \"";
constexpr std::string_view kComReference = "<COMReference";
constexpr std::string_view kComReferenceEnd = "</COMReference";

// The first occurrence of a fixed text that starts inside a window
// [start, limit). What the last search showed is kept: windows that move
// forward through the text cost one pass in all, however wide each is.
class WindowFinder {
 public:
  WindowFinder(std::string_view text, std::string_view needle) : text_(text), needle_(needle) {}

  size_t In(size_t start, size_t limit) {
    limit = std::min(limit, text_.size());
    if (searched_ && start >= start_) {
      // Nothing starts in [start_, found_), or in [start_, end_) when nothing was found.
      if (found_ != npos && found_ >= start) return found_ < limit ? found_ : npos;
      if (found_ == npos && limit <= end_) return npos;
    }
    // Where the last search found nothing, nothing starts: a wider window
    // is searched only beyond it.
    size_t from = start;
    if (searched_ && start >= start_ && found_ == npos) from = std::max(start, end_);
    found_ = npos;
    // A window at a time, each counted as progress towards the next look at
    // the stop flag.
    while (from < limit && found_ == npos) {
      const size_t to = from + std::min(kCancelStride, limit - from);
      const size_t reach = std::min(text_.size(), to + needle_.size() - 1);
      // Windows are short and many: a search by first byte (memchr) costs
      // nothing to set up, unlike memmem.
      const size_t hit = text_.substr(from, reach - from).find(needle_);
      if (hit != npos) found_ = from + hit;
      CancelPoint(to - from);
      from = to;
    }
    start_ = start;
    end_ = limit;
    searched_ = true;
    return found_;
  }

 private:
  std::string_view text_;
  std::string_view needle_;
  size_t start_ = 0;
  size_t end_ = 0;
  size_t found_ = npos;
  bool searched_ = false;
};

// One version value to rewrite: the bytes [begin, end) become `*value`.
struct ValueEdit {
  size_t begin;
  size_t end;
  const std::string* value;
};

// Replaces each edit's bytes (sorted, not overlapping) by its value, in one
// pass; `perEdit` is a guess at how much each edit may grow the text. Values
// that are already the target leave the text as it is.
std::string& ApplyEdits(std::string& cfile, const std::vector<ValueEdit>& edits, size_t perEdit,
                        bool* changed) {
  const std::string_view text(cfile);
  if (std::all_of(edits.begin(), edits.end(), [&](const ValueEdit& e) {
        return text.substr(e.begin, e.end - e.begin) == *e.value;
      })) {
    return cfile;
  }
  if (changed) *changed = true;
  std::string out;
  out.reserve(text.size() + edits.size() * perEdit);
  size_t copied = 0;
  for (const ValueEdit& e : edits) {
    AppendPolled(out, text.substr(copied, e.begin - copied));
    out += *e.value;
    copied = e.end;
  }
  AppendPolled(out, text.substr(copied));
  cfile.swap(out);
  return cfile;
}

// A version key, up to and including the opening quote of its value, and
// the text that the whole value becomes.
struct VersionKey {
  std::string_view key;
  const std::string& value;
};
using VersionKeys = std::array<VersionKey, 2>;

// VersionMajor, then VersionMinor.
VersionKeys KeysOf(const VersionTargets& t) {
  return {VersionKey{kMajorKey, t.major}, VersionKey{kMinorKey, t.minor}};
}

// Target texts that could form a GUID, a key, a quote or an element end make
// each rewrite depend on the last one: only the literal way is right.
bool PlainTargets(const VersionKeys& keys) {
  for (const VersionKey& key : keys) {
    if (key.value.find_first_of("\"{>=") != std::string::npos) return false;
  }
  return true;
}

// First stage: every value to rewrite, planned on the text as it came in,
// sorted and each once.
std::vector<ValueEdit> PlanEdits(const VersionTargets& t, const VersionKeys& keys,
                                 std::string_view text) {
  std::vector<ValueEdit> edits;

  // The keys and element ends are looked for with finders shared by all rows:
  // the positions asked for grow with the text order, so each finder passes
  // over the text at most once.
  WindowFinder elementEnd(text, ">");
  std::array<WindowFinder, 2> keyFinders = {WindowFinder(text, keys[0].key),
                                            WindowFinder(text, keys[1].key)};
  struct RowState {
    size_t next = 0;    // the row's search goes on from here
    bool done = false;  // its last GUID ended the text
    // The key of each kind handled last, reached again by a later GUID.
    std::array<size_t, 2> last = {npos, npos};
  };
  std::vector<RowState> rows(t.guidRules.size());

  // Records the value of the first key of kind `i` at or after `from`, when
  // both the key and the value's closing quote lie before `limit`, the end of
  // the element.
  auto rewriteValue = [&](size_t i, size_t& last, size_t from, size_t limit) {
    // A key counts only inside the element, so the search never goes past
    // its end.
    const size_t k = keyFinders[i].In(from, limit);
    if (k == npos || k == last) return;
    last = k;
    const size_t begin = k + keys[i].key.size();
    const size_t close = FindPolled(text.substr(0, limit), "\"", begin);
    if (close != npos) edits.push_back(ValueEdit{begin, close, &keys[i].value});
  };

  // Every occurrence of a version 5 GUID spelled exactly as the table writes
  // it (the search is case-sensitive), found in one scan for all rows and
  // visited in text order.
  for (size_t p = t.newGuids.FindNext(text, 0); p != npos; p = t.newGuids.FindNext(text, p + 1)) {
    for (size_t r = 0; r < t.guidRules.size(); ++r) {
      const std::string_view guid = t.guidRules[r].newText;
      if (guid.size() < 2 || text.compare(p, guid.size(), guid) != 0) continue;
      RowState& row = rows[r];
      // Each row's search resumes behind the GUID it handled last and the
      // one character that follows it.
      if (row.done || p < row.next) continue;
      const size_t afterGuid = p + guid.size();
      // Skip the GUID and the one character behind it, its closing quote.
      const size_t start = afterGuid + 1;
      if (start >= text.size()) {
        row.done = true;
        continue;
      }
      // The keys belong to the element that holds the GUID: they count only
      // up to its closing ">".
      const size_t gt = elementEnd.In(afterGuid, text.size());
      const size_t limit = gt == npos ? text.size() : gt;
      for (size_t i = 0; i < keys.size(); ++i) rewriteValue(i, row.last[i], start, limit);
      row.next = start;
    }
  }
  if (edits.empty()) return edits;

  // Two GUIDs in one element reach the same key; distinct values never
  // overlap, since each runs from a key's quote to the next quote.
  std::sort(edits.begin(), edits.end(),
            [](const ValueEdit& a, const ValueEdit& b) { return a.begin < b.begin; });
  edits.erase(
      std::unique(edits.begin(), edits.end(),
                  [](const ValueEdit& a, const ValueEdit& b) { return a.begin == b.begin; }),
      edits.end());

  return edits;
}

// Whether the planned rewrite gives what rewriting one value after the other
// gives: not when a value about to be replaced holds a GUID or a key (the
// rewrite removes it, so whether it counts depends on the order).
bool PlanHolds(const VersionTargets& t, const VersionKeys& keys, std::string_view text,
               const std::vector<ValueEdit>& edits) {
  bool planned = true;
  for (size_t i = 0; planned && i < edits.size(); ++i) {
    // A key ends with a quote and the value has none before its closing one,
    // so a key that starts inside the value ends at that closing quote.
    const std::string_view value = text.substr(edits[i].begin, edits[i].end + 1 - edits[i].begin);
    for (const VersionKey& key : keys) {
      if (value.find(key.key) != npos) planned = false;
    }
    if (t.newGuids.FindNext(value, 0) != npos) planned = false;
  }
  return planned;
}

// Second stage, for plain target texts.
void RewriteOneByOne(const VersionTargets& t, const VersionKeys& keys, std::string& cfile) {
  // The literal rewrite followed on the text as it came in: a rewritten
  // value holds none of what the searches look for, so searching the
  // rewritten text is searching the original one while passing over the
  // values already rewritten (a GUID or key inside one is gone). Each search
  // goes forward from where the last one ended: linear, whatever the text.
  for (const RuleRow& row : t.guidRules) {
    const std::string_view guid = row.newText;
    if (guid.empty()) continue;
    const std::string_view text(cfile);
    std::map<size_t, std::pair<size_t, const std::string*>> rewritten;  // begin -> end, value
    auto gone = [&](size_t at) {
      auto it = rewritten.upper_bound(at);
      return it != rewritten.begin() && at < std::prev(it)->second.first;
    };
    auto next = [&](WindowFinder& finder, size_t from) {
      size_t at = finder.In(from, text.size());
      while (at != npos && gone(at)) at = finder.In(at + 1, text.size());
      return at;
    };
    WindowFinder guids(text, guid);
    WindowFinder ends(text, ">");
    WindowFinder majors(text, kMajorKey);
    WindowFinder minors(text, kMinorKey);
    WindowFinder* keyFinders[] = {&majors, &minors};
    // The closing quote last found for a value start, within the element.
    size_t lastBegin = npos;
    size_t lastClose = npos;
    for (size_t p = next(guids, 0); p != npos;) {
      const size_t start = p + guid.size() + 1;
      if (start >= text.size()) break;
      const size_t gt = ends.In(p + guid.size(), text.size());
      const size_t limit = gt == npos ? text.size() : gt;
      for (size_t i = 0; i < 2; ++i) {
        const size_t k = next(*keyFinders[i], start);
        if (k == npos || k >= limit) continue;
        const size_t begin = k + keys[i].key.size();
        if (rewritten.count(begin)) continue;  // rewriting it again changes nothing
        if (begin != lastBegin) {
          lastBegin = begin;
          const size_t close = FindPolled(text.substr(0, limit), "\"", begin);
          lastClose = close;
        }
        if (lastClose == npos) continue;
        rewritten[begin] = {lastClose, &keys[i].value};
      }
      p = next(guids, start);
    }
    if (rewritten.empty()) continue;
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    for (const auto& [begin, edit] : rewritten) {
      AppendPolled(out, text.substr(copied, begin - copied));
      out += *edit.second;
      copied = edit.first;
    }
    AppendPolled(out, text.substr(copied));
    cfile.swap(out);
  }
}

// Third stage: one search and one rewrite after the other on the text as it
// changes.
void RewriteLiterally(const VersionTargets& t, const VersionKeys& keys, std::string& cfile) {
  for (const RuleRow& row : t.guidRules) {
    const std::string& guid = row.newText;
    if (guid.empty()) continue;
    for (size_t p = FindPolled(cfile, guid); p != npos;) {
      const size_t start = p + guid.size() + 1;
      if (start >= cfile.size()) break;
      for (const VersionKey& key : keys) {
        const size_t gt = FindPolled(cfile, ">", p + guid.size());
        const size_t limit = gt == npos ? cfile.size() : gt;
        const size_t k = FindPolled(cfile, key.key, start);
        if (k == npos || k >= limit) continue;
        const size_t begin = k + key.key.size();
        const size_t close = FindPolled(cfile, "\"", begin);
        if (close == npos || close >= limit) continue;
        cfile.replace(begin, close - begin, key.value);
      }
      p = FindPolled(cfile, guid, start);
    }
  }
}

}  // namespace

std::array<std::string_view, 2> VersionKeyTexts() { return {kMajorKey, kMinorKey}; }

std::string& RewriteVersions(const VersionTargets& targets, std::string& cfile, bool* changed) {
  const VersionKeys keys = KeysOf(targets);
  const std::vector<ValueEdit> edits = PlanEdits(targets, keys, cfile);
  if (edits.empty()) return cfile;

  // All rewrites were planned on the text as it came in. That is what
  // rewriting one value after the other gives, unless a value about to be
  // replaced holds a GUID or a key, or a target text could itself form one.
  // Such texts are rare: do them literally.
  const bool plain = PlainTargets(keys);
  if (plain && PlanHolds(targets, keys, cfile, edits)) {
    size_t grown = 0;
    for (const VersionKey& key : keys) grown += key.value.size();
    return ApplyEdits(cfile, edits, grown, changed);
  }
  // Rare text: whether it changed is told by comparing fingerprints.
  const TextFingerprint before(cfile);
  if (plain) {
    RewriteOneByOne(targets, keys, cfile);
  } else {
    RewriteLiterally(targets, keys, cfile);
  }
  if (changed && TextFingerprint(cfile) != before) *changed = true;
  return cfile;
}

std::string& RewriteComReferenceVersions(const VersionTargets& t, std::string& cfile,
                                         bool* changed) {
  const std::string_view text(cfile);
  std::vector<ValueEdit> edits;
  // Whether [begin, end) holds a version 5 GUID, spelled as the table writes it.
  auto holdsNewGuid = [&](size_t begin, size_t end) {
    const std::string_view element = text.substr(0, end);
    for (size_t p = t.newGuids.FindNext(element, begin); p != npos;
         p = t.newGuids.FindNext(element, p + 1)) {
      for (const RuleRow& row : t.guidRules) {
        if (row.newText.size() >= 2 && element.compare(p, row.newText.size(), row.newText) == 0) {
          return true;
        }
      }
    }
    return false;
  };
  struct Tag {
    std::string_view open;
    std::string_view close;
    const std::string* value;
  };
  const Tag keys[] = {{"<VersionMajor>", "</VersionMajor", &t.major},
                      {"<VersionMinor>", "</VersionMinor", &t.minor}};
  for (size_t p = FindNoCase(text, kComReference, 0); p != npos;) {
    const size_t nameEnd = p + kComReference.size();
    const size_t close = FindNoCase(text, kComReferenceEnd, nameEnd);
    // Without its end tag the element's extent is unknown: it is left alone.
    if (close == npos) break;
    const size_t next = close + kComReferenceEnd.size();
    if (nameEnd < text.size() && (IsXmlSpace(text[nameEnd]) || text[nameEnd] == '>') &&
        holdsNewGuid(p, close)) {
      const std::string_view element = text.substr(0, close);
      for (const Tag& key : keys) {
        const size_t open = FindNoCase(element, key.open, nameEnd);
        if (open == npos) continue;
        const size_t begin = open + key.open.size();
        // The value is the text up to the next tag, which must be its own
        // end tag: a value that runs into other markup (a broken end tag)
        // is left alone rather than replaced together with what it runs into.
        const size_t end = element.find('<', begin);
        if (end != npos && EqualsNoCase(element.substr(end, key.close.size()), key.close)) {
          edits.push_back(ValueEdit{begin, end, key.value});
        }
      }
    }
    p = FindNoCase(text, kComReference, next);
  }
  if (edits.empty()) return cfile;
  std::sort(edits.begin(), edits.end(),
            [](const ValueEdit& a, const ValueEdit& b) { return a.begin < b.begin; });
  return ApplyEdits(cfile, edits, 8, changed);
}

}  // namespace kv
