// While an InterruptScope lives, Ctrl+C (and a request to terminate) sets the
// flag instead of ending the process, so that the run stops where it is, with
// no file changed (and, on POSIX systems, a closed output pipe raises no
// signal).
// interrupt_posix.cpp uses signals, interrupt_win.cpp a console control
// handler.
#pragma once

#include "progress.h"

namespace kv {

class InterruptScope {
 public:
  explicit InterruptScope(CancelFlag& flag);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};

}  // namespace kv
