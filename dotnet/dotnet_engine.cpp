#include "dotnet_engine.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <utility>

#include "cancel.h"
#include "general_functions.h"
#include "sdk_items.h"
#include "solution_parsing.h"
#include "string_functions.h"
#include "version_rewrite.h"

namespace kv {

namespace {
constexpr size_t npos = std::string_view::npos;

// A solution's path of a web project: an address, not a file.
bool IsWebPath(std::string_view path) {
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (path.size() >= scheme.size() && EqualsNoCase(path.substr(0, scheme.size()), scheme)) {
      return true;
    }
  }
  return false;
}

// Where a web project is under `root`: the part of its address after the
// host, relative to `root`.
std::string WebProjectPath(std::string_view address, std::string_view root) {
  const size_t host = address.find("://") + 3;
  size_t slash = host;
  while (slash < address.size() && !IsPathSeparator(address[slash])) ++slash;
  const std::string_view rest = slash < address.size() ? address.substr(slash + 1) : "";
  std::string path(root);
  if (!path.empty() && !IsPathSeparator(path.back())) path += '/';
  path += rest;
  return path;
}

RuleTable Concat(RuleTable first, const RuleTable& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// A listed path as the lines name it: joined to the folder it is listed
// against, unless it is absolute.
std::string Listed(const std::string& folder, const std::string& entry) {
  return NativePath(entry).starts_with('/') ? entry : folder + entry;
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

// The version keys as rows that keep their text, for their scan.
RuleTable KeyRows() {
  RuleTable rows;
  for (const std::string_view key : VersionKeyTexts())
    rows.push_back(RuleRow{std::string(key), std::string(key)});
  return rows;
}

}  // namespace

DotNetMigrator::DotNetMigrator(Disk& disk)
    : disk_(disk),
      guidRules_(BuildGuidRules()),
      textRules_(BuildTextRules()),
      allRules_(Concat(guidRules_, textRules_)),
      versionGuids_(NewGuidsOf(guidRules_)),
      versionKeys_(KeyRows()) {}

// ---------------------------------------------------------------------------
// Text migration

std::string& DotNetMigrator::ConvertDotNetFile(std::string& cfile, std::vector<size_t>* ruleHits,
                                               bool* changed) const {
  // The GUID rows come before the name rows; one scan over all of them gives
  // what applying them one after the other would.
  allRules_.Apply(cfile, ruleHits, changed);
  return ConvertDotNetFileVersion(cfile, changed);
}

bool DotNetMigrator::PlanDotNetFile(std::string_view cfile, std::vector<TextEdit>* edits,
                                    std::vector<size_t>* ruleHits, bool* changed) const {
  const size_t first = edits->size();
  std::vector<size_t> hits(allRules_.table().size());
  bool planChanged = false;
  if (!allRules_.Plan(cfile, edits, &hits, &planChanged)) return false;
  // The version stage rewrites only values that follow a version key: where
  // the migrated text holds none, it has nothing to do.
  size_t longest = 0;
  for (const RuleRow& row : versionKeys_.table()) longest = std::max(longest, row.oldText.size());
  const auto holdsKey = [&](std::string_view text) {
    // A large text in two halves at the same time, the second starting
    // early enough to see a key across the split.
    if (text.size() < (size_t{16} << 20)) return versionKeys_.FindNext(text, 0) != npos;
    const size_t half = text.size() / 2;
    bool first = false, second = false;
    InParallel([&] { first = versionKeys_.FindNext(text.substr(0, half), 0) != npos; },
               [&] { second = versionKeys_.FindNext(text.substr(half - longest), 0) != npos; });
    return first || second;
  };
  if (EditedText{cfile, std::span<const TextEdit>(*edits).subspan(first)}.MayHold(holdsKey,
                                                                                  longest)) {
    edits->resize(first);
    return false;
  }
  if (ruleHits) {
    if (ruleHits->size() < hits.size()) ruleHits->resize(hits.size());
    for (size_t r = 0; r < hits.size(); ++r) (*ruleHits)[r] += hits[r];
  }
  if (changed && planChanged) *changed = true;
  return true;
}

std::string& DotNetMigrator::ConvertDotNetProject(std::string& cfile, std::vector<size_t>* ruleHits,
                                                  bool* changed) const {
  ApplyOutside(allRules_, cfile, MemberPathRanges(cfile), ruleHits, changed);
  ConvertDotNetFileVersion(cfile, changed);
  return ConvertComReferenceVersions(cfile, changed);
}

std::string& DotNetMigrator::ConvertDotNetFileVersion(std::string& cfile, bool* changed) const {
  return RewriteVersions(Versions(), cfile, changed);
}

std::string& DotNetMigrator::ConvertComReferenceVersions(std::string& cfile, bool* changed) const {
  return RewriteComReferenceVersions(Versions(), cfile, changed);
}

VersionTargets DotNetMigrator::Versions() const {
  return VersionTargets{guidRules_, versionGuids_, NewVersionMajor, NewVersionMinor};
}

EntryPathFinder DotNetMigrator::EntryPaths() {
  return [](std::string_view path, std::string_view text) {
    if (EndsWithNoCase(path, ".csproj") || EndsWithNoCase(path, ".vbproj")) {
      return MemberPathRanges(text);
    }
    return std::vector<TextRange>{};
  };
}

ScanHooks DotNetMigrator::LeftoverHooks() const { return ScanHooks{.entryPaths = EntryPaths()}; }

// ---------------------------------------------------------------------------
// The run over a solution

// One run over a solution: the solution step, then the three passes. Each
// returns false when the run has ended: a stop, a project that is not there,
// a file that cannot be read.
class DotNetMigrator::SolutionRun {
 public:
  SolutionRun(DotNetMigrator& migrator, RunLog& log)
      : m_(migrator), log_(log), resolver_(migrator.disk_, migrator.Entries, log) {}

  void Run(const std::string& cfilename) {
    std::vector<SolutionEntry> projects;
    if (!ReadSolution(cfilename, projects)) return;
    if (!CheckProjects(projects)) return;
    if (!ConvertProjects()) return;
    ConvertSources();
  }

 private:
  // A project of the solution, found by the check.
  struct Project {
    std::string path;
    std::string resolved;
    NameList files;
    SdkItems sdk;  // what an SDK-style project compiles without listing it
  };

  void Report(EventKind kind, std::string name, std::string path = std::string()) {
    log_.Report(ProgressEvent{.kind = kind, .name = std::move(name), .path = std::move(path)});
  }

  // Solution step: finds and reads the solution, and lists its projects.
  bool ReadSolution(const std::string& cfilename, std::vector<SolutionEntry>& projects) {
    if (log_.CancelRequested()) return false;
    const std::optional<std::string> solution = m_.disk_.Find(cfilename, "");
    if (!solution) {
      Report(EventKind::FileMissing, cfilename);
      return false;
    }
    Report(EventKind::SolutionParsing, GetFileNameFromPath(cfilename), *solution);
    if (IoError e = m_.disk_.ReadAll(*solution, &text_)) {
      if (!log_.CancelRequested()) log_.Stop(StopCause::ReadFailed, *solution, e.code, e.reason);
      return false;
    }
    if (log_.CancelRequested()) return false;
    projects = GetSolutionEntries(text_);
    // Names are shown joined to the folder as the solution was typed; files
    // are looked up from the folder where the solution was found, so that an
    // absolute entry stays absolute however the solution was named.
    folder_ = GetFolderFromPath(cfilename);
    solutionFolder_ = GetFolderFromPath(*solution);
    resolver_.SetRoot(solutionFolder_);
    if (!m_.WebRoot.empty()) resolver_.AddRoot(m_.WebRoot);
    return true;
  }

  // Check pass: every project must be there before anything is written. A
  // web project is an address, not a file: it is passed over (or found under
  // the web root), and the others go on.
  bool CheckProjects(const std::vector<SolutionEntry>& projects) {
    for (const SolutionEntry& listed : projects) {
      if (log_.CancelRequested()) return false;
      const std::string& entry = listed.path;
      std::string path = Listed(folder_, entry);
      std::optional<std::string> resolved;
      if (IsWebPath(entry)) {
        if (m_.WebRoot.empty()) {
          Report(EventKind::WebProjectSkipped, entry);
          continue;
        }
        // The address is the solution's text, not the user's: taken under
        // the web root, it may still climb out of it ("/../"), which is
        // checked like any other entry (the web root is one more folder that
        // entries may lie in).
        path = WebProjectPath(entry, m_.WebRoot);
        resolved = resolver_.FindAt(path, entry);
      } else {
        resolved = resolver_.Find(entry, solutionFolder_, listed.written);
      }
      if (!resolved) {
        Report(EventKind::FileMissing, path);
        return false;
      }
      if (IoError e = m_.disk_.ReadAll(*resolved, &text_)) {
        if (!log_.CancelRequested()) log_.Stop(StopCause::ReadFailed, *resolved, e.code, e.reason);
        return false;
      }
      found_.push_back(Project{path, *resolved, ListMemberFiles(text_), ReadSdkItems(text_)});
      Report(EventKind::ProjectFound, GetFileNameFromPath(path), *resolved);
    }
    return true;
  }

  // Project pass: each project file.
  bool ConvertProjects() {
    for (const Project& project : found_) {
      if (log_.CancelRequested()) return false;
      Report(EventKind::FileParsing, GetFileNameFromPath(project.path), project.resolved);
      if (!Convert(project.path, project.resolved, true)) return false;
    }
    return true;
  }

  // Source pass: each project's files, relative to that project's folder.
  bool ConvertSources() {
    for (const Project& project : found_) {
      const std::string projectFolder = GetFolderFromPath(project.path);
      const std::string foundFolder = GetFolderFromPath(project.resolved);
      std::set<FileKey> listed;
      for (size_t i = 0; i < project.files.size(); ++i) {
        if (log_.CancelRequested()) return false;
        const std::string entry(project.files[i]);
        const std::string path = Listed(projectFolder, entry);
        Report(EventKind::FileParsing, GetFileNameFromPath(path));
        const std::optional<std::string> resolved = resolver_.Find(entry, foundFolder);
        if (!resolved) {
          Report(EventKind::SourceMissing, path);
          continue;
        }
        if (const std::optional<FileKey> key = m_.disk_.Key(*resolved)) listed.insert(*key);
        if (!Convert(path, *resolved, false)) return false;
      }
      // An SDK-style project also compiles the files below its folder that
      // it does not list; they come after the listed ones, in path order.
      for (const std::string& entry :
           SdkDefaultFiles(m_.disk_, foundFolder, project.resolved, project.sdk, listed)) {
        if (log_.CancelRequested()) return false;
        const std::string path = Listed(projectFolder, entry);
        Report(EventKind::FileParsing, GetFileNameFromPath(path));
        const std::optional<std::string> resolved = resolver_.FindListed(entry, foundFolder);
        if (!resolved) {
          Report(EventKind::SourceMissing, path);
          continue;
        }
        if (!Convert(path, *resolved, false)) return false;
      }
    }
    return true;
  }

  // Reads, migrates and writes back one project or source file. A file that
  // cannot be written keeps its old bytes and the run goes on; one that
  // cannot be read ends the run. A file whose text does not change is left
  // as it is.
  // A large source file stays in the file layer's mapping: its replacements
  // are planned on it and the migrated text written from it and them, never
  // built in memory of its own.
  bool Convert(const std::string& path, const std::string& resolved, bool project) {
    mapped_.Reset();
    IoError e = project ? m_.disk_.ReadAll(resolved, &text_)
                        : m_.disk_.ReadMapped(resolved, &text_, &mapped_);
    if (e) {
      if (!log_.CancelRequested()) log_.Stop(StopCause::ReadFailed, resolved, e.code, e.reason);
      return false;
    }
    if (log_.CancelRequested()) return false;
    std::vector<size_t> hits(m_.allRules_.table().size());
    bool changed = false;
    edits_.clear();
    const bool planned =
        mapped_.mapped() && m_.PlanDotNetFile(mapped_.view(), &edits_, &hits, &changed);
    if (mapped_.mapped() && !planned) {
      text_.assign(mapped_.view());
      mapped_.Borrow(text_);
    }
    // A mapped file cut short meanwhile read as zeros past its new end.
    const auto lost = [&] {
      if (mapped_.Intact()) return false;
      log_.Stop(StopCause::ReadFailed, resolved, EIO, "the file shrank while it was read");
      return true;
    };
    if (lost()) return false;
    if (!planned && project) m_.ConvertDotNetProject(text_, &hits, &changed);
    if (!planned && !project) m_.ConvertDotNetFile(text_, &hits, &changed);
    if (log_.CancelRequested()) return false;
    if (changed) {
      e = planned ? m_.disk_.WriteEdited(resolved, EditedText{mapped_.view(), edits_})
                  : m_.disk_.WriteAll(resolved, text_);
      if (lost()) return false;
      if (e) {
        if (log_.CancelRequested()) return false;
        log_.Report(ProgressEvent{.kind = EventKind::NotModified,
                                  .name = GetFileNameFromPath(path),
                                  .path = resolved,
                                  .error = e.code,
                                  .detail = e.reason});
        return true;
      }
    }
    mapped_.Reset();
    log_.Report(ProgressEvent{.kind = EventKind::FileConverted,
                              .name = path,
                              .path = resolved,
                              .changed = changed,
                              .ruleHits = std::move(hits)});
    return true;
  }

  DotNetMigrator& m_;
  RunLog& log_;
  EntryResolver resolver_;
  std::string folder_;          // the solution's folder, as it was named
  std::string solutionFolder_;  // the same, as found on disk
  std::vector<Project> found_;
  std::string text_;             // the text of the file at hand
  MappedText mapped_;            // or that text in the file layer's mapping
  std::vector<TextEdit> edits_;  // the replacements planned on the mapping
};

RunOutcome DotNetMigrator::ConvertFile(const std::string& cfilename, Reporter& reporter,
                                       const CancelFlag* cancel) {
  RunLog log(reporter, cancel);
  // A stop asked for inside a file's work leaves that work where it is; the
  // file is not written and the run ends as cancelled.
  const CancelScope scope(cancel);
  try {
    SolutionRun(*this, log).Run(cfilename);
  } catch (const RunCancelled&) {
  }
  // A stop asked for during the last file still stops the run.
  if (!log.Ended()) log.CancelRequested();
  return log.outcome();
}

const MigrationKind kDotNetMigration = {
    .takes = [](std::string_view path) { return EndsWithNoCase(path, ".sln"); },
    .make = [](Disk& disk, const MigrationRequest& request) -> std::unique_ptr<Migrator> {
      auto migrator = std::make_unique<DotNetMigrator>(disk);
      migrator->Entries = request.entries;
      if (request.webRoot) migrator->WebRoot = *request.webRoot;
      if (request.major) migrator->NewVersionMajor = *request.major;
      if (request.minor) migrator->NewVersionMinor = *request.minor;
      return migrator;
    },
};

}  // namespace kv
