// kvMigrate on Windows: migrates a Visual Basic 6 project to version 5 of the
// Korvane component libraries, in one window.
#include "frmChangeVersioWin.h"
#include "win_main.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  return kv::gui::RunWizardProgram(instance, showCommand, kv::vb6gui::WinWindow());
}
