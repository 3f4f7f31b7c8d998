#include "transaction_run.h"

#include "general_functions.h"

namespace kv {

std::string JournalFolderOf(const std::string& projectPath) {
  const std::optional<std::string> found = RealDisk().Find(projectPath, "");
  const std::string folder = GetFolderFromPath(found ? *found : NativePath(projectPath));
  return folder.empty() ? "." : folder;
}

RunOutcome RunAsTransaction(const std::string& projectPath, Reporter& reporter,
                            const CancelFlag* cancel, const EngineJob& job,
                            Transaction::Options options) {
  auto stop = [&](RunOutcome outcome, StopCause cause, const FileFailure& failure) {
    const ProgressEvent event{.kind = EventKind::Stopped,
                              .path = failure.path,
                              .error = failure.error.code,
                              .detail = failure.error.reason,
                              .stop = cause};
    outcome.status = RunOutcome::Status::Failed;
    outcome.failure = FormatLine(event).value_or(std::string());
    reporter.Report(event);
    return outcome;
  };
  options.journalFolder = JournalFolderOf(projectPath);
  if (!options.dryRun) {
    if (FileFailure f = Transaction::Recover(options.journalFolder, options.hook)) {
      return stop(RunOutcome{}, StopCause::RecoveryFailed, f);
    }
  }
  Transaction transaction(std::move(options));
  RunOutcome outcome = job(transaction, reporter, cancel);
  if (outcome.status == RunOutcome::Status::Completed && cancel && cancel->load()) {
    outcome.status = RunOutcome::Status::Cancelled;
    reporter.Report(ProgressEvent{.kind = EventKind::Cancelled});
  }
  if (outcome.status != RunOutcome::Status::Completed) {
    transaction.Rollback();
    return outcome;
  }
  const Transaction::CommitResult commit = transaction.Commit();
  if (commit.failure) {
    return stop(std::move(outcome),
                commit.pending ? StopCause::CommitPending : StopCause::WriteFailed, commit.failure);
  }
  return outcome;
}

}  // namespace kv
