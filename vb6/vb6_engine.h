// The VB6 project migration: a .vbp project (or each project of a .vbg group)
// and every form and module that it lists, rewritten in place for the version
// 5 libraries.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "disk.h"
#include "kept_ranges.h"
#include "leftover_scan.h"
#include "migration.h"
#include "progress.h"
#include "resolve.h"
#include "rule_matcher.h"

namespace kv {

class Vb6Migrator : public Migrator {
 public:
  explicit Vb6Migrator(Disk& disk);

  // Also follows the entries of classes, user controls, property pages, user
  // documents and designers, after the forms and modules.
  bool AllModules = false;
  // How entries are resolved: confinement to the project's folder, code page.
  ResolveOptions Entries;

  // Migrates the project file at `cFileName` (relative paths against the
  // current directory) and, recursively, the forms and modules it lists
  // (relative entries against the project's folder). A project group (.vbg)
  // is read, not written: each project it lists is migrated in turn, and a
  // file shared by several of them once. Reports its progress through
  // `reporter`; never reports Finished. `cancel`, when given, is polled
  // before each file.
  RunOutcome ConvertFile(const std::string& cFileName, Reporter& reporter,
                         const CancelFlag* cancel = nullptr) override;
  // The leftover scan's knowledge of VB6 files: EntryPaths of AllModules,
  // the members of VB's own objects (OwnMemberRanges) in every VB6 text
  // file, and ListedNotFollowed.
  ScanHooks LeftoverHooks() const override;
  // The files that the migrated project files (.vbp) list as kinds a run
  // follows only when asked for: classes, user controls, property pages, user
  // documents and designers.
  static std::set<FileKey> ListedNotFollowed(Disk& disk, const std::vector<std::string>& migrated);

  // The text stages on one file's contents, without any file access. Exposed
  // for tests, fuzzing and benchmarks.
  // Rewrites every "{old GUID}#version#" reference to "{new GUID}#5.0#";
  // returns for each GuidRules row whether it rewrote anything (bit i = row i)
  // and, when `hits` is given, adds each row's number of rewrites to it.
  // With `changed`, *changed becomes true when some byte of the text changed
  // (never set back to false); the same for ApplyTextRules.
  unsigned ReplaceReferences(std::string& text, std::vector<size_t>* hits = nullptr,
                             bool* changed = nullptr) const;
  // Applies the text rules everywhere except to the members of VB's own
  // objects (OwnMemberRanges); returns how many of those were left alone.
  // With `hits`, each text row's replacements are added to it.
  size_t ApplyTextRules(std::string& text, std::vector<size_t>* hits = nullptr,
                        bool* changed = nullptr) const;

  // The path parts of the member entries that a walk of `text` takes (with
  // `allModules`, those of the further kinds too): they name files on disk
  // and keep their bytes, so that the project still names files that exist.
  static std::vector<TextRange> EntryPathRanges(std::string_view text, bool allModules);
  // The same for the leftover scan: every file a VB6 run migrates keeps its
  // entry paths.
  static EntryPathFinder EntryPaths(bool allModules);

  const RuleTable& GuidRules() const { return guidRules_; }
  const RuleTable& TextRules() const { return textRules_.table(); }

 private:
  struct Frame;
  struct Run;
  struct Entry {
    EventKind kind;  // FormFound, ModuleFound, ClassFound, ...
    std::string path;
    bool binary = false;       // a binary companion file, never converted
    std::string written = {};  // the path before its blanks were collapsed, when they were
  };
  // Migrates one project and what it lists; `base` is the folder a relative
  // `path` is taken against.
  void WalkProject(Run& run, const std::string& path, const std::string& base);
  // Migrates every project that a group file lists.
  void WalkGroup(Run& run, const std::string& path);
  // Finds, reads and migrates a listed file and puts it on the walk's stack;
  // false when there is nothing to walk (missing, already done, a failure or
  // a stop).
  bool Open(Run& run, const std::string& path, const std::string& base,
            std::string_view written = {});
  // The file's next member entry, or nullopt when it has no more.
  static std::optional<Entry> NextEntry(Frame& frame, bool allModules);
  // Writes the file on top of the stack, if it changed, and takes it off.
  void Close(Run& run);

  Disk& disk_;
  RuleTable guidRules_;
  RuleMatcher textRules_;
};

// VB6 projects (.vbp) and project groups (.vbg), for a MigrationRequest.
extern const MigrationKind kVb6Migration;

}  // namespace kv
