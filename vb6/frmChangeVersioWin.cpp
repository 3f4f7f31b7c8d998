#include "frmChangeVersioWin.h"

#include "vb6_engine.h"
#include "wizardRes.h"

namespace kv::vb6gui {

gui::WinProgram WinWindow() {
  return {gui::WizardKind::Vb6, IDD_KVMIGRATE,
          [](const gui::RunSettings& settings, const std::string& path) {
            gui::ProjectRun run;
            run.path = path;
            // The check box counts as it stood when the run started.
            const bool allModules = settings.allModules;
            run.job = [path, allModules](Disk& disk, Reporter& reporter, const CancelFlag* cancel) {
              Vb6Migrator migrator(disk);
              migrator.AllModules = allModules;
              return migrator.ConvertFile(path, reporter, cancel);
            };
            run.entryPaths = Vb6Migrator::EntryPaths(allModules);
            return run;
          }};
}

}  // namespace kv::vb6gui
