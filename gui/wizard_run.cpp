#include "wizard_run.h"

#include <exception>
#include <utility>

namespace kv::gui {

RunOutcome RunWindowMigration(const MigrationRequest& request, Reporter& reporter,
                              const CancelFlag& cancel, RunRecord& record) {
  auto stopped = [&](std::string why) {
    const ProgressEvent event{.kind = EventKind::Stopped, .detail = std::move(why)};
    reporter.Report(event);
    record.Report(event);
    return RunOutcome{RunOutcome::Status::Failed, FormatLine(event).value_or(""), {}};
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
