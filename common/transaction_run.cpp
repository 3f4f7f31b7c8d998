#include "transaction_run.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>

#include "general_functions.h"

namespace kv {

std::string JournalFolderOf(const std::string& projectPath, unsigned pathCodePage) {
  const std::optional<std::string> found = RealDisk({}, pathCodePage).Find(projectPath, "");
  const std::string folder = GetFolderFromPath(found ? *found : NativePath(projectPath));
  return folder.empty() ? "." : folder;
}

RunOutcome RunAsTransaction(const std::string& projectPath, Reporter& reporter,
                            const CancelFlag* cancel, const EngineJob& job,
                            Transaction::Options options) {
  auto stop = [&](RunOutcome outcome, StopCause cause, const FileFailure& failure) {
    RunLog::Fail(reporter, outcome, cause, failure.path, failure.error.code, failure.error.reason);
    return outcome;
  };
  // Each file left alone is named once, however often the run meets it.
  std::vector<std::string> named;
  auto leftAlone = [&](const std::vector<LeftAlone>& files) {
    for (const LeftAlone& f : files) {
      if (std::find(named.begin(), named.end(), f.path) != named.end()) continue;
      named.push_back(f.path);
      reporter.Report(
          ProgressEvent{.kind = EventKind::LeftAlone, .path = f.path, .detail = f.reason});
    }
  };
  options.journalFolder = JournalFolderOf(projectPath, options.pathCodePage);
  std::optional<Transaction> transaction;
  try {
    if (!options.dryRun) {
      std::vector<LeftAlone> files;
      const FileFailure f =
          Transaction::Recover(options.journalFolder, options.hook, &files, options.pathCodePage);
      leftAlone(files);
      if (f) return stop(RunOutcome{}, StopCause::RecoveryFailed, f);
    }
    transaction.emplace(std::move(options));
    RunOutcome outcome = job(*transaction, reporter, cancel);
    leftAlone(transaction->TakeLeftAlone());
    if (outcome.status == RunOutcome::Status::Completed && cancel && cancel->load()) {
      outcome.status = RunOutcome::Status::Cancelled;
      reporter.Report(ProgressEvent{.kind = EventKind::Cancelled});
    }
    if (outcome.status != RunOutcome::Status::Completed) {
      transaction->Rollback();
      return outcome;
    }
    const Transaction::CommitResult commit = transaction->Commit();
    leftAlone(transaction->TakeLeftAlone());
    if (commit.failure) {
      return stop(std::move(outcome),
                  commit.pending ? StopCause::CommitPending : StopCause::WriteFailed,
                  commit.failure);
    }
    return outcome;
  } catch (const std::bad_alloc&) {
    // Memory ran out somewhere in the run (the commit handles its own): like
    // any other failure, the run stops and its staged files go.
    if (transaction) transaction->Rollback();
    return stop(RunOutcome{}, StopCause::Unexpected,
                FileFailure{{}, IoError{ENOMEM, "out of memory"}});
  }
}

}  // namespace kv
