// The .NET solution migration: every project that a .sln lists and every
// .cs, .vb and .resx file that each project lists, rewritten in place.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "disk.h"
#include "kept_ranges.h"
#include "leftover_scan.h"
#include "progress.h"
#include "resolve.h"
#include "rule_matcher.h"

namespace kv {

class DotNetMigrator {
 public:
  explicit DotNetMigrator(Disk& disk);

  // Target version texts, used exactly as given (empty or long alike).
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
                         const CancelFlag* cancel = nullptr);

  // The text migration of one project or source file: GUIDs, then names, then
  // the version values of every version 5 reference. Leaves the result in
  // `cfile` and returns it.
  // With `ruleHits`, each rule row's replacements (GuidRules rows, then
  // TextRules rows) are added to it. With `changed`, *changed becomes true
  // when some byte of the text changed (never set back to false).
  std::string& ConvertDotNetFile(std::string& cfile, std::vector<size_t>* ruleHits = nullptr,
                                 bool* changed = nullptr) const;
  std::string& ConvertDotNetFileVersion(std::string& cfile, bool* changed = nullptr) const;
  // The migration of a project file: ConvertDotNetFile, except that the
  // paths naming its member files keep their bytes, and then the versions of
  // COM references written as elements (ConvertComReferenceVersions).
  std::string& ConvertDotNetProject(std::string& cfile, std::vector<size_t>* ruleHits = nullptr,
                                    bool* changed = nullptr) const;
  // In each <COMReference> ... </COMReference> element that holds a version 5
  // GUID, the contents of its first <VersionMajor> and <VersionMinor> become
  // the target texts.
  std::string& ConvertComReferenceVersions(std::string& cfile, bool* changed = nullptr) const;

  // Parsing of solution and project texts.
  static std::vector<std::string> GetSolutionProjects(std::string_view cfile);
  // A project path of a solution as the run looks it up: `path` as
  // GetSolutionProjects gives it, and `written`, the path before its runs of
  // blanks were collapsed (empty when the same). A path that holds a NUL
  // keeps it, trimmed of spaces only: it names no file and is reported as
  // written.
  struct SolutionEntry {
    std::string path;
    std::string written = {};
    friend bool operator==(const SolutionEntry&, const SolutionEntry&) = default;
  };
  static std::vector<SolutionEntry> GetSolutionEntries(std::string_view cfile);
  static std::vector<std::string> GetProjectFiles(std::string_view cfile);
  static std::string GetFileNameFromFileElement(std::string_view cfile);
  // The files of a project that a run migrates, in document order: each
  // <File> element's RelPath, or its Link when it has one (the file lives
  // where Link says), and the Include of each Compile, EmbeddedResource,
  // Content and None item (a value with a wildcard or a ";" left out); of
  // those, the ones that end in .cs, .vb or .resx.
  static std::vector<std::string> ListMemberFiles(std::string_view cfile);
  // The values that name member files (RelPath and Link of every <File>
  // element, Include of every item above): they keep their bytes.
  static std::vector<TextRange> MemberPathRanges(std::string_view cfile);
  // The same for the leftover scan: project files keep their member paths;
  // source files have none.
  static EntryPathFinder EntryPaths();

  const RuleTable& GuidRules() const { return guidRules_; }
  const RuleTable& TextRules() const { return textRules_; }

 private:
  void ConvertSolution(const std::string& cfilename, RunLog& log);

  Disk& disk_;
  RuleTable guidRules_;
  RuleTable textRules_;
  RuleMatcher allRules_;      // GuidRules then TextRules, applied in one scan
  RuleMatcher versionGuids_;  // finds the version 5 GUIDs (one scan for all of them)

  // A version key, up to and including the opening quote of its value, and
  // the text that the whole value becomes.
  struct VersionKey {
    std::string_view key;
    const std::string& value;
  };
  // VersionMajor, then VersionMinor.
  std::array<VersionKey, 2> VersionKeys() const;

  // The version rewrite done literally: every value rewritten in place, one
  // GUID after the other, row by row. Used when a planned rewrite would
  // remove a GUID or a key that another rewrite relies on.
  void ConvertVersionsOneByOne(std::string& cfile) const;
  // The same, one search and one rewrite after the other on the text as it
  // changes; for target texts that could themselves form a GUID or a key.
  void ConvertVersionsLiterally(std::string& cfile) const;
};

}  // namespace kv
