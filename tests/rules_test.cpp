// The rule tables and their application.
#include "rules.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

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

// The one-scan matcher relies on this: no row's old text occurs inside
// another row's old or new text, even with case folded.
TEST(RuleTables, OldTextsDoNotOccurInOtherRows) {
  RuleTable all = BuildGuidRules();
  for (const RuleRow& r : BuildTextRules()) all.push_back(r);
  for (size_t i = 0; i < all.size(); ++i) {
    for (size_t j = 0; j < all.size(); ++j) {
      if (i == j) continue;
      EXPECT_EQ(FindNoCase(all[j].oldText, all[i].oldText), std::string::npos) << i << "," << j;
      EXPECT_EQ(FindNoCase(all[j].newText, all[i].oldText), std::string::npos) << i << "," << j;
    }
  }
}

TEST(ApplyRow, ReplacesEveryOccurrenceAndSkipsWhatIsAlreadyNew) {
  const RuleTable texts = BuildTextRules();
  struct Case {
    size_t row;
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {2, "a.PenColor b.pencolor c.PENCOLOR",
       "a.PenColor.ColorIndex b.PenColor.ColorIndex c.PenColor.ColorIndex"},
      {2, "x.PenColor.ColorIndex", "x.PenColor.ColorIndex"},
      {2, "x.pencolor.colorindex", "x.pencolor.colorindex"},
      {2, "x.PenColor.Color", "x.PenColor.ColorIndex.Color"},
      {2, "PenColor", "PenColor"},
      {12, "REDidIzo5 redidizo", "REDidIzo5 REDidIzo5"},
      {12, "redidizo55", "redidizo55"},
      {11, "a.wmfsavesize", "a.IMGSaveSize"},
      {11, "", ""},
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
      {"c.pencolor = 1\r\n", "c.PenColor.ColorIndex = 1\r\n"},
      {"{830c3fd1-54a5-4249-97b6-097ac6407367}", "{40A55DB2-3BA5-4295-AE1B-49DB83A90929}"},
      {"Dim x As redidizo.Drawing", "Dim x As REDidIzo5.Drawing"},
      {"\xff\0.FillColor\0"s, "\xff\0.FillColor.ColorIndex\0"s},
      {".ActiveFillColor .ActiveColor .FillColor",
       ".ActiveFillColor.ColorIndex .ActiveColor.ColorIndex .FillColor.ColorIndex"},
      {"VUVedaZiredidizo", "VUVedaZir5EDidIzo5"},
      {"no match here\n", "no match here\n"},
      {"", ""},
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
