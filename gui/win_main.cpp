#include "win_main.h"

#include <shellapi.h>

namespace kv::gui {

int RunWizardProgram(HINSTANCE instance, int showCommand, WinProgram program) {
  WinWizard window(std::move(program));
  if (!window.Create(instance, true)) return 1;
  // PROGRAM PROJECT: the window opens with the project named.
  int argc = 0;
  if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
    if (argc > 1) window.OpenPath(argv[1]);
    LocalFree(argv);
  }
  ShowWindow(window.hwnd(), showCommand);
  return WinWizard::MessageLoop();
}

}  // namespace kv::gui
