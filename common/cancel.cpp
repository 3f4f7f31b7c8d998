#include "cancel.h"

#include <exception>
#include <system_error>
#include <thread>
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

void InParallel(const std::function<void()>& here, const std::function<void()>& there) {
  const CancelFlag* flag = cancel_detail::t_state.flag;
  std::exception_ptr thrown;  // by `there`
  std::thread second;
  try {
    second = std::thread([&] {
      const CancelScope scope(flag);
      try {
        there();
      } catch (...) {
        thrown = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    here();
    there();
    return;
  }
  try {
    here();
  } catch (...) {
    // A stop reaches `there` at its next look at the flag.
    second.join();
    throw;
  }
  second.join();
  if (thrown) std::rethrow_exception(thrown);
}

}  // namespace kv
