// One run of a migration window, off the window's thread and with no toolkit:
// the request run as every front end runs it (recovery, one transaction, the
// leftover search, the commit, "Finish..." after a run that completed), with
// its events also recorded; whatever escapes it ends the run with a line that
// says why, since a window has no one else to tell.
#pragma once

#include "cancel.h"
#include "migration.h"
#include "progress.h"
#include "report.h"

namespace kv::gui {

// The report is complete (record.scanned()) only after a run that completed
// and was not stopped.
RunOutcome RunWindowMigration(const MigrationRequest& request, Reporter& reporter,
                              const CancelFlag& cancel, RunRecord& record);

}  // namespace kv::gui
