#include "vb6_engine.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cancel.h"
#include "general_functions.h"
#include "index_table.h"
#include "kept_ranges.h"
#include "own_members.h"
#include "string_functions.h"

namespace kv {

namespace {
constexpr std::string_view kNewVersion = "#5.0#";

// Position of the first CR or LF at or after `from`, or the end of the text.
size_t LineEnd(std::string_view text, size_t from) { return FindLineBreak(text, from); }

bool AtLineStart(std::string_view text, size_t p) {
  return p == 0 || text[p - 1] == '\r' || text[p - 1] == '\n';
}

// The kinds of member entry, in the order in which a file's entries are
// followed. Keys are matched without regard to ASCII case.
struct EntryKind {
  std::string_view key;
  EventKind event;
  bool named;      // name ";" path, the path cleaned of extra blanks; otherwise the path as written
  bool lineStart;  // only at the start of a line (forms and modules count anywhere)
};
constexpr EntryKind kEntryKinds[] = {
    {"Form=", EventKind::FormFound, false, false},
    {"Module=", EventKind::ModuleFound, true, false},
    {"Class=", EventKind::ClassFound, true, true},
    {"UserControl=", EventKind::UserControlFound, false, true},
    {"PropertyPage=", EventKind::PropertyPageFound, false, true},
    {"UserDocument=", EventKind::UserDocumentFound, false, true},
    {"Designer=", EventKind::DesignerFound, false, true},
};
// Forms and modules; the other kinds are followed only when asked for.
constexpr size_t kDefaultKinds = 2;

size_t KindCount(bool allModules) { return allModules ? std::size(kEntryKinds) : kDefaultKinds; }

// One entry as it stands in the text: its path is [begin, end).
struct RawEntry {
  size_t begin;
  size_t end;
  size_t next;  // where the search for the next entry of the kind goes on
};

// The entry of `kind` whose key stands at `p`, if that occurrence is one;
// `*next` is where the search for the kind's next entry goes on either way.
std::optional<TextRange> EntryAt(std::string_view text, const EntryKind& kind, size_t p,
                                 size_t* next) {
  if (kind.lineStart && !AtLineStart(text, p)) {
    *next = p + 1;
    return std::nullopt;
  }
  // "IconForm=" names the project's icon, not a form.
  if (kind.event == EventKind::FormFound && p >= 4 && text.substr(p - 4, 9) == "IconForm=") {
    *next = p + 6;
    return std::nullopt;
  }
  const size_t valueStart = p + kind.key.size();
  const size_t e = LineEnd(text, valueStart);
  *next = e + 1;
  if (!kind.named) return TextRange{valueStart, e};
  // The ";" must stand on the entry's own line; without one the entry names
  // no file.
  const size_t semicolon = FindPolled(text.substr(0, e), ";", valueStart);
  if (semicolon == std::string_view::npos) return std::nullopt;
  return TextRange{semicolon + 1, e};
}

std::optional<RawEntry> FindEntry(std::string_view text, const EntryKind& kind, size_t from) {
  for (;;) {
    const size_t p = FindNoCase(text, kind.key, from);
    if (p == std::string_view::npos) return std::nullopt;
    if (const std::optional<TextRange> r = EntryAt(text, kind, p, &from)) {
      return RawEntry{r->begin, r->end, from};
    }
  }
}

// The text files of VB6 projects: projects, forms, modules, classes, user
// controls, property pages, user documents and designers.
bool IsVb6Kind(std::string_view path) {
  for (std::string_view ext : {".vbp", ".frm", ".bas", ".cls", ".ctl", ".pag", ".dob", ".dsr"}) {
    if (EndsWithNoCase(path, ext)) return true;
  }
  return false;
}

// Files that hold a form's or control's binary data beside its text file.
bool IsBinaryCompanion(std::string_view path) {
  for (std::string_view ext : {".frx", ".ctx", ".pgx", ".dox", ".dsx", ".dca"}) {
    if (EndsWithNoCase(path, ext)) return true;
  }
  return false;
}

// The keys of a group file that name its projects, at the start of a line.
constexpr std::string_view kGroupKeys[] = {"Project=", "StartupProject="};
}  // namespace

// One file of the walk: read and migrated, its entries being followed.
struct Vb6Migrator::Frame {
  std::string listed;     // the path as the project listed it
  std::string resolved;   // where it was found
  std::string text = {};  // its migrated text
  bool changed = false;
  std::vector<size_t> ruleHits = {};
  size_t keptMembers = 0;
  size_t kind = 0;  // index in kEntryKinds of the entries being followed
  size_t next = 0;  // where the search for the next entry goes on
};

struct Vb6Migrator::Run {
  Run(Disk& disk, const ResolveOptions& options, Reporter& reporter, const CancelFlag* cancel)
      : log(reporter, cancel), resolver(disk, options, log) {}
  RunLog log;
  EntryResolver resolver;
  std::string baseFolder = {};  // folder of the project being walked
  FileKeySet seen = {};         // files converted, or being converted, in this run
  std::vector<Frame> stack = {};
};

Vb6Migrator::Vb6Migrator(Disk& disk)
    : disk_(disk), guidRules_(BuildGuidRules()), textRules_(BuildTextRules()) {}

unsigned Vb6Migrator::ReplaceReferences(std::string& text, std::vector<size_t>* hits,
                                        bool* changed) const {
  if (hits && hits->size() < guidRules_.size()) hits->resize(guidRules_.size());
  unsigned rewritten = 0;
  for (size_t r = 0; r < guidRules_.size(); ++r) {
    const std::string& oldGuid = guidRules_[r].oldText;
    const std::string& newGuid = guidRules_[r].newText;
    std::string out;
    size_t copied = 0;
    size_t pos = FindPolled(text, oldGuid);
    while (pos != std::string::npos) {
      // A reference reads GUID "#" version "#", the version on one line.
      const size_t hash = pos + oldGuid.size();
      size_t close = std::string::npos;
      if (hash < text.size() && text[hash] == '#') {
        const size_t i =
            SpanWhile(text, hash + 1, [](char c) { return c != '#' && c != '\r' && c != '\n'; });
        if (i < text.size() && text[i] == '#') close = i;
      }
      if (close == std::string::npos) {
        pos = FindPolled(text, oldGuid, hash);
        continue;
      }
      // As much room to grow in place as a text read has.
      if (out.empty()) out.reserve(text.size() + text.size() / 8 + 256);
      AppendPolled(out, std::string_view(text).substr(copied, pos - copied));
      const size_t from = out.size();
      out += newGuid;
      out += kNewVersion;
      if (changed && text.compare(pos, close + 1 - pos, out, from) != 0) *changed = true;
      copied = close + 1;
      rewritten |= 1u << r;
      if (hits) ++(*hits)[r];
      pos = FindPolled(text, oldGuid, copied);
    }
    if (rewritten & (1u << r)) {
      AppendPolled(out, std::string_view(text).substr(copied));
      text.swap(out);
    }
  }
  return rewritten;
}

std::vector<TextRange> Vb6Migrator::EntryPathRanges(std::string_view text, bool allModules) {
  // What FindEntry would find for each kind, in one pass: every key ends in
  // "=", so only the places of that byte are looked at.
  std::vector<TextRange> ranges;
  if (text.empty()) return ranges;
  const size_t kinds = KindCount(allModules);
  size_t next[std::size(kEntryKinds)] = {};
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  size_t polled = 0;  // progress counted towards the stop flag up to here
  for (const char* hit = static_cast<const char*>(std::memchr(begin, '=', text.size())); hit;
       hit = static_cast<const char*>(std::memchr(hit + 1, '=', end - hit - 1))) {
    const size_t keyEnd = static_cast<size_t>(hit - begin) + 1;
    if (keyEnd - polled >= kCancelStride) {
      CancelPoint(keyEnd - polled);
      polled = keyEnd;
    }
    for (size_t k = 0; k < kinds; ++k) {
      const std::string_view key = kEntryKinds[k].key;
      if (keyEnd < key.size() + next[k]) continue;
      const size_t p = keyEnd - key.size();
      if (!EqualsNoCase(text.substr(p, key.size()), key)) continue;
      if (const std::optional<TextRange> r = EntryAt(text, kEntryKinds[k], p, &next[k])) {
        ranges.push_back(*r);
      }
    }
  }
  return ranges;
}

EntryPathFinder Vb6Migrator::EntryPaths(bool allModules) {
  return [allModules](std::string_view, std::string_view text) {
    return EntryPathRanges(text, allModules);
  };
}

std::set<FileKey> Vb6Migrator::ListedNotFollowed(Disk& disk,
                                                 const std::vector<std::string>& migrated) {
  // The kinds that a run follows only when asked for.
  const std::span<const EntryKind> kinds = std::span(kEntryKinds).subspan(kDefaultKinds);
  std::set<FileKey> listed;
  for (const std::string& project : migrated) {
    if (!EndsWithNoCase(project, ".vbp")) continue;
    std::string text;
    if (disk.ReadAll(project, &text)) continue;
    const std::string folder = GetFolderFromPath(project);
    size_t begin = 0;
    while (begin < text.size()) {
      const size_t end = FindLineBreak(text, begin);
      const std::string_view line = std::string_view(text).substr(begin, end - begin);
      for (const EntryKind& kind : kinds) {
        const std::string_view key = kind.key;
        if (line.size() < key.size() || !EqualsNoCase(line.substr(0, key.size()), key)) continue;
        std::string_view entry = line.substr(key.size());
        if (kind.named) {
          const size_t semicolon = entry.find(';');
          if (semicolon == std::string_view::npos) break;
          entry = entry.substr(semicolon + 1);
        }
        std::string path(entry);
        NormalizeSpaces(path);
        if (const std::optional<std::string> found = disk.Find(path, folder)) {
          if (const std::optional<FileKey> k = disk.Key(*found)) listed.insert(*k);
        }
      }
      begin = end + 1;
    }
  }
  return listed;
}

ScanHooks Vb6Migrator::LeftoverHooks() const {
  return ScanHooks{.entryPaths = EntryPaths(AllModules),
                   .ownMembers =
                       [](std::string_view path, std::string_view text) {
                         return IsVb6Kind(path) ? OwnMemberRanges(text) : std::vector<TextRange>{};
                       },
                   .notFollowed = ListedNotFollowed};
}

size_t Vb6Migrator::ApplyTextRules(std::string& text, std::vector<size_t>* hits,
                                   bool* changed) const {
  // The members of VB's own objects and the paths of member entries keep
  // their bytes.
  std::vector<TextRange> kept = OwnMemberRanges(text);
  const size_t own = kept.size();
  const std::vector<TextRange> paths = EntryPathRanges(text, AllModules);
  kept.insert(kept.end(), paths.begin(), paths.end());
  ApplyOutside(textRules_, text, std::move(kept), hits, changed);
  return own;
}

RunOutcome Vb6Migrator::ConvertFile(const std::string& cFileName, Reporter& reporter,
                                    const CancelFlag* cancel) {
  Run run(disk_, Entries, reporter, cancel);
  // Entries are expected to stay in the folder of the project or group the
  // run started from.
  if (const std::optional<std::string> top = disk_.Find(cFileName, "")) {
    run.resolver.SetRoot(GetFolderFromPath(*top));
  }
  // A stop asked for inside a file's work leaves that work where it is; the
  // file is not written and the run ends as cancelled.
  const CancelScope scope(cancel);
  try {
    if (EndsWithNoCase(cFileName, ".vbg")) {
      WalkGroup(run, cFileName);
    } else {
      WalkProject(run, cFileName, "");
    }
  } catch (const RunCancelled&) {
  }
  // A stop asked for during the last file still stops the run: it must not
  // end as if it had completed.
  if (!run.log.Ended()) run.log.CancelRequested();
  return run.log.outcome();
}

void Vb6Migrator::WalkGroup(Run& run, const std::string& path) {
  if (run.log.CancelRequested()) return;
  const std::optional<std::string> group = disk_.Find(path, "");
  if (!group) {
    run.log.Report(ProgressEvent{.kind = EventKind::FileMissing, .name = path});
    return;
  }
  std::string text;
  if (IoError e = disk_.ReadAll(*group, &text)) {
    run.log.Stop(StopCause::ReadFailed, *group, e.code, e.reason);
    return;
  }
  // Each project line, in file order, names a project relative to the
  // group's folder. The group file itself is only read.
  const std::string folder = GetFolderFromPath(*group);
  for (size_t start = 0; start < text.size() && !run.log.Ended();) {
    const size_t end = LineEnd(text, start);
    const std::string_view line = std::string_view(text).substr(start, end - start);
    start = end + 1;
    for (std::string_view key : kGroupKeys) {
      if (line.size() < key.size() || !EqualsNoCase(line.substr(0, key.size()), key)) continue;
      const std::string project(line.substr(key.size()));
      run.log.Report(ProgressEvent{.kind = EventKind::GroupProjectFound, .name = project});
      WalkProject(run, project, folder);
      break;
    }
  }
}

void Vb6Migrator::WalkProject(Run& run, const std::string& path, const std::string& base) {
  // The walk goes depth first, a file's entries in the order they stand, and
  // writes a file once everything it lists is done; the stack of files being
  // walked is kept here rather than on the call stack, so that no project
  // can nest deeper than memory allows.
  if (!Open(run, path, base)) return;
  while (!run.stack.empty() && !run.log.Ended()) {
    std::optional<Entry> entry = NextEntry(run.stack.back(), AllModules);
    if (!entry) {
      Close(run);
      continue;
    }
    run.log.Report(ProgressEvent{.kind = entry->kind, .name = entry->path});
    if (!entry->binary) Open(run, entry->path, run.baseFolder, entry->written);
  }
}

std::optional<Vb6Migrator::Entry> Vb6Migrator::NextEntry(Frame& frame, bool allModules) {
  const std::string_view text(frame.text);
  // Each kind's entries in file order, then the next kind.
  while (frame.kind < KindCount(allModules)) {
    const EntryKind& kind = kEntryKinds[frame.kind];
    const std::optional<RawEntry> e = FindEntry(text, kind, frame.next);
    if (!e) {
      ++frame.kind;
      frame.next = 0;
      continue;
    }
    frame.next = e->next;
    std::string path(text.substr(e->begin, e->end - e->begin));
    std::string written;
    if (kind.named) {
      if (path.find('\0') != std::string::npos) {
        // A NUL makes a name that no file can have: kept, so that the entry
        // is reported missing and shown as it is, not as another name.
        path.erase(0, path.find_first_not_of(' '));
        path.erase(path.find_last_not_of(' ') + 1);
      } else {
        RemoveControlChars(path);
        written = path;
        NormalizeSpaces(path);
        if (written == path) written.clear();
      }
    }
    // Only the kinds followed on request can name such files (a designer's
    // .dca, say); they hold binary data that no rule may touch.
    const bool binary = frame.kind >= kDefaultKinds && IsBinaryCompanion(path);
    return Entry{kind.event, std::move(path), binary, std::move(written)};
  }
  return std::nullopt;
}

bool Vb6Migrator::Open(Run& run, const std::string& path, const std::string& base,
                       std::string_view written) {
  if (run.log.CancelRequested()) return false;
  const std::optional<std::string> resolved = run.resolver.Find(path, base, written);
  if (!resolved) {
    run.log.Report(ProgressEvent{.kind = EventKind::FileMissing, .name = path});
    return false;
  }
  // Each file at most once per run: a form that lists itself, or two entries
  // naming one file, convert it once.
  if (const std::optional<FileKey> key = disk_.Key(*resolved)) {
    if (!run.seen.Insert(*key)) return false;
  }
  // A project's entries resolve against the folder where the project file was
  // found, by whichever spelling found it, wherever the process happens to be.
  if (run.stack.empty()) run.baseFolder = GetFolderFromPath(*resolved);
  Frame frame{.listed = path, .resolved = *resolved};
  if (IoError e = disk_.ReadAll(*resolved, &frame.text)) {
    if (!run.log.CancelRequested())
      run.log.Stop(StopCause::ReadFailed, *resolved, e.code, e.reason);
    return false;
  }
  if (run.log.CancelRequested()) return false;
  const unsigned rows = ReplaceReferences(frame.text, &frame.ruleHits, &frame.changed);
  for (size_t r = 0; r < guidRules_.size(); ++r) {
    if (rows & (1u << r)) {
      run.log.Report(
          ProgressEvent{.kind = EventKind::KeyReplaced, .name = GetFileNameFromPath(path)});
    }
  }
  // Rule hits: the GUID rows, then the text rows.
  std::vector<size_t> textHits(textRules_.table().size());
  frame.keptMembers = ApplyTextRules(frame.text, &textHits, &frame.changed);
  frame.ruleHits.resize(guidRules_.size());
  frame.ruleHits.insert(frame.ruleHits.end(), textHits.begin(), textHits.end());
  run.stack.push_back(std::move(frame));
  return true;
}

void Vb6Migrator::Close(Run& run) {
  Frame& frame = run.stack.back();
  // A file whose text did not change is left as it is.
  if (frame.changed) {
    if (run.log.CancelRequested()) return;
    if (IoError e = disk_.WriteAll(frame.resolved, frame.text)) {
      if (!run.log.CancelRequested()) {
        run.log.Stop(StopCause::WriteFailed, frame.resolved, e.code, e.reason);
      }
      return;
    }
    // A replaced file may be a new inode: remember it too, so that a later
    // entry naming the same file still counts as done.
    if (const std::optional<FileKey> key = disk_.Key(frame.resolved)) run.seen.Insert(*key);
  }
  run.log.Report(ProgressEvent{.kind = EventKind::FileConverted,
                               .name = frame.listed,
                               .path = frame.resolved,
                               .changed = frame.changed,
                               .ruleHits = std::move(frame.ruleHits),
                               .keptMembers = frame.keptMembers});
  run.stack.pop_back();
}

const MigrationKind kVb6Migration = {
    .takes =
        [](std::string_view path) {
          return EndsWithNoCase(path, ".vbp") || EndsWithNoCase(path, ".vbg");
        },
    .make = [](Disk& disk, const MigrationRequest& request) -> std::unique_ptr<Migrator> {
      auto migrator = std::make_unique<Vb6Migrator>(disk);
      migrator->AllModules = request.allModules;
      migrator->Entries = request.entries;
      return migrator;
    },
};

}  // namespace kv
