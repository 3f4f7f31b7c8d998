#include "cancel.h"

#include <utility>

namespace kv {

namespace {
thread_local std::function<void()> t_hook;
}  // namespace

namespace cancel_detail {

void Throw() { throw RunCancelled{}; }

bool Poll() {
  State& s = t_state;
  s.left = kCancelStride;
  if (s.flag == nullptr) return false;
  if (t_hook) t_hook();
  return s.flag->load(std::memory_order_relaxed);
}

}  // namespace cancel_detail

void SetCancelPollHook(std::function<void()> hook) { t_hook = std::move(hook); }

}  // namespace kv
