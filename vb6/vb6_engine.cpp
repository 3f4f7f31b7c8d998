#include "vb6_engine.h"

#include <string_view>

#include "general_functions.h"
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

struct Vb6Migrator::Run {
  ProgressSink& sink;
  const CancelFlag* cancel;
  std::string baseFolder;  // folder of the project the run started from
  std::set<FileKey> seen;  // files converted, or being converted, in this run
  RunOutcome outcome;
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

RunOutcome Vb6Migrator::ConvertFile(const std::string& cFileName, ProgressSink& sink,
                                    const CancelFlag* cancel) {
  Run run{sink, cancel, std::string(), {}, {}};
  // Entries of the project resolve against the folder of the project file
  // itself, wherever the process happens to be.
  if (const std::optional<std::string> top = disk_.Find(cFileName, "")) {
    run.baseFolder = GetFolderFromPath(*top);
  }
  ConvertOne(run, cFileName, "");
  return run.outcome;
}

bool Vb6Migrator::ConvertOne(Run& run, const std::string& path, const std::string& base) {
  if (run.cancel && run.cancel->load()) {
    run.outcome.status = RunOutcome::Status::Cancelled;
    return false;
  }
  const std::optional<std::string> resolved = disk_.Find(path, base);
  if (!resolved) {
    run.sink.Line(std::string(kMissingPrefix) + path);
    return true;
  }
  // Each file at most once per run: a form that lists itself, or two entries
  // naming one file, convert it once.
  if (const std::optional<FileKey> key = disk_.Key(*resolved)) {
    if (!run.seen.insert(*key).second) return true;
  }
  auto fail = [&](std::string line) {
    run.sink.Line(line);
    run.outcome = RunOutcome{RunOutcome::Status::Failed, std::move(line)};
    return false;
  };

  std::string text;
  if (IoError e = disk_.ReadAll(*resolved, &text)) return fail(ReadFailureLine(*resolved, e.code));

  const unsigned rows = ReplaceReferences(text);
  for (size_t r = 0; r < guidRules_.size(); ++r) {
    if (rows & (1u << r)) run.sink.Line("Replacing key in [" + GetFileNameFromPath(path) + "]");
  }
  ApplyTextRules(text);

  // Form entries: "Form=" and the path up to the end of its line, as written.
  for (size_t start = 0;;) {
    const size_t p = FindNoCase(text, "Form=", start);
    if (p == std::string::npos) break;
    if (p >= 4 && std::string_view(text).substr(p - 4, 9) == "IconForm=") {
      start = p + 6;
      continue;
    }
    const size_t e = LineEnd(text, p + 5);
    const std::string form = text.substr(p + 5, e - (p + 5));
    run.sink.Line("Found Form [" + form + "]");
    if (!ConvertOne(run, form, run.baseFolder)) return false;
    start = e + 1;
  }

  // Module entries: "Module=" name ";" path, all on one line.
  for (size_t start = 0;;) {
    const size_t p = FindNoCase(text, "Module=", start);
    if (p == std::string::npos) break;
    const size_t e = LineEnd(text, p + 7);
    const size_t semicolon = text.find(';', p + 7);
    if (semicolon == std::string::npos || semicolon >= e) {
      start = e + 1;
      continue;
    }
    std::string module = text.substr(semicolon + 1, e - (semicolon + 1));
    NormalizeSpaces(module);
    run.sink.Line("Found Module [" + module + "]");
    if (!ConvertOne(run, module, run.baseFolder)) return false;
    start = e + 1;
  }

  if (IoError e = disk_.WriteAll(*resolved, text)) return fail(WriteFailureLine(*resolved, e.code));
  // The replaced file is a new inode: remember it too, so that a later entry
  // naming the same file still counts as done.
  if (const std::optional<FileKey> key = disk_.Key(*resolved)) run.seen.insert(*key);
  return true;
}

}  // namespace kv
