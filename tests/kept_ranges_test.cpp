#include "kept_ranges.h"

#include <gtest/gtest.h>

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

}  // namespace
