#include "progress.h"

#include <cstring>

namespace kv {

std::string ShowName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 15];
    } else {
      shown += c;
    }
  }
  return shown;
}

std::optional<std::string> FormatLine(const ProgressEvent& e) {
  const std::string name = ShowName(e.name);
  switch (e.kind) {
    case EventKind::SolutionParsing:
      return "Parsing Solution [" + name + "]";
    case EventKind::ProjectFound:
      return "Find Project [" + name + "]";
    case EventKind::FileParsing:
      return "Parsing Project [" + name + "]";
    case EventKind::FormFound:
      return "Found Form [" + name + "]";
    case EventKind::ModuleFound:
      return "Found Module [" + name + "]";
    case EventKind::ClassFound:
      return "Found Class [" + name + "]";
    case EventKind::UserControlFound:
      return "Found UserControl [" + name + "]";
    case EventKind::PropertyPageFound:
      return "Found PropertyPage [" + name + "]";
    case EventKind::UserDocumentFound:
      return "Found UserDocument [" + name + "]";
    case EventKind::DesignerFound:
      return "Found Designer [" + name + "]";
    case EventKind::GroupProjectFound:
      return "Found Project [" + name + "]";
    case EventKind::WebProjectSkipped:
      return "Skipping web project [" + name + "]";
    case EventKind::KeyReplaced:
      return "Replacing key in [" + name + "]";
    case EventKind::FileMissing:
      return "Can't find the : " + name;
    case EventKind::NotModified:
      return "Could not modify [" + name + "]";
    case EventKind::Stopped: {
      // A stopped run commits nothing: the line says so.
      const std::string reason = ShowName(e.detail.empty() ? std::strerror(e.error) : e.detail);
      const std::string unchanged = "; no file was changed";
      switch (e.stop) {
        case StopCause::ReadFailed:
          return "Stopped: could not read [" + ShowName(e.path) + "]: " + reason + unchanged;
        case StopCause::WriteFailed:
          return "Stopped: could not write [" + ShowName(e.path) + "]: " + reason + unchanged;
        case StopCause::Unexpected:
          return "Stopped: " + ShowName(e.detail) + unchanged;
        case StopCause::CommitPending:
          return "Stopped: could not write [" + ShowName(e.path) + "]: " + reason +
                 "; the next run over the project completes the change";
        case StopCause::RecoveryFailed:
          return "Stopped: could not complete an interrupted run's change [" + ShowName(e.path) +
                 "]: " + reason + unchanged;
      }
      return std::nullopt;
    }
    case EventKind::Cancelled:
      return "Stopped: interrupted; no file was changed";
    case EventKind::Finished:
      return "Finish...";
    case EventKind::SourceMissing:
    case EventKind::FileConverted:
    case EventKind::OutsideFollowed:
    case EventKind::OutsideRefused:
    case EventKind::LeftAlone:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::string> FormatNotice(const ProgressEvent& e) {
  switch (e.kind) {
    case EventKind::SourceMissing:
      return "listed file not found, passed over: " + ShowName(e.name);
    case EventKind::NotModified:
      return "could not modify " + ShowName(e.path) + ": " +
             ShowName(e.detail.empty() ? std::strerror(e.error) : e.detail) +
             "; it keeps its old content";
    case EventKind::OutsideFollowed:
      return "outside the project's folder, followed: " + ShowName(e.name) + " (" +
             ShowName(e.path) + ")";
    case EventKind::OutsideRefused:
      return "outside the project's folder, refused: " + ShowName(e.name) + " (" +
             ShowName(e.path) + ")";
    case EventKind::LeftAlone:
      return "left alone: " + ShowName(e.path) + ": " + ShowName(e.detail);
    default:
      return std::nullopt;
  }
}

void RunCounts::Add(const ProgressEvent& e) {
  switch (e.kind) {
    case EventKind::FileConverted:
      ++converted;
      if (e.changed) ++changed;
      break;
    case EventKind::FileMissing:
      ++missing;
      break;
    case EventKind::SourceMissing:
      ++sourceMissing;
      break;
    case EventKind::NotModified:
      ++notModified;
      break;
    case EventKind::WebProjectSkipped:
      ++webSkipped;
      break;
    default:
      break;
  }
}

void RunLog::Report(ProgressEvent event) {
  outcome_.counts.Add(event);
  reporter_.Report(event);
}

void RunLog::Stop(StopCause cause, const std::string& path, int error, const std::string& reason) {
  // A Stopped event adds nothing to the counts.
  Fail(reporter_, outcome_, cause, path, error, reason);
}

void RunLog::Fail(Reporter& reporter, RunOutcome& outcome, StopCause cause, const std::string& path,
                  int error, const std::string& reason) {
  const ProgressEvent event{
      .kind = EventKind::Stopped, .path = path, .error = error, .detail = reason, .stop = cause};
  outcome.status = RunOutcome::Status::Failed;
  outcome.failure = FormatLine(event).value_or(std::string());
  reporter.Report(event);
}

bool RunLog::CancelRequested() {
  if (outcome_.status == RunOutcome::Status::Cancelled) return true;
  if (!cancel_ || !cancel_->load()) return false;
  outcome_.status = RunOutcome::Status::Cancelled;
  Report(ProgressEvent{.kind = EventKind::Cancelled});
  return true;
}

RunOutcome ReportEnd(Reporter& reporter, RunOutcome outcome) {
  if (outcome.status == RunOutcome::Status::Completed) {
    reporter.Report(ProgressEvent{.kind = EventKind::Finished});
  }
  return outcome;
}

}  // namespace kv
