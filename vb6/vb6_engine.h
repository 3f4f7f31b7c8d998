// The VB6 project migration: a .vbp project and every form and module that it
// lists, rewritten in place for the version 5 libraries.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "disk.h"
#include "progress.h"
#include "resolve.h"
#include "rule_matcher.h"

namespace kv {

class Vb6Migrator {
 public:
  explicit Vb6Migrator(Disk& disk);

  // How entries are resolved: confinement to the project's folder, code page.
  ResolveOptions Entries;

  // Migrates the project file at `cFileName` (relative paths against the
  // current directory) and, recursively, the forms and modules it lists
  // (relative entries against the project's folder). Reports its progress
  // through `reporter`; never reports Finished. `cancel`, when given, is
  // polled before each file and between the stages of each file.
  RunOutcome ConvertFile(const std::string& cFileName, Reporter& reporter,
                         const CancelFlag* cancel = nullptr);

  // The text stages on one file's contents, without any file access. Exposed
  // for tests, fuzzing and benchmarks.
  // Rewrites every "{old GUID}#version#" reference to "{new GUID}#5.0#";
  // returns for each GuidRules row whether it rewrote anything (bit i = row i).
  unsigned ReplaceReferences(std::string& text) const;
  void ApplyTextRules(std::string& text) const;

  const RuleTable& GuidRules() const { return guidRules_; }
  const RuleTable& TextRules() const { return textRules_.table(); }

 private:
  struct Frame;
  struct Run;
  struct Entry {
    EventKind kind;  // FormFound or ModuleFound
    std::string path;
    std::string written = {};  // the path before its blanks were collapsed, when they were
  };
  // Finds, reads and migrates a listed file and puts it on the walk's stack;
  // false when there is nothing to walk (missing, already done, a failure or
  // a stop).
  bool Open(Run& run, const std::string& path, const std::string& base,
            std::string_view written = {});
  // The file's next form or module entry, or nullopt when it has no more.
  static std::optional<Entry> NextEntry(Frame& frame);
  // Writes the file on top of the stack, if it changed, and takes it off.
  void Close(Run& run);

  Disk& disk_;
  RuleTable guidRules_;
  RuleMatcher textRules_;
};

}  // namespace kv
