#include <windows.h>

#include "interrupt.h"

namespace kv {

namespace {
CancelFlag* g_flag = nullptr;

// Runs on a thread of its own; TRUE keeps the process alive so that the run
// can stop between files. Closing the console or logging off ends the process
// once the handler returns whatever it answers, after the flag is set.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (g_flag) g_flag->store(true);
      return TRUE;
    default:
      return FALSE;
  }
}
}  // namespace

InterruptScope::InterruptScope(CancelFlag& flag) {
  g_flag = &flag;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

InterruptScope::~InterruptScope() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_flag = nullptr;
}

}  // namespace kv
