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
#include "progress.h"
#include "report.h"
#include "resolve.h"
#include "string_functions.h"
#include "transaction_run.h"
#include "vb6_engine.h"

namespace kv {

namespace {

constexpr std::string_view kVersion = KV_VERSION_TEXT;

void PrintUsage(std::FILE* to) {
  std::fputs(
      "Usage: kvmigrate-cli [--major TEXT] [--minor TEXT] [--dry-run] [--diff] [--quiet]\n"
      "                     [--all-modules] [--web-root DIR]\n"
      "                     [--check] [--json FILE] [--no-scan] PATH\n"
      "       kvmigrate-cli --scan PATH\n"
      "\n"
      "Migrates a project in place to version 5 of the component libraries.\n"
      "PATH ending in .vbp: a VB6 project with the forms and modules it lists;\n"
      ".vbg: a VB6 project group, each project it lists.\n"
      "PATH ending in .sln: a .NET solution with its projects and their .cs, .vb\n"
      "and .resx files.\n"
      "\n"
      "  --major TEXT  target major version of .NET references (default 5)\n"
      "  --minor TEXT  target minor version of .NET references (default 0)\n"
      "  --dry-run     write nothing; print what a real run would print\n"
      "  --diff        also print a unified diff of every file that changes\n"
      "  --quiet       print no progress lines and no summary (and search for\n"
      "                leftovers only for --check or --json)\n"
      "  --check       write nothing; exit 0 when a run would change nothing and\n"
      "                nothing is left over, 1 otherwise\n"
      "  --json FILE   write a JSON record of the run to FILE (\"-\": standard output)\n"
      "  --no-scan     do not search the project's folders for what was left over\n"
      "  --scan PATH   migrate nothing; list what a run over PATH would leave over\n"
      "  --all-modules   .vbp, .vbg: also classes, user controls, property pages,\n"
      "                  user documents and designers\n"
      "  --web-root DIR  .sln: take a web project http://host/P from DIR/P instead\n"
      "                  of passing over it\n"
      "  --confine     refuse listed files outside the project's folder (they are\n"
      "                reported as \"Can't find the : \"); without it they are\n"
      "                followed and each is named on standard error\n"
      "  --codepage NAME  code page the project's file names were written in, for\n"
      "                names not found as they are (default: Windows-1252, then\n"
      "                932 where the bytes are valid Shift-JIS)\n"
      "  --help        show this help\n"
      "  --version     show the version\n"
      "\n"
      "A run changes every file it should, or none: files are changed only when\n"
      "the run reaches its end. A failure, Ctrl-C, SIGTERM or a closed output\n"
      "stops it with no file changed.\n"
      "\n"
      "Progress lines and diffs go to standard output. Standard error names every\n"
      "listed file passed over (with its path), every file not modified (with\n"
      "its full path and the reason), every listed file outside the project's\n"
      "folder, and the failure that stopped a run; after a run, a summary and\n"
      "what was left over.\n"
      "\n"
      "Exit status: 0 done; 1 done, but a file was missing, refused, or could not\n"
      "be modified, or a web project was passed over; 2 bad arguments; 3 stopped\n"
      "by a failure (the last line says which file and why); 130 interrupted\n"
      "(Ctrl-C or SIGTERM), or standard output failed (\"Finish...\" is then not\n"
      "printed).\n",
      to);
}

struct Options {
  std::optional<std::string> major;
  std::optional<std::string> minor;
  bool dryRun = false;
  bool diff = false;
  bool quiet = false;
  bool check = false;
  bool scan = true;
  bool scanOnly = false;
  std::optional<std::string> json;
  bool allModules = false;
  std::optional<std::string> webRoot;
  ResolveOptions entries;
  std::optional<std::string> path;
};

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

// The leftovers listed on standard error; the rest are counted.
constexpr size_t kLeftoversShown = 50;

// Writes the JSON record to `path` ("-": `out`). Returns 0 or the errno.
int WriteJson(const std::string& path, const std::string& json, std::FILE* out) {
  if (path == "-") {
    std::fwrite(json.data(), 1, json.size(), out);
    return std::fflush(out) == 0 ? 0 : errno;
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return errno;
  const bool written = std::fwrite(json.data(), 1, json.size(), f) == json.size();
  const int e = written ? 0 : errno;
  if (std::fclose(f) != 0 && written) return errno ? errno : EIO;
  return written ? 0 : (e ? e : EIO);
}

}  // namespace

int RunCli(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  Options options;
  auto usageError = [&](const std::string& message) {
    // The message may quote what was typed: shown escaped, as names are.
    std::fprintf(err, "kvmigrate-cli: %s\n", ShowName(message).c_str());
    PrintUsage(err);
    return kCliUsage;
  };

  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    // The value of an option: "--name=value" or the next argument.
    auto value = [&](std::string_view arg) -> std::optional<std::string> {
      if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
        return std::string(arg.substr(eq + 1));
      }
      if (i + 1 < argc) return std::string(argv[++i]);
      return std::nullopt;
    };
    const std::string_view arg(argv[i]);
    if (!endOfOptions && arg.starts_with("-") && arg != "-") {
      if (arg == "--") {
        endOfOptions = true;
      } else if (arg == "--help" || arg == "-h") {
        PrintUsage(out);
        return kCliOk;
      } else if (arg == "--version") {
        std::fprintf(out, "kvmigrate-cli %s\n", std::string(kVersion).c_str());
        return kCliOk;
      } else if (arg == "--dry-run") {
        options.dryRun = true;
      } else if (arg == "--diff") {
        options.diff = true;
      } else if (arg == "--quiet" || arg == "-q") {
        options.quiet = true;
      } else if (arg == "--all-modules") {
        options.allModules = true;
      } else if (arg == "--web-root" || arg.starts_with("--web-root=")) {
        if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
          options.webRoot = std::string(arg.substr(eq + 1));
        } else if (i + 1 < argc) {
          options.webRoot = argv[++i];
        } else {
          return usageError("--web-root needs a value");
        }
      } else if (arg == "--confine") {
        options.entries.confine = true;
      } else if (arg == "--codepage" || arg.starts_with("--codepage=")) {
        if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
          options.entries.codepage = std::string(arg.substr(eq + 1));
        } else if (i + 1 < argc) {
          options.entries.codepage = argv[++i];
        } else {
          return usageError("--codepage needs a value");
        }
        if (!CodepageSupported(options.entries.codepage)) {
          return usageError("unknown code page " + options.entries.codepage);
        }
      } else if (arg == "--major" || arg == "--minor" || arg.starts_with("--major=") ||
                 arg.starts_with("--minor=")) {
        const bool major = arg.starts_with("--major");
        const std::optional<std::string> v = value(arg);
        if (!v) return usageError(std::string(arg) + " needs a value");
        (major ? options.major : options.minor) = *v;
      } else if (arg == "--check") {
        options.check = true;
      } else if (arg == "--no-scan") {
        options.scan = false;
      } else if (arg == "--json" || arg.starts_with("--json=")) {
        options.json = value(arg);
        if (!options.json) return usageError("--json needs a file");
      } else if (arg == "--scan" || arg.starts_with("--scan=")) {
        const std::optional<std::string> v = value(arg);
        if (!v) return usageError("--scan needs a PATH");
        if (options.path) return usageError("only one PATH may be given");
        options.scanOnly = true;
        options.path = *v;
      } else {
        return usageError("unknown option " + std::string(arg));
      }
    } else if (options.path) {
      return usageError("only one PATH may be given");
    } else {
      options.path = std::string(arg);
    }
  }
  if (!options.path) return usageError("no PATH given");
  if (options.scanOnly && !options.scan)
    return usageError("--scan and --no-scan exclude each other");
  const Kind kind = KindOf(*options.path);
  if (kind == Kind::Unknown) {
    return usageError("PATH must end in .vbp, .vbg or .sln: " + *options.path);
  }

  // A check or a scan writes no file of the project: it runs as a dry run,
  // and the scan then reads what the run would have written.
  const bool writeNothing = options.dryRun || options.check || options.scanOnly;
  PrintingReporter printer(out, err, options.quiet || options.scanOnly);
  // The search for leftovers is made only where its result is shown or
  // decides something: the summary (silenced by --quiet), --check, --scan and
  // --json.
  const bool scanShown = options.scan && (!options.quiet || options.check || options.scanOnly ||
                                          options.json.has_value());
  RunRecord record(*options.path);
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
      *options.path, reporter, &g_interrupted,
      [&](Disk& staged, Reporter& r, const CancelFlag* cancel) {
        DiffDisk diffing(staged, out);
        Disk& disk = options.diff ? static_cast<Disk&>(diffing) : staged;
        RunOutcome result;
        if (kind == Kind::Vb6) {
          Vb6Migrator migrator(disk);
          migrator.AllModules = options.allModules;
          migrator.Entries = options.entries;
          result = migrator.ConvertFile(*options.path, r, cancel);
        } else {
          DotNetMigrator migrator(disk);
          migrator.Entries = options.entries;
          if (options.webRoot) migrator.WebRoot = *options.webRoot;
          if (options.major) migrator.NewVersionMajor = *options.major;
          if (options.minor) migrator.NewVersionMinor = *options.minor;
          result = migrator.ConvertFile(*options.path, r, cancel);
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

  if (const int e = g_outputError.load()) {
    std::fprintf(err, "kvmigrate-cli: could not write the output: %s; %s\n", std::strerror(e),
                 outcome.status == RunOutcome::Status::Completed ? "the run had completed"
                                                                 : "no file was changed");
    return outcome.status == RunOutcome::Status::Failed ? kCliFailed : kCliInterrupted;
  }
  std::fflush(out);
  if (!options.quiet && outcome.status == RunOutcome::Status::Completed) {
    const std::string report = FormatReport(record, kLeftoversShown);
    std::fwrite(report.data(), 1, report.size(), err);
    if (options.check || options.scanOnly) {
      const std::string verdict = FormatVerdict(record, options.check) + "\n";
      std::fwrite(verdict.data(), 1, verdict.size(), err);
    }
  }
  if (options.json) {
    if (const int e = WriteJson(*options.json, RunRecordJson(record, AllRuleRows()), out)) {
      std::fprintf(err, "kvmigrate-cli: could not write %s: %s\n", options.json->c_str(),
                   std::strerror(e));
      return kCliFailed;
    }
  }
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
