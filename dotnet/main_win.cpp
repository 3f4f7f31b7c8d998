// kvMigrateDotNet on Windows: migrates a Visual Studio solution to version 5
// of the Korvane component libraries, in one window.
#include "frmChangeVersioWin.h"
#include "win_main.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  return kv::gui::RunWizardProgram(instance, showCommand, kv::dotnetgui::WinWindow());
}
