// Project files made to be slow, against ordinary ones of the same size: the
// whole VB6 walk (entry scan, text stages) and the .NET parsing and text
// migration, over a file system held in memory, so that only the engines'
// own work is timed.
//
// Each hostile input has an ordinary twin of the same size: generated VB6
// form text for the single files, and a project listing the same number of
// files side by side for the nested chain. The report divides the one time
// by the other (target: at most 2).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "cancel.h"
#include "corpus.h"
#include "disk.h"
#include "dotnet_engine.h"
#include "solution_parsing.h"
#include "transaction_run.h"
#include "vb6_engine.h"

namespace {

constexpr size_t kMiB = size_t{1} << 20;

// A project "P" of given bytes; other files are numbered: "<n>" holds `leaf`
// and, below `chainTo`, a form entry naming the next one.
class BenchDisk : public kv::Disk {
 public:
  BenchDisk(const std::string& project, size_t chainTo, std::string leaf)
      : project_(project), chainTo_(chainTo), leaf_(std::move(leaf)) {}
  std::optional<std::string> Find(std::string_view path, std::string_view) override {
    if (path == "P") return std::string(path);
    if (path.empty() || path.size() > 8 || path.find_first_not_of("0123456789") != path.npos) {
      return std::nullopt;
    }
    return std::string(path);
  }
  std::optional<kv::FileKey> Key(const std::string& path) override {
    return kv::FileKey{1, path == "P" ? 0 : std::stoull(path) + 1};
  }
  kv::IoError ReadAll(const std::string& path, std::string* contents) override {
    if (path == "P") {
      *contents = project_;
    } else if (const size_t n = std::stoull(path); n < chainTo_) {
      *contents = "Form=" + std::to_string(n + 1) + "\r\n";
    } else {
      *contents = leaf_;
    }
    return kv::IoError{};
  }
  kv::IoError WriteAll(const std::string&, std::string_view) override { return kv::IoError{}; }
  std::optional<std::string> Canonical(const std::string& path) override { return "/" + path; }

