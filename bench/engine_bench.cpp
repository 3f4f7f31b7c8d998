// The engines in memory: the .NET text migration, the VB6 text stages, the
// project parsing and the text helpers, on large generated inputs.
//
// Each timed region covers the engine call only; restoring the input between
// iterations is not counted. Throughput is reported as bytes_per_second of
// input.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "corpus.h"
#include "disk.h"
#include "dotnet_engine.h"
#include "rule_matcher.h"
#include "solution_parsing.h"
#include "string_functions.h"
#include "vb6_engine.h"

namespace {

constexpr size_t kMiB = size_t{1} << 20;

// Generated texts, made once per (size, density) and kept for the process.
const std::string& CSharp(size_t bytes, size_t matchEvery, size_t* placed = nullptr) {
  static std::map<std::pair<size_t, size_t>, std::pair<std::string, size_t>> cache;
  auto [it, fresh] = cache.try_emplace({bytes, matchEvery});
  if (fresh) it->second.first = kvbench::MakeCSharpText(bytes, matchEvery, 42, &it->second.second);
  if (placed) *placed = it->second.second;
  return it->second.first;
}

kv::RealDisk& Disk() {
  static kv::RealDisk disk;
  return disk;
}

// Times `run` on a fresh copy of `input` per iteration, held the way the
// file layer holds a file it has read (with room to grow in place).
template <typename Run>
void TimeOnCopies(benchmark::State& state, const std::string& input, Run run) {
  std::string text;
  text.reserve(input.size() + input.size() / 8 + 256);
  for (auto _ : state) {
    text.assign(input);
    const auto start = std::chrono::steady_clock::now();
    run(text);
    benchmark::DoNotOptimize(text.data());
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

// ConvertDotNetFile on C#-like text with one match per 2 KiB, by size.
void BM_ConvertDotNetFile(benchmark::State& state) {
  const std::string& input = CSharp(static_cast<size_t>(state.range(0)), 2048);
  const kv::DotNetMigrator migrator(Disk());
  TimeOnCopies(state, input, [&](std::string& t) { migrator.ConvertDotNetFile(t); });
}
BENCHMARK(BM_ConvertDotNetFile)
    ->Arg(4 << 10)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Arg(16 << 20)
    ->Arg(64 << 20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The same kind of text (4 MiB), every row applied in its own full pass (the
// approach the single scan replaces); for comparison only.
void BM_RowByRow4MiB(benchmark::State& state) {
  const std::string& input = CSharp(4 * kMiB, 2048);
  kv::RuleTable all = kv::BuildGuidRules();
  for (const kv::RuleRow& r : kv::BuildTextRules()) all.push_back(r);
  TimeOnCopies(state, input, [&](std::string& t) { kv::ApplyRowsOneByOne(t, all); });
}
BENCHMARK(BM_RowByRow4MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// The rule scan alone (GUID rows then name rows) on the 64 MiB text, by scan
// tier: 0 byte by byte, 1 SSE2, 2 AVX2 (skipped where the processor lacks it).
void BM_RuleMatcher64MiB(benchmark::State& state) {
  const auto tier = static_cast<kv::ScanTier>(state.range(0));
  if (!kv::ScanTierAvailable(tier)) {
    state.SkipWithError("scan tier not available on this processor");
    return;
  }
  kv::RuleTable all = kv::BuildGuidRules();
  for (const kv::RuleRow& r : kv::BuildTextRules()) all.push_back(r);
  const kv::RuleMatcher matcher(all, tier);
  TimeOnCopies(state, CSharp(64 * kMiB, 2048), [&](std::string& t) { matcher.Apply(t); });
}
BENCHMARK(BM_RuleMatcher64MiB)
    ->ArgName("tier")
    ->Arg(static_cast<int>(kv::ScanTier::Scalar))
    ->Arg(static_cast<int>(kv::ScanTier::Sse2))
    ->Arg(static_cast<int>(kv::ScanTier::Avx2))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// 100 MB in one text: 1,000,000 matches against none.
void BM_ConvertDotNetFile100MB(benchmark::State& state) {
  const size_t every = static_cast<size_t>(state.range(0));
  const std::string& input = CSharp(100000000, every);
  const kv::DotNetMigrator migrator(Disk());
  TimeOnCopies(state, input, [&](std::string& t) { migrator.ConvertDotNetFile(t); });
}
BENCHMARK(BM_ConvertDotNetFile100MB)
    ->ArgName("matchEvery")
    ->Arg(0)
    ->Arg(100)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// VB6 text stages on a 16 MiB form.
const std::string& Vb6Form() {
  static const std::string text = kvbench::MakeVb6Text(16 * kMiB, 2048, 7, true);
  return text;
}

void BM_Vb6ReplaceReferences(benchmark::State& state) {
  const kv::Vb6Migrator migrator(Disk());
  TimeOnCopies(state, Vb6Form(), [&](std::string& t) { migrator.ReplaceReferences(t); });
}
BENCHMARK(BM_Vb6ReplaceReferences)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Vb6ApplyTextRules(benchmark::State& state) {
  const kv::Vb6Migrator migrator(Disk());
  TimeOnCopies(state, Vb6Form(), [&](std::string& t) { migrator.ApplyTextRules(t); });
}
BENCHMARK(BM_Vb6ApplyTextRules)->UseManualTime()->Unit(benchmark::kMillisecond);

// Project parsing: a project that lists 20,000 files.
void BM_ListMemberFiles(benchmark::State& state) {
  static const std::string project = kvbench::MakeProjectText(20000, 3);
  size_t listed = 0;
  for (auto _ : state) {
    const kv::NameList files = kv::ListMemberFiles(project);
    listed = files.size();
    benchmark::DoNotOptimize(files[0].data());
  }
  state.SetLabel(std::to_string(listed) + " files listed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * project.size()));
}
BENCHMARK(BM_ListMemberFiles)->Unit(benchmark::kMillisecond);

// A solution of 2,000 projects.
void BM_GetSolutionEntries(benchmark::State& state) {
  static const std::string solution = [] {
    std::string s = "Microsoft Visual Studio Solution File, Format Version 8.00\r\n";
    for (int p = 0; p < 2000; ++p) {
      std::string name = "P";
      name += std::to_string(p);
      s += "Project(\"{FAE04EC0-301F-11D3-BF4B-00C04F79EFBC}\") = \"" + name + "\", \"" + name +
           "\\" + name +
           ".csproj\", \"{3C1A7E52-8B0D-4F6A-9E21-5D7B2C4A9F10}\"\r\n"
           "\tProjectSection(ProjectDependencies) = postProject\r\n\tEndProjectSection\r\n"
           "EndProject\r\n";
    }
    return s + "Global\r\nEndGlobal\r\n";
  }();
  for (auto _ : state) {
    benchmark::DoNotOptimize(kv::GetSolutionEntries(solution).data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * solution.size()));
}
BENCHMARK(BM_GetSolutionEntries)->Unit(benchmark::kMillisecond);

// Text helpers on 16 MiB: runs of blanks, line ends, tabs and quotes.
const std::string& HelperInput() {
  static const std::string text = [] {
    kvbench::Rng rng(11);
    std::string s;
    s.reserve(16 * kMiB);
    const char pieces[][8] = {"word", "  ", "    ", "\r\n", "\t", "\"q\"", ",", " ", "x,y"};
    while (s.size() < 16 * kMiB) s += pieces[rng.Below(std::size(pieces))];
    return s;
  }();
  return text;
}

void BM_NormalizeSpaces(benchmark::State& state) {
  TimeOnCopies(state, HelperInput(), [](std::string& t) { kv::NormalizeSpaces(t); });
}
BENCHMARK(BM_NormalizeSpaces)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_SplitToArray(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(kv::SplitToArray(HelperInput(), ",").data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * HelperInput().size()));
}
BENCHMARK(BM_SplitToArray)->Unit(benchmark::kMillisecond);

// The generated texts hold exactly the matches the generator placed; a
// benchmark over text that does not would measure the wrong thing.
bool InputsAreAsPlaced() {
  kv::RuleTable all = kv::BuildGuidRules();
  for (const kv::RuleRow& r : kv::BuildTextRules()) all.push_back(r);
  const kv::RuleMatcher matcher(all);
  for (const auto& [bytes, every] :
       {std::pair<size_t, size_t>{64 * kMiB, 2048}, {100000000, 100}, {100000000, 0}}) {
    size_t placed = 0;
    std::string text = CSharp(bytes, every, &placed);
    const size_t found = matcher.Apply(text);
    if (found != placed) {
      std::fprintf(stderr, "input %zu/%zu: placed %zu matches, found %zu\n", bytes, every, placed,
                   found);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!InputsAreAsPlaced()) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
