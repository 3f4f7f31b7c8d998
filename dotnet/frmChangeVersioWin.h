// The kvMigrateDotNet window on Win32: the shared window over this program's
// dialog template, migrating a Visual Studio solution to the target version
// of the two version boxes.
#pragma once

#include "win_wizard.h"

namespace kv::dotnetgui {

gui::WinProgram WinWindow();

}  // namespace kv::dotnetgui
