// What an engine run reports: typed events through a reporter, and how the
// run ended with its counts. One formatter (FormatLine) turns events into the
// progress lines, so that the windows, the command line and the tests see
// the same lines, and nobody reads a line to learn what happened.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

enum class EventKind {
  SolutionParsing,    // a solution was found and is being read
  ProjectFound,       // the check pass found and read a project of the solution
  FileParsing,        // a .NET project or listed source file is being migrated
  FormFound,          // a VB6 "Form=" entry
  ModuleFound,        // a VB6 "Module=" entry
  ClassFound,         // a VB6 "Class=" entry (followed only when all module kinds are asked for)
  UserControlFound,   // a VB6 "UserControl=" entry (likewise)
  PropertyPageFound,  // a VB6 "PropertyPage=" entry (likewise)
  UserDocumentFound,  // a VB6 "UserDocument=" entry (likewise)
  DesignerFound,      // a VB6 "Designer=" entry (likewise)
  GroupProjectFound,  // a project entry of a VB6 project group
  WebProjectSkipped,  // a solution lists a web project (a URL) that is not migrated
  KeyReplaced,        // a library reference of a VB6 file was rewritten (once per table row)
  FileMissing,        // a project or member file named by the run does not exist
  SourceMissing,      // a source file listed by a .NET project does not exist: passed over
  FileConverted,      // a file was read and migrated; `changed` tells whether its text changed
  NotModified,        // a .NET file could not be written; its old content stays
  OutsideFollowed,    // an entry names a file outside the project's folder (`path`): followed
  OutsideRefused,     // the same, refused: the entry counts as not found
  LeftAlone,          // a file named like one of ours failed a check and was not touched
                      // (`path`, and why in `detail`)
  Stopped,            // a failure ended the run; `stop` says which
  Cancelled,          // the run stopped on request
  Finished,           // the run reached its end
};

// Every stop leaves the files as they were (the run's writes are staged and
// committed only at its end), except CommitPending.
enum class StopCause {
  ReadFailed,      // `path` exists but could not be read (`error`; `detail`, if any, says why)
  WriteFailed,     // `path` could not be written (as above), before or during the commit
  Unexpected,      // something outside the file layer (`detail`)
  CommitPending,   // the commit failed at `path` where not even undoing it was possible;
                   // the next run over the project completes it
  RecoveryFailed,  // an interrupted run's recorded commit could not be completed
};

struct ProgressEvent {
  EventKind kind = EventKind::Finished;
  std::string name = {};  // what the line shows: a file name, or an entry or path as listed
  std::string path = {};  // the file on disk concerned, where there is one
  int error = 0;          // errno of a failure
  std::string detail = {};
  StopCause stop = StopCause::Unexpected;
  bool changed = false;
  // FileConverted: replacements made by each rule row, the GUID rows first and
  // then the text rows (empty when the engine does not count them).
  std::vector<size_t> ruleHits = {};
  // FileConverted: occurrences that the rules left alone on purpose because
  // they are members of VB's own objects.
  size_t keptMembers = 0;
};

// The progress line of an event, or nullopt for events that have no line.
// Every name is shown through ShowName.
std::optional<std::string> FormatLine(const ProgressEvent& event);

// What the command line also says on standard error about an event that
// leaves work undone (a listed file passed over, a file not modified), with
// the full path and the system's reason, or that reaches outside the
// project's folder; nullopt for other events.
std::optional<std::string> FormatNotice(const ProgressEvent& event);

// A name as a progress line shows it: bytes below 0x20 and 0x7F become "\x"
// and two upper-case hexadecimal digits, so that no name can split a line or
// steer a terminal; every other byte stays as it is.
std::string ShowName(std::string_view name);

// What the files of a run came to, gathered from its events.
struct RunCounts {
  size_t converted = 0;      // files read and migrated
  size_t changed = 0;        // of those, files whose text changed
  size_t missing = 0;        // "Can't find the : " lines
  size_t sourceMissing = 0;  // listed .NET sources passed over
  size_t notModified = 0;    // files that kept their old content after a failed write
  size_t webSkipped = 0;     // web projects of a solution left as they are

  void Add(const ProgressEvent& event);
  // Something the user asked for was left undone.
  bool Incomplete() const { return missing + sourceMissing + notModified + webSkipped > 0; }
};

struct RunOutcome {
  enum class Status {
    Completed,  // the run reached its end; the front end reports Finished
    Failed,     // a failure stopped it; `failure` is its last line
    Cancelled,  // stopped on request
  };
  Status status = Status::Completed;
  std::string failure = {};
  RunCounts counts = {};
};

class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void Report(const ProgressEvent& event) = 0;
};

// A reporter for those who only want the lines.
class LineReporter : public Reporter {
 public:
  void Report(const ProgressEvent& event) override {
    if (std::optional<std::string> line = FormatLine(event)) Line(*line);
  }
  virtual void Line(const std::string& line) = 0;
};

// Set from another thread to stop a run.
using CancelFlag = std::atomic<bool>;

// An engine's side of reporting: forwards each event and keeps the run's
// outcome, counts included, up to date.
class RunLog {
 public:
  RunLog(Reporter& reporter, const CancelFlag* cancel) : reporter_(reporter), cancel_(cancel) {}

  void Report(ProgressEvent event);
  // Ends the run with a failure: reports it and records its line. `reason`,
  // when given, words the failure instead of the errno's text.
  void Stop(StopCause cause, const std::string& path, int error, const std::string& reason = {});
  // The same for `outcome`, reported to `reporter`: the one place where the
  // Stopped event is made, for the engines, the transaction and the windows.
  static void Fail(Reporter& reporter, RunOutcome& outcome, StopCause cause,
                   const std::string& path, int error, const std::string& reason = {});
  // True, with the outcome marked cancelled, when a stop was asked for.
  bool CancelRequested();
  bool Ended() const { return outcome_.status != RunOutcome::Status::Completed; }

  RunOutcome& outcome() { return outcome_; }
  const CancelFlag* cancelFlag() const { return cancel_; }

 private:
  Reporter& reporter_;
  const CancelFlag* cancel_;
  RunOutcome outcome_;
};

// Reports the end of a run that returned to its front end: "Finish..." after
// a run that completed. Returns the outcome.
RunOutcome ReportEnd(Reporter& reporter, RunOutcome outcome);

}  // namespace kv
