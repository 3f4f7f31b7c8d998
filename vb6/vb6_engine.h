// The VB6 project migration: a .vbp project and every form and module that it
// lists, rewritten in place for the version 5 libraries.
#pragma once

#include <set>
#include <string>

#include "disk.h"
#include "progress.h"
#include "rules.h"

namespace kv {

class Vb6Migrator {
 public:
  explicit Vb6Migrator(Disk& disk);

  // Migrates the project file at `cFileName` (relative paths against the
  // current directory) and, recursively, the forms and modules it lists
  // (relative entries against the project's folder). Reports the progress
  // lines through `sink`; never adds "Finish...". `cancel`, when given, is
  // polled before each file.
  RunOutcome ConvertFile(const std::string& cFileName, ProgressSink& sink,
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
  struct Run;
  bool ConvertOne(Run& run, const std::string& path, const std::string& base);

  Disk& disk_;
  RuleTable guidRules_;
  RuleMatcher textRules_;
};

}  // namespace kv
