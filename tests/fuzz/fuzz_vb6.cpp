// The VB6 migration on any bytes: the reference rewrite and the name rules
// against their literal versions, idempotence, and a whole run over a tree
// held in memory (every file converted at most once, the project written
// last, a second run changing nothing).
//
// Input: pieces cut at "\n====\n". The first piece is the project file; every
// form or module that an entry names exists and holds one of the pieces (the
// first included, so files may list each other or themselves).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "fuzz_util.h"
#include "own_members.h"
#include "reference.h"
#include "vb6_engine.h"

using kvfuzz::Check;
using kvfuzz::CheckEq;

namespace {

kv::RealDisk& NoDisk() {
  static kv::RealDisk disk;
  return disk;
}

// Both text stages, literally: references, then the name rows one by one on
// each stretch of text between the paths of member entries, which keep their
// bytes.
std::string LiteralStages(const std::string& input, const kv::Vb6Migrator& m, unsigned* rows) {
  std::vector<std::string> oldGuids;
  std::vector<std::string> newGuids;
  for (const kv::RuleRow& row : m.GuidRules()) {
    oldGuids.push_back(row.oldText);
    newGuids.push_back(row.newText);
  }
  std::string text = input;
  *rows = ref::ReplaceReferences(text, oldGuids, newGuids);
  std::vector<bool> kept(text.size(), false);
  // Entry paths and the members of VB's own objects keep their bytes.
  for (const auto& [begin, end] : ref::EntryPathRanges(text, m.AllModules)) {
    for (size_t i = begin; i < end; ++i) kept[i] = true;
  }
  for (const kv::TextRange& r : kv::OwnMemberRanges(text)) {
    for (size_t i = r.begin; i < r.end; ++i) kept[i] = true;
  }
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t j = i;
    while (j < text.size() && kept[j] == kept[i]) ++j;
    std::string stretch = text.substr(i, j - i);
    if (!kept[i]) {
      for (const kv::RuleRow& row : m.TextRules()) ref::ApplyRow(stretch, row.oldText, row.newText);
    }
    out += stretch;
    i = j;
  }
  return out;
}

std::string Stages(std::string text, const kv::Vb6Migrator& m, unsigned* rows) {
  const std::string input = text;
  bool changed = false;
  *rows = m.ReplaceReferences(text, nullptr, &changed);
  m.ApplyTextRules(text, nullptr, &changed);
  Check(changed == (text != input), "told changed exactly when a byte changed");
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> parts =
      kvfuzz::SplitParts(std::string_view(reinterpret_cast<const char*>(data), size));
  // Odd sizes also follow the further member kinds.
  const bool allModules = size % 2 == 1;
  kv::Vb6Migrator stages(NoDisk());
  stages.AllModules = allModules;

  for (const std::string& part : parts) {
    unsigned fastRows = 0;
    unsigned slowRows = 0;
    const std::string once = Stages(part, stages, &fastRows);
    CheckEq(once, LiteralStages(part, stages, &slowRows), "text stages against the literal ones");
    Check(fastRows == slowRows, "rows that rewrote a reference");
    unsigned againRows = 0;
    CheckEq(Stages(once, stages, &againRows), once, "a migrated file migrates to itself");
    Check(againRows == 0, "no reference is rewritten twice");
  }

  // A run over a tree where every entry names an existing file.
  kvfuzz::MemoryDisk disk(parts);
  disk.Put("/p/P.vbp", parts[0]);
  kv::Vb6Migrator migrator(disk);
  migrator.AllModules = allModules;
  kvfuzz::LineSink first;
  const kv::RunOutcome outcome = migrator.ConvertFile("/p/P.vbp", first);
  Check(outcome.status == kv::RunOutcome::Status::Completed, "a run that no disk fails completes");
  const std::vector<std::string> writes = disk.writes();
  // A file whose text does not change is not written.
  const bool projectWritten = std::find(writes.begin(), writes.end(), "/p/p.vbp") != writes.end();
  Check(!projectWritten || writes.back() == "/p/p.vbp", "the project file is written last");
  Check(std::set<std::string>(writes.begin(), writes.end()).size() == writes.size(),
        "each file is converted at most once per run");
  Check(disk.reads() >= writes.size(), "no file is written that was not read");
  const std::map<std::string, std::string> after = disk.files();
  for (const auto& [name, contents] : after) {
    if (std::find(writes.begin(), writes.end(), name) != writes.end()) {
      unsigned rows = 0;
      CheckEq(contents, Stages(disk.originals().at(name), stages, &rows),
              "each written file holds its migrated text");
    } else {
      CheckEq(contents, disk.originals().at(name), "a file not written keeps its bytes");
    }
  }

  // Running again over the migrated tree changes nothing and rewrites no key.
  disk.ClearLog();
  kvfuzz::LineSink second;
  migrator.ConvertFile("/p/P.vbp", second);
  for (const auto& [name, contents] : after) {
    CheckEq(disk.files().at(name), contents, "a second run changes nothing");
  }
  if (disk.files().size() == after.size()) {  // no name that only the migration spelled
    for (const std::string& line : second.lines) {
      Check(!line.starts_with("Replacing key in ["), "a second run rewrites no reference");
    }
  }
  return 0;
}
