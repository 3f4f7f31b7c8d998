// One run of a migration window, off the window's thread and with no toolkit:
// the engine over the project as one transaction (recovery first, commit at
// the end, no change when it stops), its events also recorded, "Finish..."
// after a run that completed, and then the project's folders searched for
// what the run left over.
#pragma once

#include <string>

#include "cancel.h"
#include "disk.h"
#include "leftover_scan.h"
#include "progress.h"
#include "report.h"
#include "transaction_run.h"

namespace kv::gui {

struct ProjectRun {
  std::string path;              // the project or solution, as the file layer takes it
  EngineJob job;                 // the engine's work over a disk
  EntryPathFinder entryPaths;    // which bytes of a project file the run keeps on purpose
  Transaction::Options options;  // the transaction's fault hook (tests)
  Disk* given = nullptr;         // tests: the engine runs on this disk as it is
};

// Runs `run`, reporting to `reporter` and to `record`. Whatever escapes the
// engine ends the run with a line that says why. The report is complete
// (record.scanned()) only after a run that completed and was not stopped.
RunOutcome RunProject(const ProjectRun& run, Reporter& reporter, const CancelFlag& cancel,
                      RunRecord& record, Disk& disk);

}  // namespace kv::gui
