// Stopping a run inside one file's work. The engines look at the stop flag
// between files; on one huge file that is not soon enough, so the long loops
// over a text also count their progress here and, about every
// kCancelStride bytes, look at the flag of the run going on on this thread.
// When it is raised they leave by throwing RunCancelled, which the engine
// catches where the file's work began and reports as a cancelled run.
//
// A stop travels one way: the front end raises a CancelFlag and hands it to
// the run (RunMigration, an engine's ConvertFile); the run looks at it
// between files (RunLog::CancelRequested) and opens a CancelScope on it, and
// everything below, the text loops and the file layer, sees the flag only
// through that scope: CancelPoint throws RunCancelled, the file layer's
// CancelPending makes a read or write fail with ECANCELED (disk.h).
//
// Outside a CancelScope (or with a null flag) nothing is ever thrown, so the
// helpers that poll may be used anywhere.
#pragma once

#include <cstddef>
#include <functional>

#include "progress.h"

namespace kv {

inline constexpr size_t kCancelStride = size_t{1} << 20;

// Thrown out of a text's work when the run was asked to stop. Not a
// std::exception: no handler meant for failures takes it for one.
struct RunCancelled {};

namespace cancel_detail {
struct State {
  const CancelFlag* flag = nullptr;
  size_t left = kCancelStride;  // bytes of progress until the next look at the flag
};
inline constinit thread_local State t_state{};
[[noreturn]] void Throw();
bool Poll();  // resets the count; true when the flag is raised
}  // namespace cancel_detail

// The flag that the loops on this thread look at, for the scope's lifetime.
class CancelScope {
 public:
  explicit CancelScope(const CancelFlag* flag) : previous_(cancel_detail::t_state) {
    cancel_detail::t_state = {flag, kCancelStride};
  }
  ~CancelScope() { cancel_detail::t_state = previous_; }
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

 private:
  cancel_detail::State previous_;
};

// Counts `bytes` of progress; once about kCancelStride bytes have gone by
// since the last look, looks at the flag and throws RunCancelled if raised.
inline void CancelPoint(size_t bytes) {
  cancel_detail::State& s = cancel_detail::t_state;
  if (bytes < s.left) {
    s.left -= bytes;
    return;
  }
  if (cancel_detail::Poll()) cancel_detail::Throw();
}

// The same for code that reports failures as values (the file layer): true
// when the run should stop now.
inline bool CancelPending(size_t bytes) {
  cancel_detail::State& s = cancel_detail::t_state;
  if (bytes < s.left) {
    s.left -= bytes;
    return false;
  }
  return cancel_detail::Poll();
}

// Tests: called on this thread at every look at a flag (before it is read),
// so that a test can raise the flag at an exact point of the work.
void SetCancelPollHook(std::function<void()> hook);

// Runs `here` on this thread and `there` on a second one at the same time,
// for the two halves of the work on a large text; returns once both have
// ended. Both look at this thread's stop flag; a stop in either is thrown
// here as RunCancelled, as is an exception of `there`. Without a second
// thread, runs one after the other.
void InParallel(const std::function<void()>& here, const std::function<void()>& there);

}  // namespace kv
