// What an engine run reports: progress lines through a sink, and how it ended.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace kv {

class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void Line(const std::string& line) = 0;
};

struct RunOutcome {
  enum class Status {
    Completed,  // the run returned; the caller adds "Finish..."
    Failed,     // a file could not be read or written; `failure` is the last line
    Cancelled,  // stopped at a file boundary on request
  };
  Status status = Status::Completed;
  std::string failure;
};

// Set from another thread to stop a run at the next file boundary.
using CancelFlag = std::atomic<bool>;

inline constexpr std::string_view kFinishLine = "Finish...";
inline constexpr std::string_view kMissingPrefix = "Can't find the : ";
inline constexpr std::string_view kNotModifiedPrefix = "Could not modify [";

// The last line of a run that a failure stopped: names the file and the
// system's reason.
std::string ReadFailureLine(const std::string& path, int errorCode);
std::string WriteFailureLine(const std::string& path, int errorCode);

}  // namespace kv
