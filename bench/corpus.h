// Deterministic inputs for the benchmarks: C#-like source text with a chosen
// density of rule matches, .NET solution trees and VB6 projects. The same seed
// always gives the same bytes, on every machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvbench {

// A small, fast generator whose sequence is fixed by its seed (splitmix64).
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n); n > 0.
  size_t Below(size_t n) { return static_cast<size_t>(Next() % n); }

 private:
  uint64_t state_;
};

// C#-like source text of exactly `bytes` bytes (CRLF line ends). One line that
// holds exactly one occurrence of a rule's old text (in varying letter case)
// is placed every `matchEvery` bytes; 0 places none. The noise between them
// never matches a rule. `matches`, when given, receives the number placed.
std::string MakeCSharpText(size_t bytes, size_t matchEvery, uint64_t seed,
                           size_t* matches = nullptr);

// A VB6 form or module text of about `bytes` bytes with a header holding the
// old references and a body with one rule match every `matchEvery` bytes.
std::string MakeVb6Text(size_t bytes, size_t matchEvery, uint64_t seed, bool form);

// A Visual Studio .NET 2003 project text with COM references to the old
// libraries and `files` file elements (".cs" names, one ".resx" in eight and
// one ".ico" in sixteen, which is not listed for migration).
std::string MakeProjectText(size_t files, uint64_t seed);

// The sed script equivalent to the rule tables: one `s/old/new/gI` per row,
// GUID rows first.
std::string SedScript();
// The same rows as "old<TAB>new" lines, for tools given one literal pair at a time.
std::string RuleLines();

struct TreeOptions {
  size_t totalBytes = size_t{1} << 30;  // source bytes over all files
  size_t files = 20000;                 // source files (projects come on top)
  size_t projects = 100;
  size_t matchEvery = 2048;
  uint64_t seed = 1;
};

struct TreeSummary {
  size_t files = 0;    // files written, solution excluded
  size_t bytes = 0;    // their total size
  size_t largest = 0;  // size of the largest one
  size_t matches = 0;  // rule matches placed in the source files
};

// Writes a solution `Bench.sln` and its projects and source files below
// `folder` (created if missing). File sizes vary between about a fifth and
// twice the mean, from the seed.
TreeSummary WriteDotNetTree(const std::string& folder, const TreeOptions& options);

// Writes `Bench.vbp` listing `forms` forms and `modules` modules below
// `folder`, each about `bytesPerFile` bytes.
TreeSummary WriteVb6Project(const std::string& folder, size_t forms, size_t modules,
                            size_t bytesPerFile, uint64_t seed);

}  // namespace kvbench
