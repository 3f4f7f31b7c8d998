#include "cli.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diff.h"
#include "disk.h"
#include "dotnet_engine.h"
#include "kv_version.h"
#include "progress.h"
#include "string_functions.h"
#include "vb6_engine.h"

namespace kv {

namespace {

constexpr std::string_view kVersion = KV_VERSION_TEXT;

void PrintUsage(std::FILE* to) {
  std::fputs(
      "Usage: kvmigrate-cli [--major TEXT] [--minor TEXT] [--dry-run] [--diff] [--quiet] PATH\n"
      "\n"
      "Migrates a project in place to version 5 of the component libraries.\n"
      "PATH ending in .vbp: a VB6 project with the forms and modules it lists.\n"
      "PATH ending in .sln: a .NET solution with its projects and their .cs, .vb\n"
      "and .resx files.\n"
      "\n"
      "  --major TEXT  target major version of .NET references (default 5)\n"
      "  --minor TEXT  target minor version of .NET references (default 0)\n"
      "  --dry-run     write nothing; print what a real run would print\n"
      "  --diff        also print a unified diff of every file that changes\n"
      "  --quiet       print no progress lines\n"
      "  --help        show this help\n"
      "  --version     show the version\n"
      "\n"
      "Exit status: 0 done; 1 done, but a file was missing or could not be\n"
      "modified; 2 bad arguments; 3 stopped by a failure (the last line says\n"
      "which file and why).\n",
      to);
}

struct Options {
  std::optional<std::string> major;
  std::optional<std::string> minor;
  bool dryRun = false;
  bool diff = false;
  bool quiet = false;
  std::optional<std::string> path;
};

enum class Kind { Vb6, DotNet, Unknown };

Kind KindOf(std::string_view path) {
  auto endsWith = [&](std::string_view ext) {
    return path.size() >= ext.size() && EqualsNoCase(path.substr(path.size() - ext.size()), ext);
  };
  if (endsWith(".vbp")) return Kind::Vb6;
  if (endsWith(".sln")) return Kind::DotNet;
  return Kind::Unknown;
}

// Writes progress lines to the output as they come, and what the user must
// look at (files passed over or not modified) also to standard error.
class PrintingReporter : public Reporter {
 public:
  PrintingReporter(std::FILE* out, std::FILE* err, bool quiet)
      : out_(out), err_(err), quiet_(quiet) {}
  void Report(const ProgressEvent& event) override {
    if (const std::optional<std::string> notice = FormatNotice(event)) {
      std::fflush(out_);
      std::fprintf(err_, "kvmigrate-cli: %s\n", notice->c_str());
    }
    if (quiet_) return;
    if (const std::optional<std::string> line = FormatLine(event)) {
      std::fwrite(line->data(), 1, line->size(), out_);
      std::fputc('\n', out_);
    }
  }

 private:
  std::FILE* out_;
  std::FILE* err_;
  bool quiet_;
};

// Stands between an engine and the disk for --dry-run and --diff: a dry run
// keeps what would be written in memory (and checks that the write would be
// allowed); --diff prints what each write changes.
class PreviewDisk : public Disk {
 public:
  PreviewDisk(Disk& real, bool dryRun, std::FILE* diffOut)
      : real_(real), dryRun_(dryRun), diffOut_(diffOut) {}

  std::optional<std::string> Find(std::string_view path, std::string_view base) override {
    return real_.Find(path, base);
  }
  std::optional<FileKey> Key(const std::string& path) override { return real_.Key(path); }

  IoError ReadAll(const std::string& path, std::string* contents) override {
    if (const std::string* pending = Pending(path)) {
      *contents = *pending;
      return IoError{};
    }
    return real_.ReadAll(path, contents);
  }

  IoError WriteAll(const std::string& path, std::string_view contents) override {
    std::string before;
    if (diffOut_) {
      if (IoError e = ReadAll(path, &before)) return e;
    }
    if (dryRun_) {
      if (IoError e = CheckWritable(path)) return e;
      if (const std::optional<FileKey> key = real_.Key(path)) pending_[*key] = contents;
    } else if (IoError e = real_.WriteAll(path, contents)) {
      return e;
    }
    if (diffOut_) {
      const std::string diff = UnifiedDiff(before, contents, path);
      std::fwrite(diff.data(), 1, diff.size(), diffOut_);
    }
    return IoError{};
  }

 private:
  const std::string* Pending(const std::string& path) {
    if (pending_.empty()) return nullptr;
    const std::optional<FileKey> key = real_.Key(path);
    if (!key) return nullptr;
    auto it = pending_.find(*key);
    return it == pending_.end() ? nullptr : &it->second;
  }

  Disk& real_;
  bool dryRun_;
  std::FILE* diffOut_;
  std::map<FileKey, std::string> pending_;
};

CancelFlag g_interrupted{false};

extern "C" void OnInterrupt(int) { g_interrupted.store(true); }

}  // namespace

int RunCli(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  Options options;
  auto usageError = [&](const std::string& message) {
    std::fprintf(err, "kvmigrate-cli: %s\n", message.c_str());
    PrintUsage(err);
    return kCliUsage;
  };

  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
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
      } else if (arg == "--major" || arg == "--minor" || arg.starts_with("--major=") ||
                 arg.starts_with("--minor=")) {
        const bool major = arg.starts_with("--major");
        std::string value;
        if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
          value = std::string(arg.substr(eq + 1));
        } else if (i + 1 < argc) {
          value = argv[++i];
        } else {
          return usageError(std::string(arg) + " needs a value");
        }
        (major ? options.major : options.minor) = value;
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
  const Kind kind = KindOf(*options.path);
  if (kind == Kind::Unknown) return usageError("PATH must end in .vbp or .sln: " + *options.path);

  RealDisk realDisk;
  PreviewDisk disk(realDisk, options.dryRun, options.diff ? out : nullptr);
  PrintingReporter reporter(out, err, options.quiet);

  g_interrupted.store(false);
  struct sigaction action = {};
  struct sigaction oldInt = {}, oldTerm = {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);

  RunOutcome outcome;
  if (kind == Kind::Vb6) {
    if (options.major || options.minor) {
      std::fputs(
          "kvmigrate-cli: note: --major and --minor apply to .sln solutions; VB6 "
          "references always become 5.0\n",
          err);
    }
    Vb6Migrator migrator(disk);
    outcome = migrator.ConvertFile(*options.path, reporter, &g_interrupted);
  } else {
    DotNetMigrator migrator(disk);
    if (options.major) migrator.NewVersionMajor = *options.major;
    if (options.minor) migrator.NewVersionMinor = *options.minor;
    outcome = migrator.ConvertFile(*options.path, reporter, &g_interrupted);
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);

  outcome = ReportEnd(reporter, std::move(outcome));
  switch (outcome.status) {
    case RunOutcome::Status::Completed:
      std::fflush(out);
      return outcome.counts.Incomplete() ? kCliIncomplete : kCliOk;
    case RunOutcome::Status::Failed:
      std::fflush(out);
      std::fprintf(err, "%s\n", outcome.failure.c_str());
      return kCliFailed;
    case RunOutcome::Status::Cancelled:
      std::fflush(out);
      std::fputs("kvmigrate-cli: interrupted; the files written so far are complete\n", err);
      return kCliInterrupted;
  }
  return kCliFailed;
}

}  // namespace kv
