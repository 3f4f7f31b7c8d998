#include "dotnet_engine.h"

#include <string.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

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

RuleTable Concat(RuleTable first, const RuleTable& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
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
    found_ = npos;
    if (start < limit) {
      const size_t reach = std::min(text_.size(), limit + needle_.size() - 1);
#ifdef _WIN32
      // No memmem there; the library's search is the next best.
      const size_t hit = text_.substr(start, reach - start).find(needle_);
      if (hit != npos) found_ = start + hit;
#else
      const void* hit =
          ::memmem(text_.data() + start, reach - start, needle_.data(), needle_.size());
      if (hit) found_ = static_cast<size_t>(static_cast<const char*>(hit) - text_.data());
#endif
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
}  // namespace

DotNetMigrator::DotNetMigrator(Disk& disk)
    : disk_(disk),
      guidRules_(BuildGuidRules()),
      textRules_(BuildTextRules()),
      allRules_(Concat(guidRules_, textRules_)),
      versionGuids_(NewGuidsOf(guidRules_)) {}

// ---------------------------------------------------------------------------
// Text migration

std::string& DotNetMigrator::ConvertDotNetFile(std::string& cfile,
                                               std::vector<size_t>* ruleHits) const {
  // The GUID rows come before the name rows; one scan over all of them gives
  // what applying them one after the other would.
  allRules_.Apply(cfile, ruleHits);
  return ConvertDotNetFileVersion(cfile);
}

std::string& DotNetMigrator::ConvertDotNetFileVersion(std::string& cfile) const {
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
    const size_t close = text.substr(0, limit).find('"', begin);
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
    ConvertVersionsOneByOne(cfile);
    return cfile;
  }

  std::string out;
  size_t grown = 0;
  for (const VersionKey& key : keys) grown += key.value.size();
  out.reserve(text.size() + edits.size() * grown);
  size_t copied = 0;
  for (const ValueEdit& e : edits) {
    out.append(text.substr(copied, e.begin - copied));
    out += *e.value;
    copied = e.end;
  }
  out.append(text.substr(copied));
  cfile.swap(out);
  return cfile;
}

void DotNetMigrator::ConvertVersionsOneByOne(std::string& cfile) const {
  const std::array<VersionKey, 2> keys = VersionKeys();
  for (const RuleRow& row : guidRules_) {
    const std::string& guid = row.newText;
    if (guid.empty()) continue;
    for (size_t p = cfile.find(guid); p != npos;) {
      const size_t start = p + guid.size() + 1;
      if (start >= cfile.size()) break;
      for (const VersionKey& key : keys) {
        const size_t gt = cfile.find('>', p + guid.size());
        const size_t limit = gt == npos ? cfile.size() : gt;
        const size_t k = cfile.find(key.key, start);
        if (k == npos || k >= limit) continue;
        const size_t begin = k + key.key.size();
        const size_t close = cfile.find('"', begin);
        if (close == npos || close >= limit) continue;
        cfile.replace(begin, close - begin, key.value);
      }
      p = cfile.find(guid, start);
    }
  }
}

std::array<DotNetMigrator::VersionKey, 2> DotNetMigrator::VersionKeys() const {
  return {VersionKey{kMajorKey, NewVersionMajor}, VersionKey{kMinorKey, NewVersionMinor}};
}

// ---------------------------------------------------------------------------
// Parsing

std::vector<std::string> DotNetMigrator::GetSolutionProjects(std::string_view cfile) {
  std::vector<std::string> projects;
  size_t from = 0;
  for (;;) {
    const size_t p = FindNoCase(cfile, kProjectStart, from);
    if (p == npos) break;
    const size_t e = cfile.find(kProjectEnd, p);
    if (e == npos) break;
    // The block runs to the character just after "EndProject"; the next one
    // is looked for right behind "EndProject", so that a block written
    // directly after it is not missed.
    from = e + kProjectEnd.size();
    const std::string_view block = cfile.substr(p, from + 1 - p);
    const std::vector<std::string> fields = SplitToArray(block, ",");
    // The path is the second field; a block without one names no project.
    if (fields.size() < 2) continue;
    AppendToArray(projects, TrimBlanks(fields[1]));
  }
  return projects;
}

