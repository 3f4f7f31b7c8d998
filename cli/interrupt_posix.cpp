#include <csignal>

#include "interrupt.h"

namespace kv {

namespace {
CancelFlag* g_flag = nullptr;
struct sigaction g_oldInt = {}, g_oldTerm = {}, g_oldPipe = {};

extern "C" void OnInterrupt(int) {
  if (g_flag) g_flag->store(true);
}
}  // namespace

InterruptScope::InterruptScope(CancelFlag& flag) {
  g_flag = &flag;
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, &g_oldInt);
  sigaction(SIGTERM, &action, &g_oldTerm);
  // A closed output pipe shows as a failed write rather than killing us.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &g_oldPipe);
}

InterruptScope::~InterruptScope() {
  sigaction(SIGINT, &g_oldInt, nullptr);
  sigaction(SIGTERM, &g_oldTerm, nullptr);
  sigaction(SIGPIPE, &g_oldPipe, nullptr);
  g_flag = nullptr;
}

}  // namespace kv
