// The .NET solution migration: every project that a .sln lists and every
// .cs, .vb and .resx file that each project lists, rewritten in place.
#pragma once

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
#include "version_rewrite.h"

namespace kv {

class DotNetMigrator : public Migrator {
 public:
  explicit DotNetMigrator(Disk& disk);

  // Target version texts, used exactly as given (empty or long alike); see
  // VersionTextAllowed.
  std::string NewVersionMajor = "5";
  std::string NewVersionMinor = "0";
  // How listed paths are resolved: confinement to the solution's folder, code page.
  ResolveOptions Entries;

  // Where the solution's web projects (paths that begin with http:// or
  // https://) are on this machine: the part of the address after the host,
  // taken relative to this folder. Empty: web projects are passed over.
  std::string WebRoot;

  // Migrates the solution at `cfilename` (relative paths against the current
  // directory). Reports its progress through `reporter`; never reports
  // Finished. The solution file itself is never written. `cancel`, when
  // given, is polled before each file and between the stages of each file.
  RunOutcome ConvertFile(const std::string& cfilename, Reporter& reporter,
                         const CancelFlag* cancel = nullptr) override;
  // The leftover scan's knowledge of .NET files (EntryPaths).
  ScanHooks LeftoverHooks() const override;

  // The text migration of one project or source file: GUIDs, then names, then
  // the version values of every version 5 reference. Leaves the result in
  // `cfile` and returns it.
  // With `ruleHits`, each rule row's replacements (GuidRules rows, then
  // TextRules rows) are added to it. With `changed`, *changed becomes true
  // when some byte of the text changed (never set back to false).
  std::string& ConvertDotNetFile(std::string& cfile, std::vector<size_t>* ruleHits = nullptr,
                                 bool* changed = nullptr) const;
  std::string& ConvertDotNetFileVersion(std::string& cfile, bool* changed = nullptr) const;
  // ConvertDotNetFile planned on a text left as it is (a mapped file): its
  // replacements are added to `edits`, in text order, their new texts held
  // by this object; `ruleHits` and `changed` as above. False, with nothing
  // added, for a text only ConvertDotNetFile gives right: one where the
  // migrated text may hold a version key (the version stage then has work),
  // or where the rows' matches overlap.
  bool PlanDotNetFile(std::string_view cfile, std::vector<TextEdit>* edits,
                      std::vector<size_t>* ruleHits = nullptr, bool* changed = nullptr) const;
  // The migration of a project file: ConvertDotNetFile, except that the
  // paths naming its member files keep their bytes, and then the versions of
  // COM references written as elements (ConvertComReferenceVersions).
  std::string& ConvertDotNetProject(std::string& cfile, std::vector<size_t>* ruleHits = nullptr,
                                    bool* changed = nullptr) const;
  // In each <COMReference> ... </COMReference> element that holds a version 5
  // GUID, the contents of its first <VersionMajor> and <VersionMinor> become
  // the target texts.
  std::string& ConvertComReferenceVersions(std::string& cfile, bool* changed = nullptr) const;

  // For the leftover scan, the values of a text that name files and keep
  // their bytes: project files keep their member paths (MemberPathRanges);
  // source files have none.
  static EntryPathFinder EntryPaths();

  const RuleTable& GuidRules() const { return guidRules_; }
  const RuleTable& TextRules() const { return textRules_; }

 private:
  class SolutionRun;

  // The version targets of this migrator, for the version rewrite.
  VersionTargets Versions() const;

  Disk& disk_;
  RuleTable guidRules_;
  RuleTable textRules_;
  RuleMatcher allRules_;      // GuidRules then TextRules, applied in one scan
  RuleMatcher versionGuids_;  // finds the version 5 GUIDs (one scan for all of them)
  RuleMatcher versionKeys_;   // finds the version keys (letter case ignored)
};

// .NET solutions (.sln), for a MigrationRequest.
extern const MigrationKind kDotNetMigration;

}  // namespace kv