std::vector<std::string> DotNetMigrator::GetProjectFiles(std::string_view cfile) {
  std::vector<std::string> files;
  for (size_t f = FindNoCase(cfile, kFileStart, 0); f != npos;) {
    const size_t c = cfile.find(kFileEnd, f);
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

std::string DotNetMigrator::GetFileNameFromFileElement(std::string_view cfile) {
  const size_t k = FindNoCase(cfile, kRelPath, 0);
  if (k == npos) return std::string();
  const size_t begin = k + kRelPath.size();
  const size_t close = cfile.find('"', begin);
  if (close == npos) return std::string();
  return TrimBlanks(cfile.substr(begin, close - begin));
}

// ---------------------------------------------------------------------------
// The run over a solution

RunOutcome DotNetMigrator::ConvertFile(const std::string& cfilename, Reporter& reporter,
                                       const CancelFlag* cancel) {
  RunLog log(reporter, cancel);
  auto report = [&](EventKind kind, std::string name, std::string path = std::string()) {
    log.Report(ProgressEvent{.kind = kind, .name = std::move(name), .path = std::move(path)});
  };

  // Reads, migrates and writes back one project or source file. A file that
  // cannot be written keeps its old bytes and the run goes on; one that
  // cannot be read ends the run. A file whose text does not change is left
  // as it is.
  std::string text;
  auto convert = [&](const std::string& path, const std::string& resolved) {
    if (IoError e = disk_.ReadAll(resolved, &text)) {
      log.Stop(StopCause::ReadFailed, resolved, e.code, e.reason);
      return false;
    }
    const TextFingerprint before(text);
    std::vector<size_t> hits(allRules_.table().size());
    ConvertDotNetFile(text, &hits);
    const bool changed = TextFingerprint(text) != before;
    if (changed) {
      if (IoError e = disk_.WriteAll(resolved, text)) {
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
  if (log.CancelRequested()) return log.outcome();
  const std::optional<std::string> solution = disk_.Find(cfilename, "");
  if (!solution) {
    report(EventKind::FileMissing, cfilename);
    return log.outcome();
  }
  report(EventKind::SolutionParsing, GetFileNameFromPath(cfilename), *solution);
  if (IoError e = disk_.ReadAll(*solution, &text)) {
    log.Stop(StopCause::ReadFailed, *solution, e.code, e.reason);
    return log.outcome();
  }
  const std::vector<std::string> projects = GetSolutionProjects(text);
  const std::string folder = GetFolderFromPath(cfilename);

  // Check pass: every project must be there before anything is written.
  std::vector<std::string> resolvedProjects;
  std::vector<std::vector<std::string>> fileLists;
  for (const std::string& entry : projects) {
    if (log.CancelRequested()) return log.outcome();
    const std::string path = folder + entry;
    const std::optional<std::string> resolved = disk_.Find(path, "");
    if (!resolved) {
      report(EventKind::FileMissing, path);
      return log.outcome();
    }
    if (IoError e = disk_.ReadAll(*resolved, &text)) {
      log.Stop(StopCause::ReadFailed, *resolved, e.code, e.reason);
      return log.outcome();
    }
    AppendToArray(fileLists, GetProjectFiles(text));
    AppendToArray(resolvedProjects, *resolved);
    report(EventKind::ProjectFound, GetFileNameFromPath(path), *resolved);
  }

  // Project pass.
  for (size_t i = 0; i < projects.size(); ++i) {
    if (log.CancelRequested()) return log.outcome();
    const std::string path = folder + projects[i];
    report(EventKind::FileParsing, GetFileNameFromPath(path), resolvedProjects[i]);
    if (!convert(path, resolvedProjects[i])) return log.outcome();
  }

  // File pass: each project's files, relative to that project's folder.
  for (size_t i = 0; i < projects.size(); ++i) {
    const std::string projectFolder = GetFolderFromPath(folder + projects[i]);
    for (const std::string& entry : fileLists[i]) {
      if (log.CancelRequested()) return log.outcome();
      const std::string path = projectFolder + entry;
      report(EventKind::FileParsing, GetFileNameFromPath(path));
      const std::optional<std::string> resolved = disk_.Find(path, "");
      if (!resolved) {
        report(EventKind::SourceMissing, path);
        continue;
      }
      if (!convert(path, *resolved)) return log.outcome();
    }
  }
  return log.outcome();
}

}  // namespace kv
