#include "frmChangeVersioWin.h"

#include "vb6_engine.h"
#include "wizardRes.h"

namespace kv::vb6gui {

gui::WinProgram WinWindow() { return {gui::WizardKind::Vb6, IDD_KVMIGRATE, &kVb6Migration}; }

}  // namespace kv::vb6gui
