// One engine run as one transaction over the project: the heart of
// RunMigration (migration.h), so that every front end recovers, commits and
// rolls back alike and words its last line alike.
#pragma once

#include <functional>
#include <string>

#include "disk.h"
#include "progress.h"
#include "transaction.h"

namespace kv {

// An engine run over a disk: reports its events, polls the flag at file
// boundaries.
using EngineJob =
    std::function<RunOutcome(Disk& disk, Reporter& reporter, const CancelFlag* cancel)>;

// 1. Completes a commit that an earlier run over the project's folder left
//    recorded, and removes stale temporary files there; a failure stops here.
// 2. Runs `job` over a Transaction whose journal lives in the project's folder.
// 3. When the job completed and no stop was asked for, commits; otherwise
//    (failure, stop, or a failed commit) nothing changes, and the last event
//    (Stopped or Cancelled) says so. A stop asked for during the commit does
//    not interrupt it. The caller reports the end (ReportEnd) as before.
// Files named like ours that the recovery or the clean-up left alone are
// reported once each (EventKind::LeftAlone). A run that runs out of memory
// stops like any other failure: its staged files go and no file changes.
// `options.journalFolder` is set from `projectPath`, which is in code page
// `options.pathCodePage` on Windows.
RunOutcome RunAsTransaction(const std::string& projectPath, Reporter& reporter,
                            const CancelFlag* cancel, const EngineJob& job,
                            Transaction::Options options = {});

// The folder that holds the project file's journal: the folder of
// `projectPath` as the engines resolve it ("." for a bare name).
std::string JournalFolderOf(const std::string& projectPath, unsigned pathCodePage);

}  // namespace kv
