// The start of a Win32 migration program: one window, a path from the
// command line put into it, and the message loop until the window goes.
#pragma once

#include "win_wizard.h"

namespace kv::gui {

int RunWizardProgram(HINSTANCE instance, int showCommand, WinProgram program);

}  // namespace kv::gui