 private:
  const std::string& project_;
  size_t chainTo_;
  std::string leaf_;
};

struct Null : kv::Reporter {
  void Report(const kv::ProgressEvent&) override {}
};

// Both engines over a project text: the VB6 run with `project` as the .vbp,
// then the .NET parsers and text migration on the same bytes.
void RunBoth(const std::string& project, size_t chainTo = 0, const std::string& leaf = "") {
  BenchDisk disk(project, chainTo, leaf);
  Null null;
  kv::Vb6Migrator vb6(disk);
  benchmark::DoNotOptimize(vb6.ConvertFile("P", null));
  benchmark::DoNotOptimize(kv::GetSolutionEntries(project));
  benchmark::DoNotOptimize(kv::ListMemberFiles(project));
  const kv::DotNetMigrator dotnet(disk);
  std::string text = project;
  dotnet.ConvertDotNetFile(text);
  benchmark::DoNotOptimize(text.data());
  text = project;
  dotnet.ConvertDotNetProject(text);
  benchmark::DoNotOptimize(text.data());
}

std::string Repeat(std::string_view unit, size_t bytes) {
  std::string out;
  out.reserve(bytes + unit.size());
  while (out.size() < bytes) out += unit;
  return out;
}

std::string Ordinary(size_t bytes) {
  std::string text = kvbench::MakeVb6Text(bytes, 2048, 42, true);
  text.resize(bytes, ' ');
  return text;
}

void Report(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// "Module=a" lines without ";", 16 MiB.
void BM_HostileModuleLines(benchmark::State& state) {
  static const std::string input = Repeat("Module=a\r\n", 16 * kMiB);
  for (auto _ : state) RunBoth(input);
  Report(state, input.size());
}
void BM_OrdinaryModuleLines(benchmark::State& state) {
  static const std::string input = Ordinary(Repeat("Module=a\r\n", 16 * kMiB).size());
  for (auto _ : state) RunBoth(input);
  Report(state, input.size());
}

// One line of 64 MiB (ordinary text with its line breaks made blanks).
void BM_HostileLongLine(benchmark::State& state) {
  static const std::string input = [] {
    std::string text = Ordinary(64 * kMiB);
    for (char& c : text) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    return text;
  }();
  for (auto _ : state) RunBoth(input);
  Report(state, input.size());
}
void BM_OrdinaryLongLine(benchmark::State& state) {
  static const std::string input = Ordinary(64 * kMiB);
  for (auto _ : state) RunBoth(input);
  Report(state, input.size());
}

// 1,000,000 "Form=" on one line.
void BM_HostileFormsOnOneLine(benchmark::State& state) {
  static const std::string input = Repeat("Form=", 5 * 1'000'000);
  for (auto _ : state) RunBoth(input);
  Report(state, input.size());
}
void BM_OrdinaryFormsOnOneLine(benchmark::State& state) {
  static const std::string input = Ordinary(5 * 1'000'000);
  for (auto _ : state) RunBoth(input);
  Report(state, input.size());
}

// MSBuild items that never close, 16 MiB: no ">" anywhere after them.
void BM_HostileOpenItems(benchmark::State& state) {
  static const std::string input = Repeat("<Compile Include=\"a.cs\"\r\n", 16 * kMiB);
  for (auto _ : state) RunBoth(input);
  Report(state, input.size());
}
void BM_OrdinaryOpenItems(benchmark::State& state) {
  static const std::string input =
      Ordinary(Repeat("<Compile Include=\"a.cs\"\r\n", 16 * kMiB).size());
  for (auto _ : state) RunBoth(input);
  Report(state, input.size());
}

// 1,000,000 forms, each listing the next, against a project listing the same
// 1,000,000 forms itself.
constexpr size_t kLevels = 1'000'000;
void BM_HostileNested(benchmark::State& state) {
  static const std::string input = "Form=1\r\n";
  for (auto _ : state) RunBoth(input, kLevels, "Rem\r\n");
}
void BM_OrdinaryNested(benchmark::State& state) {
  static const std::string input = [] {
    std::string text;
    for (size_t i = 1; i <= kLevels; ++i) text += "Form=" + std::to_string(i) + "\r\n";
    return text;
  }();
  for (auto _ : state) RunBoth(input, 0, "Form=0000000\r\n");
}

// A stop inside one large file: a dry run through the real file layer over a
// project whose one member is 256 MiB (VB6: a form; .NET: a C# source), the
// stop flag raised from another thread at moments spread over the run. The
// time reported is from raising the flag to the run's end; "max_ms" is the
// longest of them, "gap_ms" the longest time between two looks at the flag
// in a run that is not stopped.
constexpr size_t kLargeFile = 256 * kMiB;

// The projects, written once per process below the temporary folder and
// removed at its end.
struct LargeFiles {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / "kvbench-stop-inside-one-file";
  LargeFiles() {
    std::filesystem::create_directories(dir);
    auto write = [&](const char* name, const std::string& text) {
      std::ofstream(dir / name, std::ios::binary).write(text.data(), std::streamsize(text.size()));
    };
    write("P.vbp", "Form=Big.frm\r\n");
    write("Big.frm", kvbench::MakeVb6Text(kLargeFile, 2048, 7, true));
    write("S.sln", "Project(\"{X}\") = \"P\", \"P.csproj\", \"{Y}\"\r\nEndProject\r\n");
    write("P.csproj", "<File RelPath = \"Big.cs\" />\r\n");
    write("Big.cs", kvbench::MakeCSharpText(kLargeFile, 2048, 7));
  }
  ~LargeFiles() { std::filesystem::remove_all(dir); }
};

std::string Folder() {
  static const LargeFiles files;
  return files.dir.string() + "/";
}

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// One dry run over the engine's project; returns when it ended.
Clock::time_point RunOnce(bool vb6, const kv::CancelFlag* flag) {
  const std::string project = Folder() + (vb6 ? "P.vbp" : "S.sln");
  Null null;
  kv::Transaction::Options options;
  options.dryRun = true;
  kv::RunAsTransaction(
      project, null, flag,
      [&](kv::Disk& disk, kv::Reporter& reporter, const kv::CancelFlag* cancel) {
        if (vb6) return kv::Vb6Migrator(disk).ConvertFile(project, reporter, cancel);
        return kv::DotNetMigrator(disk).ConvertFile(project, reporter, cancel);
      },
      options);
  return Clock::now();
}

void BM_StopInsideOneLargeFile(benchmark::State& state) {
  const bool vb6 = state.range(0) == 0;
  Folder();
  // A whole run, timing the looks at the flag.
  kv::CancelFlag never{false};
  Clock::time_point last = Clock::now();
  double gap = 0;
  kv::SetCancelPollHook([&] {
    const Clock::time_point now = Clock::now();
    gap = std::max(gap, Ms(now - last));
    last = now;
  });
  const Clock::time_point start = last;
  const Clock::time_point end = RunOnce(vb6, &never);
  kv::SetCancelPollHook({});
  gap = std::max(gap, Ms(end - last));
  const double whole = Ms(end - start);

  double worst = 0;
  size_t k = 0;
  for (auto _ : state) {
    kv::CancelFlag flag{false};
    Clock::time_point ended;
    std::thread run([&] { ended = RunOnce(vb6, &flag); });
    // Raised at 1/16, 3/16, ... 15/16 of a whole run, in turn.
    const double at = whole * static_cast<double>(2 * (k++ % 8) + 1) / 16;
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(at));
    const Clock::time_point raised = Clock::now();
    flag.store(true);
    run.join();
    // A run that ended before the flag was raised counts as stopped at once.
    const double ms = std::max(0.0, Ms(ended - raised));
    worst = std::max(worst, ms);
    state.SetIterationTime(ms / 1000);
  }
  state.counters["max_ms"] = worst;
  state.counters["gap_ms"] = gap;
  state.counters["run_ms"] = whole;
}

}  // namespace

BENCHMARK(BM_StopInsideOneLargeFile)
    ->ArgName("vb6_dotnet")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(8);
BENCHMARK(BM_HostileModuleLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrdinaryModuleLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileLongLine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrdinaryLongLine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileFormsOnOneLine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrdinaryFormsOnOneLine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileOpenItems)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrdinaryOpenItems)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileNested)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_OrdinaryNested)->Unit(benchmark::kMillisecond)->Iterations(1);
