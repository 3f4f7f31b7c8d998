// The fixed migration rule tables, and the plain replacement that applies a
// table one row after the other. RuleMatcher (rule_matcher.h) gives the same
// result in one scan.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kv {

struct RuleRow {
  std::string oldText;  // searched for, without regard to ASCII case
  std::string newText;  // inserted exactly as written here
};
using RuleTable = std::vector<RuleRow>;

// Type-library GUIDs of the old libraries and of their version 5 successors.
RuleTable BuildGuidRules();
// Renamed members and library names, in the order in which they apply.
RuleTable BuildTextRules();

// Replaces every occurrence of row.oldText in `text` (ASCII case folded, left
// to right, non-overlapping) by row.newText. When the new text begins with the
// old one, an occurrence that already reads as the new text is left alone, so
// applying a row twice changes nothing more. Returns the number replaced.
size_t ApplyRow(std::string& text, const RuleRow& row);

// Applies every row of `table`, row 0 first, each to the output of the rows
// before it. Returns the number of replacements.
size_t ApplyRowsOneByOne(std::string& text, const RuleTable& table);

}  // namespace kv
