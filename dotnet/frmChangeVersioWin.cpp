#include "frmChangeVersioWin.h"

#include "dotnet_engine.h"
#include "wizardRes.h"

namespace kv::dotnetgui {

gui::WinProgram WinWindow() {
  return {gui::WizardKind::DotNet, IDD_KVMIGRATEDOTNET,
          [](const gui::RunSettings& settings, const std::string& path) {
            gui::ProjectRun run;
            run.path = path;
            // The run keeps the versions that the boxes held when it started.
            const std::string major = settings.major;
            const std::string minor = settings.minor;
            run.job = [path, major, minor](Disk& disk, Reporter& reporter,
                                           const CancelFlag* cancel) {
              DotNetMigrator migrator(disk);
              migrator.NewVersionMajor = major;
              migrator.NewVersionMinor = minor;
              return migrator.ConvertFile(path, reporter, cancel);
            };
            run.entryPaths = DotNetMigrator::EntryPaths();
            return run;
          }};
}

}  // namespace kv::dotnetgui
