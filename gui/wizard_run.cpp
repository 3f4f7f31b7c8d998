#include "wizard_run.h"

#include <exception>
#include <utility>

namespace kv::gui {

RunOutcome RunWindowMigration(const MigrationRequest& request, Reporter& reporter,
                              const CancelFlag& cancel, RunRecord& record) {
  auto stopped = [&](const std::string& why) {
    TeeReporter both(reporter, record);
    RunOutcome outcome;
    RunLog::Fail(both, outcome, StopCause::Unexpected, "", 0, why);
    return outcome;
  };
  try {
    return RunMigration(request, reporter, &cancel, &record);
  } catch (const std::exception& e) {
    return stopped(e.what());
  } catch (...) {
    return stopped("unexpected error");
  }
}

}  // namespace kv::gui
