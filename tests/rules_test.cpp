// The rule tables and their application.
#include <gtest/gtest.h>

#include <cctype>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "rule_matcher.h"
#include "string_functions.h"

namespace kv {
namespace {

using namespace std::string_literals;

TEST(RuleTables, RowsAndShapes) {
  const RuleTable guids = BuildGuidRules();
  const RuleTable texts = BuildTextRules();
  ASSERT_EQ(guids.size(), 3u);
  ASSERT_EQ(texts.size(), 15u);
  EXPECT_EQ(texts[0].oldText, ".GripColor");
  EXPECT_EQ(texts[0].newText, ".GripColor.ColorIndex");
  EXPECT_EQ(texts[11].newText, ".IMGSaveSize");
  EXPECT_EQ(texts[14].oldText, "VUVedaZir");
  EXPECT_EQ(texts[14].newText, "VUVedaZir5");
  for (const RuleRow& row : guids) {
    for (const std::string& g : {row.oldText, row.newText}) {
      ASSERT_EQ(g.size(), 38u) << g;
      EXPECT_EQ(g.front(), '{');
      EXPECT_EQ(g.back(), '}');
      EXPECT_EQ(g, ToUpperAscii(g));
    }
  }
  EXPECT_EQ(BuildTextRules().size(), 15u);  // building again gives the same rows, not more
}

// The matcher refuses a table whose one scan could differ from its rows
// applied one by one, and takes every table that cannot.
TEST(RuleMatcher, ChecksItsTableWhenBuilt) {
  RuleTable all = BuildGuidRules();
  for (const RuleRow& r : BuildTextRules()) all.push_back(r);
  struct Case {
    const char* name;
    RuleTable table;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {.name = "built-in", .table = all, .accepted = true},
      {.name = "names only", .table = BuildTextRules(), .accepted = true},
      {.name = "a later old text ends where a new text begins, as the old one does",
       .table = {{"ab", "abX"}, {"qa", "Q"}},
       .accepted = true},
      {.name = "a later old text inside an earlier new text",
       .table = {{"ab", "xCDx"}, {"cd", "E"}},
       .accepted = false},
      {.name = "the same, letter case differing",
       .table = {{"ab", "xcdx"}, {"CD", "E"}},
       .accepted = false},
      {.name = "an earlier old text inside a later new text",
       .table = {{"cd", "E"}, {"ab", "xCDx"}},
       .accepted = true},
      {.name = "the end of a new text begins a later old text",
       .table = {{"ab", "abc"}, {"cd", "E"}},
       .accepted = false},
      {.name = "the same with old and new alike",
       .table = {{"ab", "ab"}, {"bc", "X"}},
       .accepted = false},
      {.name = "a new text begins a later old text's end, unlike its old text",
       .table = {{"ab", "Xb"}, {"qx", "Q"}},
       .accepted = false},
      {.name = "a new text inside a later old text",
       .table = {{"ab", "Z"}, {"xzy", "Q"}},
       .accepted = false},
      {.name = "an empty new text before another row",
       .table = {{"ab", ""}, {"xy", "Q"}},
       .accepted = false},
      {.name = "an empty new text last", .table = {{"xy", "Q"}, {"ab", ""}}, .accepted = true},
      {.name = "old text of one byte", .table = {{"a", "b"}}, .accepted = false},
      {.name = "33 rows", .table = RuleTable(33, RuleRow{"ab", "ab"}), .accepted = false},
  };
  for (const Case& c : cases) {
    if (c.accepted) {
      EXPECT_NO_THROW(RuleMatcher{c.table}) << c.name;
    } else {
      EXPECT_THROW(RuleMatcher{c.table}, std::invalid_argument) << c.name;
    }
  }
}

// Small random tables over a few letters: every table the matcher takes gives,
// with every scan tier, what its rows give one by one.
TEST(RuleMatcher, EveryTableItTakesEqualsRowByRow) {
  std::mt19937 rng(42);
  auto word = [&](size_t minLength, size_t maxLength) {
    std::string w(minLength + rng() % (maxLength - minLength + 1), ' ');
    for (char& c : w) c = "abcA"[rng() % 4];
    return w;
  };
  size_t taken = 0;
  for (int t = 0; t < 3000; ++t) {
    RuleTable table;
    for (size_t r = 0, n = 1 + rng() % 3; r < n; ++r) {
      std::string old = word(2, 3);
      // Often a new text that begins with the old one, as most real rows do.
      table.push_back({old, rng() % 2 ? old + word(0, 2) : word(0, 4)});
    }
    for (const ScanTier tier : {ScanTier::Scalar, BestScanTier()}) {
      std::optional<RuleMatcher> matcher;
      try {
        matcher.emplace(table, tier);
      } catch (const std::invalid_argument&) {
        continue;
      }
      ++taken;
      for (int i = 0; i < 50; ++i) {
        const std::string text = word(0, 40);
        std::string fast = text, slow = text;
        std::vector<size_t> hits(table.size()), expectedHits;
        const size_t count = matcher->Apply(fast, &hits);
        for (const RuleRow& r : table) expectedHits.push_back(ApplyRow(slow, r));
        const size_t expected =
            std::accumulate(expectedHits.begin(), expectedHits.end(), size_t{0});
        std::string rows;
        for (const RuleRow& r : table) rows += r.oldText + " -> " + r.newText + "; ";
        ASSERT_EQ(fast, slow) << "input: " << text << " table: " << rows;
        ASSERT_EQ(count, expected) << "input: " << text << " table: " << rows;
        ASSERT_EQ(hits, expectedHits) << "input: " << text << " table: " << rows;
      }
    }
  }
  EXPECT_GT(taken, 1000u);
}

TEST(ApplyRow, ReplacesEveryOccurrenceAndSkipsWhatIsAlreadyNew) {
  const RuleTable texts = BuildTextRules();
  struct Case {
    size_t row;
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {.row = 2,
       .in = "a.PenColor b.pencolor c.PENCOLOR",
       .out = "a.PenColor.ColorIndex b.PenColor.ColorIndex c.PenColor.ColorIndex"},
      {.row = 2, .in = "x.PenColor.ColorIndex", .out = "x.PenColor.ColorIndex"},
      {.row = 2, .in = "x.pencolor.colorindex", .out = "x.pencolor.colorindex"},
      {.row = 2, .in = "x.PenColor.Color", .out = "x.PenColor.ColorIndex.Color"},
      {.row = 2, .in = "PenColor", .out = "PenColor"},
      {.row = 12, .in = "REDidIzo5 redidizo", .out = "REDidIzo5 REDidIzo5"},
      {.row = 12, .in = "redidizo55", .out = "redidizo55"},
      {.row = 11, .in = "a.wmfsavesize", .out = "a.IMGSaveSize"},
      {.row = 11, .in = "", .out = ""},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    ApplyRow(text, texts[c.row]);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(RuleMatcher, ExamplesAndByteIdentity) {
  RuleTable all = BuildGuidRules();
  for (const RuleRow& r : BuildTextRules()) all.push_back(r);
  const RuleMatcher matcher(all);
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {.in = "c.pencolor = 1\r\n", .out = "c.PenColor.ColorIndex = 1\r\n"},
      {.in = "{830c3fd1-54a5-4249-97b6-097ac6407367}",
       .out = "{40A55DB2-3BA5-4295-AE1B-49DB83A90929}"},
      {.in = "Dim x As redidizo.Drawing", .out = "Dim x As REDidIzo5.Drawing"},
      {.in = "\xff\0.FillColor\0"s, .out = "\xff\0.FillColor.ColorIndex\0"s},
      {.in = ".ActiveFillColor .ActiveColor .FillColor",
       .out = ".ActiveFillColor.ColorIndex .ActiveColor.ColorIndex .FillColor.ColorIndex"},
      {.in = "VUVedaZiredidizo", .out = "VUVedaZir5EDidIzo5"},
      {.in = "no match here\n", .out = "no match here\n"},
      {.in = "", .out = ""},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    matcher.Apply(text);
    EXPECT_EQ(text, c.out);
    std::string reference = c.in;
    ApplyRowsOneByOne(reference, all);
    EXPECT_EQ(text, reference) << c.in;
  }
}

// Random texts built from pieces of the rows (in random letter case), glued
// with noise: the one-scan matcher must equal the rows applied one by one, and
// a second application must change nothing.
TEST(RuleMatcher, EqualsRowByRowOnRandomTexts) {
  RuleTable all = BuildGuidRules();
  for (const RuleRow& r : BuildTextRules()) all.push_back(r);
  const RuleMatcher matcher(all);
  std::vector<std::string> pieces = {".", "5", "r", "R", "\r\n", " ", "\0"s, "{", "Color", "Index"};
  for (const RuleRow& r : all) {
    pieces.push_back(r.oldText);
    pieces.push_back(r.newText);
    pieces.push_back(r.oldText.substr(0, r.oldText.size() / 2));
    pieces.push_back(r.oldText.substr(r.oldText.size() / 2));
  }
  std::mt19937 rng(20261208);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string text;
    const int n = static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) {
      std::string p = pieces[rng() % pieces.size()];
      for (char& ch : p) {
        if (rng() % 3 == 0 && ch >= 'a' && ch <= 'z')
          ch = static_cast<char>(ch - 32);
        else if (rng() % 3 == 0 && ch >= 'A' && ch <= 'Z')
          ch = static_cast<char>(ch + 32);
      }
      text += p;
    }
    std::string fast = text, slow = text;
    matcher.Apply(fast);
    ApplyRowsOneByOne(slow, all);
    ASSERT_EQ(fast, slow) << "input: " << text;
    std::string again = fast;
    EXPECT_EQ(matcher.Apply(again), 0u) << "input: " << text;
    EXPECT_EQ(again, fast);
  }
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

// Every scan tier this processor has.
std::vector<ScanTier> Tiers() {
  std::vector<ScanTier> tiers;
  for (const ScanTier t : {ScanTier::Scalar, ScanTier::Sse2, ScanTier::Avx2}) {
    if (ScanTierAvailable(t)) tiers.push_back(t);
  }
  return tiers;
}

RuleTable AllRows() {
  RuleTable all = BuildGuidRules();
  for (const RuleRow& r : BuildTextRules()) all.push_back(r);
  return all;
}

// A text of pieces of the table's rows (letter case varied) and noise,
// `pieces` long; long enough that the vector scans run over many blocks.
std::string RandomText(std::mt19937& rng, const RuleTable& table, size_t pieces) {
  std::vector<std::string> parts = {".",     "5",     "r",       "R",        "re",
                                    "\r\n",  " ",     "\0"s,     "{",        "[",
                                    "Color", "Index", "return ", "\xc1\xe9", "value"};
  for (const RuleRow& r : table) {
    parts.push_back(r.oldText);
    parts.push_back(r.newText);
    parts.push_back(r.oldText.substr(0, 3));
    parts.push_back(r.oldText.substr(0, r.oldText.size() - 1));
    parts.push_back(r.oldText.substr(1));
  }
  std::string text;
  for (size_t k = 0; k < pieces; ++k) {
    std::string p = parts[rng() % parts.size()];
    for (char& ch : p) {
      if (rng() % 3 == 0)
        ch = static_cast<char>(ToUpperAscii(std::string(1, ch))[0]);
      else if (rng() % 3 == 0)
        ch = FoldAscii(ch);
    }
    text += p;
  }
  return text;
}

// Tables other than the built-in ones, with the properties the single scan
// relies on (no old text inside another row's texts, and new texts made of
// bytes that no old text holds, so that a replacement never forms a match of a
// later row).
const std::vector<std::pair<const char*, RuleTable>>& Tables() {
  static const std::vector<std::pair<const char*, RuleTable>> tables = {
      {"built-in", AllRows()},
      {"shortening", {{"qqzz", "#"}, {"wwwww", "@@"}, {"xy", "!"}, {"Kite", "=="}}},
      {"two-byte rows, more prefixes than buckets",
       {{"ab", "ab9"},
        {"cd", "cd99"},
        {"ef", "8"},
        {"gh", "gh9"},
        {"ij", "ij7"},
        {"kl", "kl9"},
        {"mn", "mn9"},
        {"op", "77"},
        {"qr", "qr9"},
        {"st", "st9"},
        {"uz", "uz9"},
        {"AZ", "AZ9"}}},
      {"same length", {{"PenX", "P#n#"}, {".wmf", ".@@@"}, {"zAz", "###"}}},
      {"letter case only", {{"PenX", "PENX"}, {"zAz", "zaz"}, {".wmf", ".wmf"}}},
  };
  return tables;
}

// Every scan, on long texts of every table, whole or in two halves at once:
// the same result as the rows applied one by one, and told changed exactly
// when some byte changed.
TEST(RuleMatcher, EveryScanEqualsRowByRowOnLongTexts) {
  for (const ScanTier tier : Tiers()) {
    for (const auto& [name, table] : Tables()) {
      RuleMatcher matcher(table, tier);
      std::mt19937 rng(7);
      for (int iter = 0; iter < 300; ++iter) {
        matcher.SetParallelFrom(iter % 2 ? 0 : SIZE_MAX);
        const std::string text = RandomText(rng, table, 1 + rng() % 200);
        std::string fast = text, slow = text;
        bool changed = false;
        std::vector<size_t> hits(table.size()), expected;
        const size_t count = matcher.Apply(fast, &hits, &changed);
        for (const RuleRow& row : table) expected.push_back(ApplyRow(slow, row));
        ASSERT_EQ(fast, slow) << name << " scan " << static_cast<int>(tier) << " input: " << text;
        EXPECT_EQ(hits, expected) << name;
        EXPECT_EQ(count, std::accumulate(expected.begin(), expected.end(), size_t{0})) << name;
        EXPECT_EQ(changed, fast != text) << name << " input: " << text;
        // Planned without touching the text: the same result, counts and
        // verdict whenever the plan is taken.
        std::vector<TextEdit> edits;
        std::vector<size_t> planHits(table.size());
        bool planChanged = false;
        if (matcher.Plan(text, &edits, &planHits, &planChanged)) {
          ASSERT_EQ((EditedText{text, edits}.Join()), slow) << name << " input: " << text;
          EXPECT_EQ(planHits, expected) << name;
          EXPECT_EQ(planChanged, changed) << name;
        } else {
          EXPECT_TRUE(edits.empty() && !planChanged) << name;
          EXPECT_EQ(planHits, std::vector<size_t>(table.size())) << name;
        }
      }
    }
  }
}

// Occurrences at every distance from the end of the text, and texts so full
// of matches that the result is built in a second pass: every scan finds them
// all.
TEST(RuleMatcher, EveryScanFindsMatchesAtEdgesAndInDenseText) {
  const RuleTable all = AllRows();
  struct Case {
    const char* name;
    std::string text;
  };
  std::vector<Case> cases;
  for (size_t before = 0; before < 80; ++before) {
    for (const char* match : {".pencolor", "REDIDIZO", "{742e88d2-dc33-4929-b200-74b7b42ca37e}"}) {
      cases.push_back({"at end", std::string(before, 'r') + match});
      cases.push_back({"at start", match + std::string(before, 'v')});
    }
  }
  std::string dense;
  for (int i = 0; i < 5000; ++i) dense += i % 7 == 0 ? ".PENcolor" : ".pencolor";
  cases.push_back({"dense", dense});
  cases.push_back({"dense, then other text", dense + "\r\nend of text"});
  std::string denseMixed;
  for (int i = 0; i < 4000; ++i) {
    denseMixed += i % 3 == 0 ? "VUVedaZir" : i % 3 == 1 ? ".WMFSaveSize" : ".fillcolor.colorindex";
  }
  cases.push_back({"dense, some already new, some same length", denseMixed});
  cases.push_back({"other text, then dense", "start\r\n" + denseMixed});
  for (const ScanTier tier : Tiers()) {
    const RuleMatcher matcher(all, tier);
    for (const Case& c : cases) {
      std::string fast = c.text, slow = c.text;
      std::vector<size_t> hits(all.size()), expectedHits;
      for (const RuleRow& r : all) expectedHits.push_back(ApplyRow(slow, r));
      EXPECT_EQ(matcher.Apply(fast, &hits),
                std::accumulate(expectedHits.begin(), expectedHits.end(), size_t{0}))
          << c.name;
      ASSERT_EQ(fast, slow) << c.name << " scan " << static_cast<int>(tier);
      EXPECT_EQ(hits, expectedHits) << c.name;
    }
  }
}

// Only the 52 ASCII letters fold: every other byte, in every place of an old
// text (inside the first bytes that the scan tests together and further on),
// matches only itself.
TEST(RuleMatcher, OnlyAsciiLettersFold) {
  const RuleTable all = AllRows();
  struct Case {
    std::string old;
    size_t at;
  };
  const std::vector<Case> cases = {
      {.old = ".GripColor", .at = 0},    {.old = ".GripColor", .at = 1},
      {.old = ".GripColor", .at = 2},    {.old = ".GripColor", .at = 9},
      {.old = "VUVedaZir", .at = 8},     {.old = "REDidIzo", .at = 7},
      {.old = all[0].oldText, .at = 0},  {.old = all[0].oldText, .at = 8},
      {.old = all[0].oldText, .at = 16}, {.old = all[0].oldText, .at = 37}};
  for (const ScanTier tier : Tiers()) {
    const RuleMatcher matcher(all, tier);
    for (const Case& c : cases) {
      const char want = c.old[c.at];
      for (int b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        const bool same = byte == want ||
                          (std::isalpha(static_cast<unsigned char>(want)) &&
                           (byte ^ 0x20) == want && std::isalpha(static_cast<unsigned char>(byte)));
        std::string text = "x " + c.old + " y";
        text[2 + c.at] = byte;
        const std::string before = text;
        EXPECT_EQ(matcher.Apply(text), same ? 1u : 0u)
            << c.old << " byte " << b << " at " << c.at << " scan " << static_cast<int>(tier);
        if (!same) {
          EXPECT_EQ(text, before);
        }
      }
    }
  }
}

TEST(RuleMatcher, FindNextReportsEveryOccurrence) {
  const RuleMatcher matcher({{"{AB-1}", "{AB-1}"}, {"{ab-2}", "{ab-2}"}});
  struct Case {
    std::string text;
    std::vector<size_t> found;
  };
  const std::vector<Case> cases = {
      {.text = "", .found = {}},
      {.text = "{AB-1}", .found = {0}},
      {.text = "x{ab-1}{AB-2}{ab-1", .found = {1, 7}},
      {.text = std::string(100, ' ') + "{Ab-2}" + std::string(30, '{') + "{aB-1}",
       .found = {100, 136}},
  };
  for (const Case& c : cases) {
    std::vector<size_t> found;
    for (size_t p = matcher.FindNext(c.text, 0); p != std::string::npos;
         p = matcher.FindNext(c.text, p + 1)) {
      found.push_back(p);
    }
    EXPECT_EQ(found, c.found) << c.text;
  }
}

}  // namespace
}  // namespace kv
