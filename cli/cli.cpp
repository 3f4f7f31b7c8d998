#include "cli.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codepage.h"
#include "diff.h"
#include "disk.h"
#include "dotnet_engine.h"
#include "interrupt.h"
#include "kv_version.h"
#include "migration.h"
#include "options.h"
#include "output_file.h"
#include "progress.h"
#include "report.h"
#include "resolve.h"
#include "sarif.h"
#include "string_functions.h"
#include "vb6_engine.h"

namespace kv {

namespace {

constexpr std::string_view kVersion = KV_VERSION_TEXT;

// The kind of project that `path` names, or nullptr.
const MigrationKind* KindOf(std::string_view path) {
  for (const MigrationKind* kind : {&kVb6Migration, &kDotNetMigration}) {
    if (kind->takes(path)) return kind;
  }
  return nullptr;
}

CancelFlag g_interrupted{false};
// Set when standard output could not be written (a closed pipe, a full disk):
// the run then stops as on Ctrl-C.
std::atomic<int> g_outputError{0};

// Writes to standard output and flushes, so that a closed pipe is noticed at
// once; a failure stops the run (and nothing more is written there).
void Emit(std::FILE* out, std::string_view text) {
  if (g_outputError.load() || text.empty()) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
    g_outputError.store(errno ? errno : EIO);
    g_interrupted.store(true);
  }
}

// Writes progress lines to the output as they come, and what the user must
// look at (files passed over or not modified) also to standard error.
class PrintingReporter : public Reporter {
 public:
  PrintingReporter(std::FILE* out, std::FILE* err, bool quiet)
      : out_(out), err_(err), quiet_(quiet) {}
  void Report(const ProgressEvent& event) override {
    if (const std::optional<std::string> notice = FormatNotice(event)) {
      std::fprintf(err_, "kvmigrate-cli: %s\n", notice->c_str());
    }
    if (quiet_) return;
    if (const std::optional<std::string> line = FormatLine(event)) Emit(out_, *line + "\n");
  }

