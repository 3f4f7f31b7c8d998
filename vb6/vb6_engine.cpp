#include "vb6_engine.h"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "general_functions.h"
#include "pieces.h"
#include "string_functions.h"

namespace kv {

namespace {
constexpr std::string_view kNewVersion = "#5.0#";

// Position of the first CR or LF at or after `from`, or the end of the text.
size_t LineEnd(std::string_view text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') return i;
  }
  return text.size();
}
}  // namespace

// One file of the walk: read and migrated, its entries being followed.
struct Vb6Migrator::Frame {
  std::string listed;     // the path as the project listed it
  std::string resolved;   // where it was found
  std::string text = {};  // its migrated text
  bool changed = false;
  bool modules = false;  // the form entries are done; the module entries go on
  size_t next = 0;       // where the search for the next entry goes on
};

struct Vb6Migrator::Run {
  Run(Disk& disk, const ResolveOptions& options, Reporter& reporter, const CancelFlag* cancel)
      : log(reporter, cancel), resolver(disk, options, log) {}
  RunLog log;
  EntryResolver resolver;
  std::string baseFolder = {};  // folder of the project the run started from
  std::set<FileKey> seen = {};  // files converted, or being converted, in this run
  std::vector<Frame> stack = {};
};

Vb6Migrator::Vb6Migrator(Disk& disk)
    : disk_(disk), guidRules_(BuildGuidRules()), textRules_(BuildTextRules()) {}

unsigned Vb6Migrator::ReplaceReferences(std::string& text) const {
  unsigned rewritten = 0;
  for (size_t r = 0; r < guidRules_.size(); ++r) {
    const std::string& oldGuid = guidRules_[r].oldText;
    const std::string& newGuid = guidRules_[r].newText;
    std::string out;
    size_t copied = 0;
    size_t pos = text.find(oldGuid);
    while (pos != std::string::npos) {
      // A reference reads GUID "#" version "#", the version on one line.
      const size_t hash = pos + oldGuid.size();
      size_t close = std::string::npos;
      if (hash < text.size() && text[hash] == '#') {
        for (size_t i = hash + 1; i < text.size(); ++i) {
          if (text[i] == '#') {
            close = i;
            break;
          }
          if (text[i] == '\r' || text[i] == '\n') break;
        }
      }
      if (close == std::string::npos) {
        pos = text.find(oldGuid, hash);
        continue;
      }
      if (out.empty()) out.reserve(text.size() + 64);
      out.append(text, copied, pos - copied);
      out += newGuid;
      out += kNewVersion;
      copied = close + 1;
      rewritten |= 1u << r;
      pos = text.find(oldGuid, copied);
    }
    if (rewritten & (1u << r)) {
      out.append(text, copied, std::string::npos);
      text.swap(out);
    }
  }
  return rewritten;
}

void Vb6Migrator::ApplyTextRules(std::string& text) const { textRules_.Apply(text); }

RunOutcome Vb6Migrator::ConvertFile(const std::string& cFileName, Reporter& reporter,
                                    const CancelFlag* cancel) {
  Run run(disk_, Entries, reporter, cancel);
  // Entries of the project resolve against the folder of the project file
  // itself, wherever the process happens to be.
  if (const std::optional<std::string> top = disk_.Find(cFileName, "")) {
    run.baseFolder = GetFolderFromPath(*top);
    run.resolver.SetRoot(run.baseFolder);
  }
  // The walk goes depth first, a file's entries in the order they stand, and
  // writes a file once everything it lists is done; the stack of files being
  // walked is kept here rather than on the call stack, so that no project
  // can nest deeper than memory allows.
  if (Open(run, cFileName, "")) {
    while (!run.stack.empty() && !run.log.Ended()) {
      std::optional<Entry> entry = NextEntry(run.stack.back());
      if (!entry) {
        Close(run);
        continue;
      }
      run.log.Report(ProgressEvent{.kind = entry->kind, .name = entry->path});
      Open(run, entry->path, run.baseFolder, entry->written);
    }
  }
  // A stop asked for during the last file still stops the run: it must not
  // end as if it had completed.
  if (!run.log.Ended()) run.log.CancelRequested();
  return run.log.outcome();
}

std::optional<Vb6Migrator::Entry> Vb6Migrator::NextEntry(Frame& frame) {
  const std::string_view text(frame.text);
  // Form entries: "Form=" and the path up to the end of its line, as written.
  while (!frame.modules) {
    const size_t p = FindNoCase(text, "Form=", frame.next);
    if (p == std::string::npos) {
      frame.modules = true;
      frame.next = 0;
      break;
    }
    if (p >= 4 && text.substr(p - 4, 9) == "IconForm=") {
      frame.next = p + 6;
      continue;
    }
    const size_t e = LineEnd(text, p + 5);
    frame.next = e + 1;
    return Entry{EventKind::FormFound, std::string(text.substr(p + 5, e - (p + 5)))};
  }
  // Module entries: "Module=" name ";" path, all on one line.
  for (;;) {
    const size_t p = FindNoCase(text, "Module=", frame.next);
    if (p == std::string::npos) return std::nullopt;
    const size_t e = LineEnd(text, p + 7);
    frame.next = e + 1;
    const size_t semicolon = text.substr(0, e).find(';', p + 7);
    if (semicolon == std::string::npos) continue;
    std::string written(text.substr(semicolon + 1, e - (semicolon + 1)));
    // A NUL makes a name that no file can have: kept, so that the entry is
    // reported missing and shown as it is, not as another name.
    if (written.find('\0') != std::string::npos) {
      written.erase(0, written.find_first_not_of(' '));
      written.erase(written.find_last_not_of(' ') + 1);
      return Entry{EventKind::ModuleFound, written};
    }
    RemoveControlChars(written);
    std::string module = written;
    NormalizeSpaces(module);
    if (module == written) written.clear();
    return Entry{EventKind::ModuleFound, std::move(module), std::move(written)};
  }
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
    if (!run.seen.insert(*key).second) return false;
  }
  Frame frame{.listed = path, .resolved = *resolved};
  if (IoError e = disk_.ReadAll(*resolved, &frame.text)) {
    if (!run.log.CancelRequested())
      run.log.Stop(StopCause::ReadFailed, *resolved, e.code, e.reason);
    return false;
  }
  if (run.log.CancelRequested()) return false;
  // Neither stage looks across a line break: a large file is migrated a
  // piece at a time, looking at the stop flag in between.
  unsigned rows = 0;
  const std::optional<bool> changed =
      ApplyInPieces(frame.text, run.log.cancelFlag(), [&](std::string& piece) {
        rows |= ReplaceReferences(piece);
        ApplyTextRules(piece);
      });
  if (!changed || run.log.CancelRequested()) return false;
  for (size_t r = 0; r < guidRules_.size(); ++r) {
    if (rows & (1u << r)) {
      run.log.Report(
          ProgressEvent{.kind = EventKind::KeyReplaced, .name = GetFileNameFromPath(path)});
    }
  }
  frame.changed = *changed;
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
    if (const std::optional<FileKey> key = disk_.Key(frame.resolved)) run.seen.insert(*key);
  }
  run.log.Report(ProgressEvent{.kind = EventKind::FileConverted,
                               .name = frame.listed,
                               .path = frame.resolved,
                               .changed = frame.changed});
  run.stack.pop_back();
}

}  // namespace kv
