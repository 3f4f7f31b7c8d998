#include "kept_ranges.h"

#include <gtest/gtest.h>

#include <random>

#include "edited_text.h"

namespace {

TEST(ApplyOutside, KeptBytesStayAndTheRestMigrates) {
  const kv::RuleMatcher rules(kv::BuildTextRules());
  const std::string entry = "Form=REDidIzoForms\\a.frm\r\n";
  const std::string text = "x.PenColor = 1\r\n" + entry + "Reference=REDidIzo.dll\r\n";
  const size_t path = text.find("REDidIzoForms");
  const size_t line = text.find("\r\n", path);

  struct Case {
    std::vector<kv::TextRange> kept;
    std::string expected;
  };
  const std::string migrated =
      "x.PenColor.ColorIndex = 1\r\nForm=REDidIzo5Forms\\a.frm\r\n"
      "Reference=REDidIzo5.dll\r\n";
  const std::string pathKept =
      "x.PenColor.ColorIndex = 1\r\n" + entry + "Reference=REDidIzo5.dll\r\n";
  const Case cases[] = {
      {{}, migrated},
      {{{.begin = path, .end = line}}, pathKept},
      // Any order, overlaps, empty and out-of-range ranges.
      {{{.begin = path + 3, .end = line},
        {.begin = 5, .end = 5},
        {.begin = path, .end = path + 4},
        {.begin = text.size() + 9, .end = text.size() + 20}},
       pathKept},
      // A range cutting a name in two keeps it from matching.
      {{{.begin = 5, .end = 6}}, "x.PenColor = 1\r\n" + migrated.substr(migrated.find("Form="))},
  };
  for (const Case& c : cases) {
    std::string t = text;
    kv::ApplyOutside(rules, t, c.kept);
    EXPECT_EQ(t, c.expected);
  }
}

// Random texts of old texts, their new texts and bytes that cut them, with
// random kept ranges: the result is each part between kept ranges migrated
// as a text of its own, and the kept bytes as they were.
TEST(ApplyOutside, EqualsEachPartMigratedAlone) {
  const kv::RuleMatcher rules(kv::BuildTextRules());
  const char* const pieces[] = {"REDidIzo",     "REDidIzo5", ".PenColor", ".backcolor.ColorIndex",
                                ".WMFSaveSize", "x",         "\r\n",      "=",
                                "RUVivEvu.dll"};
  std::mt19937 rng(7);
  for (int iter = 0; iter < 2000; ++iter) {
    std::string text;
    for (int n = rng() % 30; n > 0; --n) text += pieces[rng() % std::size(pieces)];
    std::vector<kv::TextRange> kept;
    for (int n = rng() % 6; n > 0; --n) {
      const size_t begin = rng() % (text.size() + 3);
      kept.push_back({.begin = begin, .end = begin + rng() % 12});
    }
    std::vector<bool> keep(text.size());
    for (const kv::TextRange& r : kept) {
      for (size_t i = r.begin; i < std::min(r.end, text.size()); ++i) keep[i] = true;
    }
    std::string expected;
    std::vector<size_t> expectedHits(rules.table().size());
    for (size_t i = 0; i < text.size();) {
      size_t j = i;
      while (j < text.size() && keep[j] == keep[i]) ++j;
      std::string part = text.substr(i, j - i);
      if (!keep[i]) rules.Apply(part, &expectedHits);
      expected += part;
      i = j;
    }
    std::string t = text;
    std::vector<size_t> hits(rules.table().size());
    bool changed = false;
    kv::ApplyOutside(rules, t, kept, &hits, &changed);
    ASSERT_EQ(t, expected) << text;
    EXPECT_EQ(hits, expectedHits) << text;
    EXPECT_EQ(changed, t != text) << text;
  }
}

// Random texts with random edits, near and far apart, against the text built
// by hand: the pieces join to it (large unchanged ranges handed over as they
// are), and a needle found in it is always reported.
TEST(EditedText, PiecesJoinToTheTextAndNeedlesAreFound) {
  std::mt19937 rng(23);
  const std::vector<std::string_view> needles = {"Key = \"", "ab"};
  for (int iter = 0; iter < 3000; ++iter) {
    const size_t size = iter % 50 == 0 ? (size_t{300} << 10) + rng() % 1000 : rng() % 200;
    std::string base(size, 'x');
    for (char& c : base) c = "xy\"Key= ab"[rng() % 10];
    std::vector<std::string> withs;
    std::vector<kv::TextEdit> edits;
    const char* const replacements[] = {"", "K", "ey = \"", "Key", "a", "b", "zz"};
    for (size_t at = 0; at < base.size();) {
      at += rng() % (iter % 50 == 0 ? 100000 : iter % 3 == 0 ? 4 : 40);
      if (at > base.size()) break;
      const size_t end = std::min(base.size(), at + rng() % 3);
      edits.push_back({at, end, replacements[rng() % 7]});
      at = end + 1;
    }
    std::string expected;
    size_t copied = 0;
    size_t longestKept = 0;
    for (const kv::TextEdit& e : edits) {
      longestKept = std::max(longestKept, e.begin - copied);
      expected += base.substr(copied, e.begin - copied);
      expected += e.with;
      copied = e.end;
    }
    expected += base.substr(copied);
    longestKept = std::max(longestKept, base.size() - copied);
    const kv::EditedText text{base, edits};
    ASSERT_EQ(text.size(), expected.size());
    std::string joined;
    size_t direct = 0;
    text.ForEachPiece([&](std::string_view piece) {
      joined += piece;
      if (piece.data() >= base.data() && piece.data() < base.data() + base.size()) ++direct;
      EXPECT_LE(piece.size(), std::max(base.size(), kv::EditedText::kGather));
      return 0;
    });
    ASSERT_EQ(joined, expected);
    // Long unchanged ranges are handed over in place, never copied.
    if (longestKept >= kv::EditedText::kDirectFrom || (edits.empty() && !base.empty())) {
      EXPECT_GT(direct, 0u);
    }
    for (const std::string_view needle : needles) {
      const std::string_view one[] = {needle};
      if (expected.find(needle) != std::string::npos) {
        EXPECT_TRUE(text.MayHold(one)) << needle << " in " << expected;
      } else if (base.find(needle) == std::string::npos) {
        EXPECT_FALSE(text.MayHold(one)) << needle << " in " << expected;
      }
    }
  }
  // A stop asked for by `put` ends the walk with its value.
  const std::string base(size_t{1} << 20, 'q');
  const kv::TextEdit edits[] = {{10, 11, "r"}};
  int calls = 0;
  EXPECT_EQ((kv::EditedText{base, edits}.ForEachPiece(
                [&](std::string_view) { return ++calls == 2 ? 7 : 0; })),
            7);
  EXPECT_EQ(calls, 2);
}

}  // namespace
