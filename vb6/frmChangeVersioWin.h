// The kvMigrate window on Win32: the shared window over this program's
// dialog template, migrating a Visual Basic 6 project or project group.
#pragma once

#include "win_wizard.h"

namespace kv::vb6gui {

gui::WinProgram WinWindow();

}  // namespace kv::vb6gui
