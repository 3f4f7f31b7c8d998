// The rule tables on any bytes: the one-scan matcher gives exactly what the
// rows applied one by one give (each a plain case-folded replace-all that
// leaves a text already reading as the new text alone); a second application
// changes nothing; every byte outside a match comes through unchanged.
//
// Input: the first byte picks the table (names only, or GUIDs then names as
// the .NET migration applies them); the rest is the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "reference.h"
#include "rule_matcher.h"

using kvfuzz::Check;
using kvfuzz::CheckEq;

namespace {

kv::RuleTable GuidsThenNames() {
  kv::RuleTable table = kv::BuildGuidRules();
  const kv::RuleTable names = kv::BuildTextRules();
  table.insert(table.end(), names.begin(), names.end());
  return table;
}

const kv::RuleTable& Table(bool withGuids) {
  static const kv::RuleTable names = kv::BuildTextRules();
  static const kv::RuleTable all = GuidsThenNames();
  return withGuids ? all : names;
}

// One matcher per scan tier that this processor has.
std::vector<kv::RuleMatcher> MakeMatchers(const kv::RuleTable& table) {
  std::vector<kv::RuleMatcher> matchers;
  for (const kv::ScanTier tier : {kv::ScanTier::Scalar, kv::ScanTier::Sse2, kv::ScanTier::Avx2}) {
    if (kv::ScanTierAvailable(tier)) matchers.emplace_back(table, tier);
  }
  // The best tier once more, scanning every text in two halves at once.
  matchers.push_back(matchers.back());
  matchers.back().SetParallelFrom(0);
  return matchers;
}

const std::vector<kv::RuleMatcher>& Matchers(bool withGuids) {
  static const std::vector<kv::RuleMatcher> names = MakeMatchers(Table(false));
  static const std::vector<kv::RuleMatcher> all = MakeMatchers(Table(true));
  return withGuids ? all : names;
}

// Walks `before` and `after` side by side: each position of `before` either
// starts an occurrence of the row's old text, which `after` must show as the
// new text (or, when the occurrence already reads as the new text, unchanged),
// or holds a byte that `after` must repeat. Nothing else may differ.
void CheckOnlyMatchesChanged(const std::string& before, const std::string& after,
                             const kv::RuleRow& row) {
  const std::string& o = row.oldText;
  const std::string& n = row.newText;
  const bool mayBeNewAlready = n.size() > o.size() && ref::StandsAt(n, 1, o, true);
  size_t i = 0;
  size_t j = 0;
  while (i < before.size()) {
    if (ref::StandsAt(before, i + 1, o, true)) {
      if (mayBeNewAlready && ref::StandsAt(before, i + 1, n, true)) {
        Check(after.compare(j, o.size(), before, i, o.size()) == 0,
              "an occurrence already reading as the new text is left as it was");
        j += o.size();
      } else {
        Check(after.compare(j, n.size(), n) == 0, "an occurrence becomes the new text");
        j += n.size();
      }
      i += o.size();
      continue;
    }
    Check(j < after.size() && after[j] == before[i], "a byte outside every match is kept");
    ++i;
    ++j;
  }
  Check(j == after.size(), "nothing is added after the last byte");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool withGuids = (data[0] & 1) != 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const kv::RuleTable& table = Table(withGuids);

  // Row by row: the library's replace-all against the literal one, and the
  // bytes between matches.
  std::string expected = text;
  size_t expectedCount = 0;
  for (const kv::RuleRow& row : table) {
    const std::string before = expected;
    const size_t slowCount = ref::ApplyRow(expected, row.oldText, row.newText);
    std::string fast = before;
    const size_t fastCount = kv::ApplyRow(fast, row);
    CheckEq(fast, expected, "ApplyRow against the literal replace-all");
    Check(fastCount == slowCount, "ApplyRow counts what it replaced");
    CheckOnlyMatchesChanged(before, expected, row);
    expectedCount += slowCount;
  }

  std::string oneByOne = text;
  const size_t oneByOneCount = kv::ApplyRowsOneByOne(oneByOne, table);
  CheckEq(oneByOne, expected, "ApplyRowsOneByOne");
  Check(oneByOneCount == expectedCount, "ApplyRowsOneByOne count");

  for (const kv::RuleMatcher& matcher : Matchers(withGuids)) {
    std::string scanned = text;
    bool changed = false;
    const size_t scannedCount = matcher.Apply(scanned, nullptr, &changed);
    CheckEq(scanned, expected, "one scan equals the rows one by one");
    Check(changed == (scanned != text), "told changed exactly when a byte changed");
    Check(scannedCount == expectedCount, "one scan counts what the rows replace");
    if (scannedCount == 0) CheckEq(scanned, text, "no replacement leaves every byte");

    // Migrating a migrated text changes nothing more.
    std::string again = scanned;
    Check(matcher.Apply(again) == 0, "second scan replaces nothing");
    CheckEq(again, scanned, "second scan");
  }
  std::string again = expected;
  Check(kv::ApplyRowsOneByOne(again, table) == 0, "second row-by-row pass replaces nothing");
  CheckEq(again, expected, "second row-by-row pass");
  return 0;
}
