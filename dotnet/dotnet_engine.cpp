#include "dotnet_engine.h"

#include <string.h>

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <string_view>

#include "cancel.h"
#include "general_functions.h"
#include "string_functions.h"

namespace kv {

namespace {
constexpr size_t npos = std::string_view::npos;

constexpr std::string_view kMajorKey = "VersionMajor = \"";
constexpr std::string_view kMinorKey = "VersionMinor = \"";
constexpr std::string_view kProjectStart = "Project(";
constexpr std::string_view kProjectEnd = "EndProject";
constexpr std::string_view kFileStart = "<File";
constexpr std::string_view kFileEnd = "/>";
constexpr std::string_view kRelPath = "RelPath = \"";
// The MSBuild items that list a project's files.
constexpr std::string_view kItemNames[] = {"Compile", "EmbeddedResource", "Content", "None"};
constexpr std::string_view kComReference = "<COMReference";
constexpr std::string_view kComReferenceEnd = "</COMReference";

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The value of the attribute `name` (ASCII case ignored, blanks allowed
// around "=", in double or single quotes) that starts in [from, to).
std::optional<TextRange> FindAttribute(std::string_view text, size_t from, size_t to,
                                       std::string_view name) {
  const std::string_view tag = text.substr(0, std::min(to, text.size()));
  for (size_t p = FindNoCase(tag, name, from); p != npos; p = FindNoCase(tag, name, p + 1)) {
    if (p == 0 || !IsXmlSpace(tag[p - 1])) continue;
    size_t i = p + name.size();
    while (i < tag.size() && IsBlank(tag[i])) ++i;
    if (i >= tag.size() || tag[i] != '=') continue;
    ++i;
    while (i < tag.size() && IsBlank(tag[i])) ++i;
    if (i >= tag.size() || (tag[i] != '"' && tag[i] != '\'')) continue;
    const size_t close = FindPolled(tag, tag.substr(i, 1), i + 1);
    if (close == npos) return std::nullopt;
    return TextRange{i + 1, close};
  }
  return std::nullopt;
}

// One element of a project text that names a member file.
struct MemberElement {
  size_t start = 0;  // its "<"
  std::optional<TextRange> relPath = {};
  std::optional<TextRange> link = {};
  std::optional<TextRange> include = {};  // an MSBuild item's
};

// Calls `visit` for each <File> element (found as GetProjectFiles finds them)
// and then for each MSBuild item that lists a file.
template <typename Visit>
void ForEachMemberElement(std::string_view text, Visit&& visit) {
  for (size_t f = FindNoCase(text, kFileStart, 0); f != npos;) {
    const size_t c = FindPolled(text, kFileEnd, f);
    if (c == npos) break;
    const size_t from = c + kFileEnd.size();
    MemberElement element{.start = f};
    const std::string_view span = text.substr(f, from + 1 - f);
    if (const size_t k = FindNoCase(span, kRelPath, 0); k != npos) {
      const size_t begin = k + kRelPath.size();
      if (const size_t close = FindPolled(span, "\"", begin); close != npos) {
        element.relPath = TextRange{f + begin, f + close};
      }
    }
    element.link = FindAttribute(text, f, c, "Link");
    visit(element);
    f = FindNoCase(text, kFileStart, from);
  }
  // An item's attributes end at its ">", and never run past the next "<" (no
  // attribute value holds one): each item is searched only up to there, so a
  // text of items that never close costs no more than one that does.
  for (size_t lt = FindPolled(text, "<"), nextLt = npos; lt != npos; lt = nextLt) {
    nextLt = FindPolled(text, "<", lt + 1);
    const size_t bound = nextLt == npos ? text.size() : nextLt;
    for (const std::string_view name : kItemNames) {
      const size_t after = lt + 1 + name.size();
      if (after >= bound || !IsXmlSpace(text[after]) ||
          !EqualsNoCase(text.substr(lt + 1, name.size()), name)) {
        continue;
      }
      const size_t gt = FindPolled(text.substr(0, bound), ">", after);
      MemberElement element{.start = lt};
      element.include = FindAttribute(text, after, gt == npos ? bound : gt, "Include");
      if (element.include) visit(element);
      break;
    }
  }
}

bool IsListedKind(std::string_view name) {
  const std::optional<std::string> ext = GetFileExtension(name);
  if (!ext) return false;
  const std::string upper = ToUpperAscii(*ext);
  return upper == ".CS" || upper == ".VB" || upper == ".RESX";
}

// A solution's path of a web project: an address, not a file.
bool IsWebPath(std::string_view path) {
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (path.size() >= scheme.size() && EqualsNoCase(path.substr(0, scheme.size()), scheme)) {
      return true;
    }
  }
  return false;
}

// Where a web project is under `root`: the part of its address after the
// host, relative to `root`.
std::string WebProjectPath(std::string_view address, std::string_view root) {
  const size_t host = address.find("://") + 3;
  size_t slash = host;
  while (slash < address.size() && !IsPathSeparator(address[slash])) ++slash;
  const std::string_view rest = slash < address.size() ? address.substr(slash + 1) : "";
  std::string path(root);
  if (!path.empty() && !IsPathSeparator(path.back())) path += '/';
  path += rest;
  return path;
}

RuleTable Concat(RuleTable first, const RuleTable& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// A listed path as the lines name it: joined to the folder it is listed
// against, unless it is absolute.
std::string Listed(const std::string& folder, const std::string& entry) {
  return NativePath(entry).starts_with('/') ? entry : folder + entry;
}

// A table that finds each row's new GUID (every GUID of the table is 38
// characters long; the matcher needs at least two).
RuleTable NewGuidsOf(const RuleTable& rows) {
  RuleTable found;
  for (const RuleRow& row : rows) {
    if (row.newText.size() >= 2) found.push_back(RuleRow{row.newText, row.newText});
  }
  return found;
}

// Removes spaces (code 32 only) from both ends.
std::string TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == npos) return std::string();
  const size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

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
}  // namespace

DotNetMigrator::DotNetMigrator(Disk& disk)
    : disk_(disk),
      guidRules_(BuildGuidRules()),
      textRules_(BuildTextRules()),
      allRules_(Concat(guidRules_, textRules_)),
      versionGuids_(NewGuidsOf(guidRules_)) {}

// ---------------------------------------------------------------------------
// Text migration

std::string& DotNetMigrator::ConvertDotNetFile(std::string& cfile, std::vector<size_t>* ruleHits,
                                               bool* changed) const {
  // The GUID rows come before the name rows; one scan over all of them gives
  // what applying them one after the other would.
  allRules_.Apply(cfile, ruleHits, changed);
  return ConvertDotNetFileVersion(cfile, changed);
}

std::string& DotNetMigrator::ConvertDotNetProject(std::string& cfile, std::vector<size_t>* ruleHits,
                                                  bool* changed) const {
  ApplyOutside(allRules_, cfile, MemberPathRanges(cfile), ruleHits, changed);
  ConvertDotNetFileVersion(cfile, changed);
  return ConvertComReferenceVersions(cfile, changed);
}

std::string& DotNetMigrator::ConvertComReferenceVersions(std::string& cfile, bool* changed) const {
  const std::string_view text(cfile);
  std::vector<ValueEdit> edits;
  // Whether [begin, end) holds a version 5 GUID, spelled as the table writes it.
  auto holdsNewGuid = [&](size_t begin, size_t end) {
    const std::string_view element = text.substr(0, end);
    for (size_t p = versionGuids_.FindNext(element, begin); p != npos;
         p = versionGuids_.FindNext(element, p + 1)) {
      for (const RuleRow& row : guidRules_) {
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
  const Tag keys[] = {{"<VersionMajor>", "</VersionMajor", &NewVersionMajor},
                      {"<VersionMinor>", "</VersionMinor", &NewVersionMinor}};
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
        const size_t end = FindNoCase(element, key.close, begin);
        if (end != npos) edits.push_back(ValueEdit{begin, end, key.value});
      }
    }
    p = FindNoCase(text, kComReference, next);
  }
  if (edits.empty()) return cfile;
  std::sort(edits.begin(), edits.end(),
            [](const ValueEdit& a, const ValueEdit& b) { return a.begin < b.begin; });
  return ApplyEdits(cfile, edits, 8, changed);
}

std::string& DotNetMigrator::ConvertDotNetFileVersion(std::string& cfile, bool* changed) const {
  const std::string_view text(cfile);
  std::vector<ValueEdit> edits;
  const std::array<VersionKey, 2> keys = VersionKeys();

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
  std::vector<RowState> rows(guidRules_.size());

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
  for (size_t p = versionGuids_.FindNext(text, 0); p != npos;
       p = versionGuids_.FindNext(text, p + 1)) {
    for (size_t r = 0; r < guidRules_.size(); ++r) {
      const std::string_view guid = guidRules_[r].newText;
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
  if (edits.empty()) return cfile;

  // Two GUIDs in one element reach the same key; distinct values never
  // overlap, since each runs from a key's quote to the next quote.
  std::sort(edits.begin(), edits.end(),
            [](const ValueEdit& a, const ValueEdit& b) { return a.begin < b.begin; });
  edits.erase(
      std::unique(edits.begin(), edits.end(),
                  [](const ValueEdit& a, const ValueEdit& b) { return a.begin == b.begin; }),
      edits.end());

  // All rewrites were planned on the text as it came in. That is what
  // rewriting one value after the other gives, unless a value about to be
  // replaced holds a GUID or a key (the rewrite removes it, so whether it
  // counts depends on the order), or a target text could itself form one.
  // Such texts are rare: do them literally.
  bool planned = true;
  for (const VersionKey& key : keys) {
    if (key.value.find_first_of("\"{>=") != std::string::npos) planned = false;
  }
  for (size_t i = 0; planned && i < edits.size(); ++i) {
    // A key ends with a quote and the value has none before its closing one,
    // so a key that starts inside the value ends at that closing quote.
    const std::string_view value = text.substr(edits[i].begin, edits[i].end + 1 - edits[i].begin);
    for (const VersionKey& key : keys) {
      if (value.find(key.key) != npos) planned = false;
    }
    if (versionGuids_.FindNext(value, 0) != npos) planned = false;
  }
  if (!planned) {
    // Rare text: whether it changed is told by comparing fingerprints.
    const TextFingerprint before(cfile);
    ConvertVersionsOneByOne(cfile);
    if (changed && TextFingerprint(cfile) != before) *changed = true;
    return cfile;
  }

  size_t grown = 0;
  for (const VersionKey& key : keys) grown += key.value.size();
  return ApplyEdits(cfile, edits, grown, changed);
}

void DotNetMigrator::ConvertVersionsOneByOne(std::string& cfile) const {
  // Target texts that could form a GUID, a key, a quote or an element end
  // make each rewrite depend on the last one: only the literal way is right.
  auto plain = [](const std::string& value) { return value.find_first_of("\"{>=") == npos; };
  if (!plain(NewVersionMajor) || !plain(NewVersionMinor)) {
    ConvertVersionsLiterally(cfile);
    return;
  }
  // Otherwise the literal rewrite is followed on the text as it came in: a
  // rewritten value holds none of what the searches look for, so searching
  // the rewritten text is searching the original one while passing over the
  // values already rewritten (a GUID or key inside one is gone). Each search
  // goes forward from where the last one ended: linear, whatever the text.
  const std::array<VersionKey, 2> keys = VersionKeys();
  for (const RuleRow& row : guidRules_) {
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

void DotNetMigrator::ConvertVersionsLiterally(std::string& cfile) const {
  const std::array<VersionKey, 2> keys = VersionKeys();
  for (const RuleRow& row : guidRules_) {
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

std::array<DotNetMigrator::VersionKey, 2> DotNetMigrator::VersionKeys() const {
  return {VersionKey{kMajorKey, NewVersionMajor}, VersionKey{kMinorKey, NewVersionMinor}};
}

// ---------------------------------------------------------------------------
// Parsing

namespace {
// Calls `visit` with each project block of a solution and the fields it
// splits into; the path is the second field, and a block without one names
// no project.
template <typename Visit>
void ForEachSolutionProject(std::string_view cfile, Visit&& visit) {
  size_t from = 0;
  for (;;) {
    const size_t p = FindNoCase(cfile, kProjectStart, from);
    if (p == npos) break;
    const size_t e = FindPolled(cfile, kProjectEnd, p);
    if (e == npos) break;
    // The block runs to the character just after "EndProject"; the next one
    // is looked for right behind "EndProject", so that a block written
    // directly after it is not missed.
    from = e + kProjectEnd.size();
    const std::string_view block = cfile.substr(p, from + 1 - p);
    const std::vector<std::string> fields = SplitToArray(block, ",");
    if (fields.size() >= 2) visit(block, fields);
  }
}
}  // namespace

std::vector<std::string> DotNetMigrator::GetSolutionProjects(std::string_view cfile) {
  std::vector<std::string> projects;
  ForEachSolutionProject(cfile, [&](std::string_view, const std::vector<std::string>& fields) {
    AppendToArray(projects, TrimBlanks(fields[1]));
  });
  return projects;
}

std::vector<DotNetMigrator::SolutionEntry> DotNetMigrator::GetSolutionEntries(
    std::string_view cfile) {
  std::vector<SolutionEntry> entries;
  ForEachSolutionProject(
      cfile, [&](std::string_view block, const std::vector<std::string>& fields) {
        // The second field as written: the cleaning of the block before it is
        // split removes and collapses bytes, but no comma.
        const size_t first = FindPolled(block, ",");
        const size_t second = FindPolled(block, ",", first + 1);
        const std::string_view field =
            block.substr(first + 1, (second == npos ? block.size() : second) - first - 1);
        std::string raw;
        for (size_t at = 0; at < field.size();) {
          const size_t quote = std::min(FindPolled(field, "\"", at), field.size());
          raw.append(field.substr(at, quote - at));
          at = quote + 1;
        }
        SolutionEntry entry{TrimBlanks(fields[1])};
        if (raw.find('\0') != npos) {
          entry.path = TrimBlanks(raw);
        } else {
          RemoveControlChars(raw);
          if (raw != entry.path) entry.written = std::move(raw);
        }
        entries.push_back(std::move(entry));
      });
  return entries;
}

std::vector<std::string> DotNetMigrator::GetProjectFiles(std::string_view cfile) {
  std::vector<std::string> files;
  for (size_t f = FindNoCase(cfile, kFileStart, 0); f != npos;) {
    const size_t c = FindPolled(cfile, kFileEnd, f);
    if (c == npos) break;
    // The next element may follow "/>" directly.
    const size_t from = c + kFileEnd.size();
    const std::string name = GetFileNameFromFileElement(cfile.substr(f, from + 1 - f));
    if (const std::optional<std::string> ext = GetFileExtension(name)) {
      const std::string upper = ToUpperAscii(*ext);
      if (upper == ".CS" || upper == ".VB" || upper == ".RESX") AppendToArray(files, name);
    }
    f = FindNoCase(cfile, kFileStart, from);
  }
  return files;
}

std::vector<std::string> DotNetMigrator::ListMemberFiles(std::string_view cfile) {
  std::vector<std::pair<size_t, std::string>> listed;
  ForEachMemberElement(cfile, [&](const MemberElement& e) {
    const std::optional<TextRange> value = e.link ? e.link : e.relPath ? e.relPath : e.include;
    if (!value) return;
    std::string name = TrimBlanks(cfile.substr(value->begin, value->end - value->begin));
    if (e.include && name.find_first_of("*?;") != std::string::npos) return;
    if (IsListedKind(name)) listed.emplace_back(e.start, std::move(name));
  });
  // <File> elements and items, merged by where they stand.
  std::stable_sort(listed.begin(), listed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> files;
  files.reserve(listed.size());
  for (auto& [position, name] : listed) files.push_back(std::move(name));
  return files;
}

EntryPathFinder DotNetMigrator::EntryPaths() {
  return [](std::string_view path, std::string_view text) {
    auto endsWith = [&](std::string_view ext) {
      return path.size() >= ext.size() && EqualsNoCase(path.substr(path.size() - ext.size()), ext);
    };
    if (endsWith(".csproj") || endsWith(".vbproj")) return MemberPathRanges(text);
    return std::vector<TextRange>{};
  };
}

std::vector<TextRange> DotNetMigrator::MemberPathRanges(std::string_view cfile) {
  std::vector<TextRange> ranges;
  ForEachMemberElement(cfile, [&](const MemberElement& e) {
    for (const std::optional<TextRange>& r : {e.relPath, e.link, e.include}) {
      if (r) ranges.push_back(*r);
    }
  });
  return ranges;
}

std::string DotNetMigrator::GetFileNameFromFileElement(std::string_view cfile) {
  const size_t k = FindNoCase(cfile, kRelPath, 0);
  if (k == npos) return std::string();
  const size_t begin = k + kRelPath.size();
  const size_t close = FindPolled(cfile, "\"", begin);
  if (close == npos) return std::string();
  return TrimBlanks(cfile.substr(begin, close - begin));
}

// ---------------------------------------------------------------------------
// The run over a solution

RunOutcome DotNetMigrator::ConvertFile(const std::string& cfilename, Reporter& reporter,
                                       const CancelFlag* cancel) {
  RunLog log(reporter, cancel);
  // A stop asked for inside a file's work leaves that work where it is; the
  // file is not written and the run ends as cancelled.
  const CancelScope scope(cancel);
  try {
    ConvertSolution(cfilename, log);
  } catch (const RunCancelled&) {
  }
  // A stop asked for during the last file still stops the run.
  if (!log.Ended()) log.CancelRequested();
  return log.outcome();
}

void DotNetMigrator::ConvertSolution(const std::string& cfilename, RunLog& log) {
  auto report = [&](EventKind kind, std::string name, std::string path = std::string()) {
    log.Report(ProgressEvent{.kind = kind, .name = std::move(name), .path = std::move(path)});
  };

  // Reads, migrates and writes back one project or source file. A file that
  // cannot be written keeps its old bytes and the run goes on; one that
  // cannot be read ends the run. A file whose text does not change is left
  // as it is.
  std::string text;
  auto convert = [&](const std::string& path, const std::string& resolved, bool project) {
    if (IoError e = disk_.ReadAll(resolved, &text)) {
      if (!log.CancelRequested()) log.Stop(StopCause::ReadFailed, resolved, e.code, e.reason);
      return false;
    }
    if (log.CancelRequested()) return false;
    std::vector<size_t> hits(allRules_.table().size());
    bool changed = false;
    if (project) {
      ConvertDotNetProject(text, &hits, &changed);
    } else {
      ConvertDotNetFile(text, &hits, &changed);
    }
    if (log.CancelRequested()) return false;
    if (changed) {
      if (IoError e = disk_.WriteAll(resolved, text)) {
        if (log.CancelRequested()) return false;
        log.Report(ProgressEvent{.kind = EventKind::NotModified,
                                 .name = GetFileNameFromPath(path),
                                 .path = resolved,
                                 .error = e.code,
                                 .detail = e.reason});
        return true;
      }
    }
    log.Report(ProgressEvent{.kind = EventKind::FileConverted,
                             .name = path,
                             .path = resolved,
                             .changed = changed,
                             .ruleHits = std::move(hits)});
    return true;
  };

  // Solution step.
  if (log.CancelRequested()) return;
  const std::optional<std::string> solution = disk_.Find(cfilename, "");
  if (!solution) {
    report(EventKind::FileMissing, cfilename);
    return;
  }
  report(EventKind::SolutionParsing, GetFileNameFromPath(cfilename), *solution);
  if (IoError e = disk_.ReadAll(*solution, &text)) {
    if (!log.CancelRequested()) log.Stop(StopCause::ReadFailed, *solution, e.code, e.reason);
    return;
  }
  if (log.CancelRequested()) return;
  const std::vector<SolutionEntry> projects = GetSolutionEntries(text);
  // Names are shown joined to the folder as the solution was typed; files are
  // looked up from the folder where the solution was found, so that an
  // absolute entry stays absolute however the solution was named.
  const std::string folder = GetFolderFromPath(cfilename);
  const std::string solutionFolder = GetFolderFromPath(*solution);
  EntryResolver resolver(disk_, Entries, log);
  resolver.SetRoot(solutionFolder);

  // Check pass: every project must be there before anything is written. A
  // web project is an address, not a file: it is passed over (or found under
  // the web root), and the others go on.
  struct Project {
    std::string path;
    std::string resolved;
    std::vector<std::string> files;
  };
  std::vector<Project> found;
  for (const SolutionEntry& listed : projects) {
    if (log.CancelRequested()) return;
    const std::string& entry = listed.path;
    std::string path = Listed(folder, entry);
    std::optional<std::string> resolved;
    if (IsWebPath(entry)) {
      if (WebRoot.empty()) {
        report(EventKind::WebProjectSkipped, entry);
        continue;
      }
      // The web root is the user's own choice: it is taken as given.
      path = WebProjectPath(entry, WebRoot);
      // A NUL names no file here either.
      if (path.find('\0') == npos) resolved = disk_.Find(path, "");
    } else {
      resolved = resolver.Find(entry, solutionFolder, listed.written);
    }
    if (!resolved) {
      report(EventKind::FileMissing, path);
      return;
    }
    if (IoError e = disk_.ReadAll(*resolved, &text)) {
      if (!log.CancelRequested()) log.Stop(StopCause::ReadFailed, *resolved, e.code, e.reason);
      return;
    }
    found.push_back(Project{path, *resolved, ListMemberFiles(text)});
    report(EventKind::ProjectFound, GetFileNameFromPath(path), *resolved);
  }

  // Project pass.
  for (const Project& project : found) {
    if (log.CancelRequested()) return;
    report(EventKind::FileParsing, GetFileNameFromPath(project.path), project.resolved);
    if (!convert(project.path, project.resolved, true)) return;
  }

  // File pass: each project's files, relative to that project's folder.
  for (const Project& project : found) {
    const std::string projectFolder = GetFolderFromPath(project.path);
    const std::string foundFolder = GetFolderFromPath(project.resolved);
    for (const std::string& entry : project.files) {
      if (log.CancelRequested()) return;
      const std::string path = Listed(projectFolder, entry);
      report(EventKind::FileParsing, GetFileNameFromPath(path));
      const std::optional<std::string> resolved = resolver.Find(entry, foundFolder);
      if (!resolved) {
        report(EventKind::SourceMissing, path);
        continue;
      }
      if (!convert(path, *resolved, false)) return;
    }
  }
}

}  // namespace kv
