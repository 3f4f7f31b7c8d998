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

#include "cancel.h"
#include "codepage.h"
#include "diff.h"
#include "disk.h"
#include "dotnet_engine.h"
#include "interrupt.h"
#include "kv_version.h"
#include "options.h"
#include "output_file.h"
#include "progress.h"
#include "report.h"
#include "resolve.h"
#include "string_functions.h"
#include "transaction_run.h"
#include "vb6_engine.h"

namespace kv {

namespace {

constexpr std::string_view kVersion = KV_VERSION_TEXT;

enum class Kind { Vb6, DotNet, Unknown };

Kind KindOf(std::string_view path) {
  auto endsWith = [&](std::string_view ext) {
    return path.size() >= ext.size() && EqualsNoCase(path.substr(path.size() - ext.size()), ext);
  };
  if (endsWith(".vbp") || endsWith(".vbg")) return Kind::Vb6;
  if (endsWith(".sln")) return Kind::DotNet;
  return Kind::Unknown;
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

// Stands between an engine and the run's transaction for --diff: prints what
// each write changes (a dry run's transaction keeps the text in memory).
class DiffDisk : public Disk {
 public:
  DiffDisk(Disk& real, std::FILE* diffOut) : real_(real), diffOut_(diffOut) {}

  std::optional<std::string> Find(std::string_view path, std::string_view base) override {
    return real_.Find(path, base);
  }
  std::optional<FileKey> Key(const std::string& path) override { return real_.Key(path); }
  std::optional<std::string> Canonical(const std::string& path) override {
    return real_.Canonical(path);
  }

  IoError ReadAll(const std::string& path, std::string* contents) override {
    return real_.ReadAll(path, contents);
  }

  IoError WriteAll(const std::string& path, std::string_view contents) override {
    std::string before;
    if (IoError e = real_.ReadAll(path, &before)) return e;
    if (IoError e = real_.WriteAll(path, contents)) return e;
    // The diff comes piece by piece; it goes out in blocks.
    std::string block;
    WriteUnifiedDiff(before, contents, path, [&](std::string_view piece) {
      block.append(piece);
      if (block.size() >= (size_t{64} << 10)) {
        Emit(diffOut_, block);
        block.clear();
      }
    });
    Emit(diffOut_, block);
    return IoError{};
  }

 private:
  Disk& real_;
  std::FILE* diffOut_;
};

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
int WriteRecord(const std::string& path, const std::string& json, std::FILE* out) {
  if (path == "-") {
    errno = 0;
    if (std::fwrite(json.data(), 1, json.size(), out) != json.size() || std::fflush(out) != 0) {
      return errno ? errno : EIO;
    }
    return 0;
  }
  return WriteOutputFile(path, json).code;
}

}  // namespace

int RunCli(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  const CliParse parse = ParseCliArguments(argc, argv);
  switch (parse.action) {
    case CliParse::Action::Help:
      std::fputs(CliHelp().c_str(), out);
      return kCliOk;
    case CliParse::Action::Version:
      std::fprintf(out, "kvmigrate-cli %s\n", std::string(kVersion).c_str());
      return kCliOk;
    case CliParse::Action::Usage:
      return UsageError(err, parse.error);
    case CliParse::Action::Run:
      break;
  }
  const CliOptions& options = parse.options;
  const Kind kind = KindOf(options.path);
  if (kind == Kind::Unknown) {
    return UsageError(err, "PATH must end in .vbp, .vbg or .sln: " + options.path);
  }
  // The record's folder is checked before anything is read: a run is not
  // made for a record that could not be written.
  if (options.json && *options.json != "-") {
    if (const std::optional<std::string> problem = OutputPathProblem(*options.json)) {
      return UsageError(err, "--json " + *options.json + ": " + *problem);
    }
  }
  // With the record on standard output, the lines and diffs go to standard
  // error.
  std::FILE* lines = options.json == "-" ? err : out;

  // A check or a scan writes no file of the project: it runs as a dry run,
  // and the scan then reads what the run would have written.
  const bool writeNothing = options.dryRun || options.check || options.scanOnly;
  PrintingReporter printer(lines, err, options.quiet || options.scanOnly);
  // The search for leftovers is made only where its result is shown or
  // decides something: the summary (silenced by --quiet), --check, --scan and
  // --json.
  const bool scanShown = options.scan && (!options.quiet || options.check || options.scanOnly ||
                                          options.json.has_value());
  RunRecord record(options.path);
  record.SetPreview(writeNothing);
  TeeReporter reporter(printer, record);
  if (kind == Kind::Vb6 && (options.major || options.minor)) {
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

  if (kind == Kind::Vb6 && options.webRoot) {
    std::fputs("kvmigrate-cli: note: --web-root applies to .sln solutions\n", err);
  }
  if (kind == Kind::DotNet && options.allModules) {
    std::fputs("kvmigrate-cli: note: --all-modules applies to VB6 projects\n", err);
  }
  Transaction::Options transaction;
  transaction.dryRun = writeNothing;
  RunOutcome outcome = RunAsTransaction(
      options.path, reporter, &g_interrupted,
      [&](Disk& staged, Reporter& r, const CancelFlag* cancel) {
        DiffDisk diffing(staged, lines);
        Disk& disk = options.diff ? static_cast<Disk&>(diffing) : staged;
        RunOutcome result;
        if (kind == Kind::Vb6) {
          Vb6Migrator migrator(disk);
          migrator.AllModules = options.allModules;
          migrator.Entries = options.entries;
          result = migrator.ConvertFile(options.path, r, cancel);
        } else {
          DotNetMigrator migrator(disk);
          migrator.Entries = options.entries;
          if (options.webRoot) migrator.WebRoot = *options.webRoot;
          if (options.major) migrator.NewVersionMajor = *options.major;
          if (options.minor) migrator.NewVersionMinor = *options.minor;
          result = migrator.ConvertFile(options.path, r, cancel);
        }
        // The scan reads the files as the run leaves them (staged texts
        // included, in a dry run too). A run that stopped changes nothing and
        // reached only part of the project: its failure line says it all.
        if (scanShown && result.status == RunOutcome::Status::Completed) {
          // A stop asked for during the scan ends the run as cancelled.
          const CancelScope scope(cancel);
          try {
            record.Scan(staged, {kind == Kind::Vb6 ? Vb6Migrator::EntryPaths(options.allModules)
                                                   : DotNetMigrator::EntryPaths()});
          } catch (const RunCancelled&) {
          }
        }
        return result;
      },
      std::move(transaction));
  outcome = ReportEnd(reporter, std::move(outcome));

  // The record is written whatever the run's end, also when the output
  // failed: it replaces any older one, which would tell of another run.
  int recordError = 0;
  if (options.json)
    recordError = WriteRecord(*options.json, RunRecordJson(record, AllRuleRows()), out);
  const bool completed = outcome.status == RunOutcome::Status::Completed;
  // What a completed run did, for the messages of a failure after it.
  const char* const done = !completed     ? "no file was changed"
                           : writeNothing ? "the run had completed; it changes no file"
                                          : "the run had completed and changed its files";
  if (recordError) {
    std::fprintf(err, "kvmigrate-cli: could not write the record %s: %s; %s\n",
                 ShowName(*options.json).c_str(), std::strerror(recordError), done);
  }
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
  // A completed run whose record is lost has its own status: its files were
  // changed, which 3 would deny.
  if (recordError && completed) return kCliRecordFailed;
  switch (outcome.status) {
    case RunOutcome::Status::Completed:
      if (options.check || options.scanOnly) {
        return Done(record, options.check) ? kCliOk : kCliIncomplete;
      }
      return outcome.counts.Incomplete() ? kCliIncomplete : kCliOk;
    case RunOutcome::Status::Failed:
      std::fprintf(err, "%s\n", outcome.failure.c_str());
      return kCliFailed;
    case RunOutcome::Status::Cancelled:
      std::fputs("kvmigrate-cli: interrupted; no file was changed\n", err);
      return kCliInterrupted;
  }
  return kCliFailed;
}

}  // namespace kv
