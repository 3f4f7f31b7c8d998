// The report of a run: a reporter that records what the engine's events say
// (each file, what the rules did there, what was missing or not modified,
// the failure that stopped the run), the leftovers found after it, and the
// two ways of telling it: a summary for people and a JSON record for
// programs (its schema: docs/run-record.md). The command line and the
// windows use the same record and the same wording.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "disk.h"
#include "leftover_scan.h"
#include "progress.h"
#include "rules.h"

namespace kv {

// Hands every event to two reporters, `first` first.
class TeeReporter : public Reporter {
 public:
  TeeReporter(Reporter& first, Reporter& second) : first_(first), second_(second) {}
  void Report(const ProgressEvent& event) override {
    first_.Report(event);
    second_.Report(event);
  }

 private:
  Reporter& first_;
  Reporter& second_;
};

struct FileRecord {
  enum class Status {
    Migrated,       // read and migrated (`changed` tells whether its text changed)
    Missing,        // named by the project, not found
    SourceMissing,  // a listed .NET source not found, passed over
    NotModified,    // could not be written; keeps its old content
  };
  Status status = Status::Migrated;
  std::string name = {};  // as listed, or as the progress line shows it
  std::string path = {};  // on disk, where there is one
  bool changed = false;
  std::vector<size_t> ruleHits = {};  // per rule row: GUID rows, then text rows
  size_t keptMembers = 0;             // VB's own members left alone
  int error = 0;                      // NotModified: why
};

class RunRecord : public Reporter {
 public:
  // `project`: the project or solution path the run was started with.
  explicit RunRecord(std::string project);

  void Report(const ProgressEvent& event) override;

  // The folders to search for leftovers: the project's and every migrated
  // file's; and the files migrated.
  ScanRequest ScanFor(Disk& disk) const;
  // Runs the leftover scan and keeps its findings.
  void Scan(Disk& disk, ScanHooks hooks = {});

  // A run that wrote nothing (a dry run, a check, a scan): the summary says so.
  void SetPreview(bool preview) { preview_ = preview; }
  bool preview() const { return preview_; }

  const std::string& project() const { return project_; }
  const std::vector<FileRecord>& files() const { return files_; }
  const RunCounts& counts() const { return counts_; }
  const std::vector<Leftover>& leftovers() const { return leftovers_; }
  bool scanned() const { return scanned_; }
  // "completed", "failed" or "cancelled"; `failure` is the stopping line.
  const std::string& status() const { return status_; }
  const std::string& failure() const { return failure_; }
  // The notices of files named like ours that the run left alone.
  const std::vector<std::string>& leftAlone() const { return leftAlone_; }
  size_t LeftoverCount(LeftoverReason reason) const;
  size_t BlockingLeftovers() const;

 private:
  std::string project_;
  std::vector<FileRecord> files_;
  RunCounts counts_;
  std::vector<Leftover> leftovers_;
  bool scanned_ = false;
  bool preview_ = false;
  std::string status_ = "completed";
  std::string failure_;
  std::vector<std::string> leftAlone_;
};

// Why a leftover was left, as the summary words it.
const char* ReasonText(LeftoverReason reason);
// One leftover: "path:line:column: text (reason)"; a path inside `base` (a
// folder) is shown relative to it.
std::string FormatLeftover(const Leftover& leftover, std::string_view base = {});

// The summary of a run, a few lines: files migrated, changed and unchanged,
// missing and not modified, then the leftovers by reason. Each line ends in
// a newline.
std::string FormatSummary(const RunRecord& record);
// The summary followed by the leftovers, at most `maxLeftovers` of them and
// then how many more there are. Paths inside `base` are shown relative to it.
std::string FormatReport(const RunRecord& record, size_t maxLeftovers, std::string_view base = {});

// One line for each file named like ours that the run left alone (what the
// command line says on standard error as it goes; the windows' report).
std::string FormatLeftAlone(const RunRecord& record);

// Whether a project is done: the run completed, every file was found and
// written, nothing blocking is left over and, for a check, no file would
// change.
bool Done(const RunRecord& record, bool check);
// One line saying so, and if not, why.
std::string FormatVerdict(const RunRecord& record, bool check);

// The JSON record of a run (docs/run-record.md). `rows` names the rule rows
// that FileRecord::ruleHits counts: the GUID rows, then the text rows.
std::string RunRecordJson(const RunRecord& record, const RuleTable& rows);
// A JSON string. Bytes that are not valid UTF-8 (names in a Windows code
// page) are taken as Latin-1, one character per byte.
std::string JsonString(std::string_view s);
// BuildGuidRules then BuildTextRules, the order both engines count in.
RuleTable AllRuleRows();

}  // namespace kv