 private:
  std::FILE* out_;
  std::FILE* err_;
  bool quiet_;
};

// For --diff: prints what a write changes (a dry run's transaction keeps the
// text in memory), in blocks as the diff comes piece by piece.
void PrintDiff(std::FILE* out, const std::string& path, std::string_view before,
               std::string_view after) {
  std::string block;
  WriteUnifiedDiff(before, after, path, [&](std::string_view piece) {
    block.append(piece);
    if (block.size() >= (size_t{64} << 10)) {
      Emit(out, block);
      block.clear();
    }
  });
  Emit(out, block);
}

// Bad arguments: the reason, then the usage. The reason may quote what was
// typed: shown escaped, as names are.
int UsageError(std::FILE* err, const std::string& message) {
  std::fprintf(err, "kvmigrate-cli: %s\n", ShowName(message).c_str());
  std::fputs(CliHelp().c_str(), err);
  return kCliUsage;
}

// The leftovers listed on standard error; the rest are counted.
constexpr size_t kLeftoversShown = 50;

// Writes the JSON record to `path` ("-": `out`, alone there). Returns 0 or
// the errno.
int WriteRecord(const std::string& path, const std::string& json, std::FILE* out,
                unsigned pathCodePage) {
  if (path == "-") {
    errno = 0;
    if (std::fwrite(json.data(), 1, json.size(), out) != json.size() || std::fflush(out) != 0) {
      return errno ? errno : EIO;
    }
    return 0;
  }
  return WriteOutputFile(path, json, pathCodePage).code;
}

// What the arguments ask to run: the options and the kind of the project.
struct CliRun {
  CliOptions options;
  const MigrationKind* kind = nullptr;
  unsigned pathCodePage = kDefaultCodePage;  // of the arguments' paths
};

// Step 1: the run that the arguments ask for. For --help, --version and bad
// arguments, what they call for is printed, `*status` is set and there is no
// run.
std::optional<CliRun> ParseArguments(int argc, const char* const* argv, unsigned pathCodePage,
                                     std::FILE* out, std::FILE* err, int* status) {
  const CliParse parse = ParseCliArguments(argc, argv);
  switch (parse.action) {
    case CliParse::Action::Help:
      std::fputs(CliHelp().c_str(), out);
      *status = kCliOk;
      return std::nullopt;
    case CliParse::Action::Version:
      std::fprintf(out, "kvmigrate-cli %s\n", std::string(kVersion).c_str());
      *status = kCliOk;
      return std::nullopt;
    case CliParse::Action::Usage:
      *status = UsageError(err, parse.error);
      return std::nullopt;
    case CliParse::Action::Run:
      break;
  }
  const MigrationKind* kind = KindOf(parse.options.path);
  if (!kind) {
    *status = UsageError(err, "PATH must end in .vbp, .vbg or .sln: " + parse.options.path);
    return std::nullopt;
  }
  // The record's and the log's folders are checked before anything is read:
  // a run is not made for output that could not be written.
  const CliOptions& options = parse.options;
  if (options.json == "-" && options.sarif == "-") {
    *status = UsageError(err, "--json and --sarif cannot both be standard output");
    return std::nullopt;
  }
  for (const auto& [name, path] :
       {std::pair{"--json ", &options.json}, std::pair{"--sarif ", &options.sarif}}) {
    if (!*path || **path == "-") continue;
    if (const std::optional<std::string> problem = OutputPathProblem(**path, pathCodePage)) {
      *status = UsageError(err, name + **path + ": " + *problem);
      return std::nullopt;
    }
  }
  return CliRun{parse.options, kind, pathCodePage};
}

// With the record or the log on standard output, the lines and diffs go to
// standard error.
std::FILE* LinesStream(const CliOptions& options, std::FILE* out, std::FILE* err) {
  return options.json == "-" || options.sarif == "-" ? err : out;
}

// Step 2: the run, its lines on `out` (and what to look at on `err`) as they
// come, its events and leftovers into `record`.
RunOutcome Run(const CliRun& run, std::FILE* out, std::FILE* err, RunRecord& record) {
  const CliOptions& options = run.options;
  std::FILE* lines = LinesStream(options, out, err);
  const bool vb6 = run.kind == &kVb6Migration;
  if (vb6 && (options.major || options.minor)) {
    std::fputs(
        "kvmigrate-cli: note: --major and --minor apply to .sln solutions; VB6 "
        "references always become 5.0\n",
        err);
  }
  // Ctrl-C and SIGTERM stop the run where it is, even inside a large file; a closed
  // output pipe shows as a failed write instead of killing the process.
  g_interrupted.store(false);
  g_outputError.store(0);
  const InterruptScope interrupts(g_interrupted);
  if (vb6 && options.webRoot) {
    std::fputs("kvmigrate-cli: note: --web-root applies to .sln solutions\n", err);
  }
  if (!vb6 && options.allModules) {
    std::fputs("kvmigrate-cli: note: --all-modules applies to VB6 projects\n", err);
  }

  MigrationRequest request{.path = options.path,
                           .kind = run.kind,
                           .allModules = options.allModules,
                           .webRoot = options.webRoot,
                           .entries = options.entries,
                           .pathCodePage = run.pathCodePage,
                           .major = options.major,
                           .minor = options.minor};
  // A check or a scan writes no file of the project: it runs as a dry run,
  // and the scan then reads what the run would have written.
  request.dryRun = options.dryRun || options.check || options.scanOnly;
  // The search for leftovers is made only where its result is shown or
  // decides something: the summary (silenced by --quiet), --check, --scan,
  // --json and --sarif.
  const bool recorded = !options.quiet || options.check || options.scanOnly ||
                        options.json.has_value() || options.sarif.has_value();
  request.scan = options.scan && recorded;
  if (options.diff) {
    request.onWrite = [lines](const std::string& path, std::string_view before,
                              std::string_view after) { PrintDiff(lines, path, before, after); };
  }
  PrintingReporter printer(lines, err, options.quiet || options.scanOnly);
  // What no summary, verdict, record or log shows is not kept: a run of many
  // files with --quiet holds no list of them.
  return RunMigration(request, printer, &g_interrupted, recorded ? &record : nullptr);
}

// Writes the SARIF log to `path` ("-": `out`, alone there). Returns 0 or the
// errno.
int WriteSarif(const std::string& path, const RunRecord& record, std::FILE* out,
               unsigned pathCodePage) {
  RealDisk disk({}, pathCodePage);
  return WriteRecord(path, RunRecordSarif(record, disk, "kvmigrate-cli", kVersion), out,
                     pathCodePage);
}

// Step 3: what the run came to: the summary and leftovers (and the verdict of
// a check or a scan) on `err`, the JSON record and the SARIF log, and the line
// that says why a run stopped. Returns the exit status when the reporting
// itself failed.
std::optional<int> Report(const CliRun& run, const RunOutcome& outcome, const RunRecord& record,
                          std::FILE* out, std::FILE* err) {
  const CliOptions& options = run.options;
  std::FILE* lines = LinesStream(options, out, err);
  const bool writeNothing = options.dryRun || options.check || options.scanOnly;
  // The record and the log are written whatever the run's end, also when the
  // output failed: each replaces any older one, which would tell of another
  // run.
  const bool completed = outcome.status == RunOutcome::Status::Completed;
  // What a completed run did, for the messages of a failure after it.
  const char* const done = !completed     ? "no file was changed"
                           : writeNothing ? "the run had completed; it changes no file"
                                          : "the run had completed and changed its files";
  bool outputLost = false;
  const auto write = [&](const std::optional<std::string>& path, const char* what, auto&& text) {
    if (!path) return;
    if (const int e = text()) {
      std::fprintf(err, "kvmigrate-cli: could not write the %s %s: %s; %s\n", what,
                   ShowName(*path).c_str(), std::strerror(e), done);
      outputLost = true;
    }
  };
  write(options.json, "record", [&] {
    return WriteRecord(*options.json, RunRecordJson(record, AllRuleRows()), out, run.pathCodePage);
  });
  write(options.sarif, "log",
        [&] { return WriteSarif(*options.sarif, record, out, run.pathCodePage); });
  if (const int e = g_outputError.load()) {
    std::fprintf(err, "kvmigrate-cli: could not write the output: %s; %s\n", std::strerror(e),
                 completed ? "the run had completed" : "no file was changed");
    return outcome.status == RunOutcome::Status::Failed ? kCliFailed : kCliInterrupted;
  }
  std::fflush(lines);
  if (!options.quiet && completed) {
    const std::string report = FormatReport(record, kLeftoversShown);
    std::fwrite(report.data(), 1, report.size(), err);
    if (options.check || options.scanOnly) {
      const std::string verdict = FormatVerdict(record, options.check) + "\n";
      std::fwrite(verdict.data(), 1, verdict.size(), err);
    }
  }
  if (outcome.status == RunOutcome::Status::Failed) {
    std::fprintf(err, "%s\n", outcome.failure.c_str());
  } else if (outcome.status == RunOutcome::Status::Cancelled) {
    std::fputs("kvmigrate-cli: interrupted; no file was changed\n", err);
  }
  // A completed run whose record or log is lost has its own status: its
  // files were changed, which 3 would deny.
  if (outputLost && completed) return kCliRecordFailed;
  return std::nullopt;
}

// Step 4: the exit status of a run that was reported.
int ExitStatus(const CliOptions& options, const RunOutcome& outcome, const RunRecord& record) {
  switch (outcome.status) {
    case RunOutcome::Status::Completed:
      if (options.check || options.scanOnly) {
        return Done(record, options.check) ? kCliOk : kCliIncomplete;
      }
      return outcome.counts.Incomplete() ? kCliIncomplete : kCliOk;
    case RunOutcome::Status::Failed:
      return kCliFailed;
    case RunOutcome::Status::Cancelled:
      return kCliInterrupted;
  }
  return kCliFailed;
}

}  // namespace

int RunCli(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
           unsigned pathCodePage) {
  int status = kCliOk;
  const std::optional<CliRun> run = ParseArguments(argc, argv, pathCodePage, out, err, &status);
  if (!run) return status;
  RunRecord record(run->options.path);
  const RunOutcome outcome = Run(*run, out, err, record);
  if (const std::optional<int> failed = Report(*run, outcome, record, out, err)) {
    return *failed;
  }
  return ExitStatus(run->options, outcome, record);
}

}  // namespace kv
