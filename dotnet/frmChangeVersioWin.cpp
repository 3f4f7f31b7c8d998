#include "frmChangeVersioWin.h"

#include "dotnet_engine.h"
#include "wizardRes.h"

namespace kv::dotnetgui {

gui::WinProgram WinWindow() {
  return {gui::WizardKind::DotNet, IDD_KVMIGRATEDOTNET, &kDotNetMigration};
}

}  // namespace kv::dotnetgui
