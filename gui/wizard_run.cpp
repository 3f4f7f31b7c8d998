#include "wizard_run.h"

#include <exception>
#include <utility>

namespace kv::gui {

RunOutcome RunProject(const ProjectRun& run, Reporter& reporter, const CancelFlag& cancel,
                      RunRecord& record, Disk& disk) {
  TeeReporter both(reporter, record);
  RunOutcome outcome;
  auto stopped = [&](std::string why) {
    const ProgressEvent event{.kind = EventKind::Stopped, .detail = std::move(why)};
    outcome = RunOutcome{RunOutcome::Status::Failed, FormatLine(event).value_or(""), {}};
    both.Report(event);
  };
  try {
    if (run.given) {
      outcome = ReportEnd(both, run.job(*run.given, both, &cancel));
    } else {
      outcome = ReportEnd(both, RunAsTransaction(run.path, both, &cancel, run.job, run.options));
    }
  } catch (const std::exception& e) {
    stopped(e.what());
    return outcome;
  } catch (...) {
    stopped("unexpected error");
    return outcome;
  }
  // Only a run that completed reached every file that its project lists.
  // A stop during the scan leaves it unfinished: no report is shown.
  if (outcome.status == RunOutcome::Status::Completed && !cancel.load()) {
    const CancelScope scope(&cancel);
    try {
      record.Scan(disk, run.entryPaths);
    } catch (const RunCancelled&) {
    }
  }
  return outcome;
}

}  // namespace kv::gui
