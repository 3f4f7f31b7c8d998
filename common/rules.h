// The fixed migration rule tables and the single-pass replacement that applies
// them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
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

// A table prepared for one left-to-right scan. The result equals
// ApplyRowsOneByOne for every input: the tables' old texts do not occur in one
// another, and the rare text where two rows' matches overlap is handed to the
// row-by-row path.
class RuleMatcher {
 public:
  explicit RuleMatcher(RuleTable table);

  // Rewrites `text` in place; returns the number of replacements (0 leaves
  // every byte as it was).
  size_t Apply(std::string& text) const;

  const RuleTable& table() const { return table_; }

 private:
  struct Row {
    std::string folded;      // old text, folded to lower case
    std::string skipSuffix;  // folded rest of the new text when it begins with the old one
  };
  // Index of the row whose old text matches at `pos`, or -1.
  int MatchAt(std::string_view text, size_t pos) const;
  bool OverlapsEarlierRow(std::string_view text, size_t pos, int row) const;

  RuleTable table_;
  std::vector<Row> rows_;
  // For each byte: the rows whose old text can start with it (bit mask), and
  // the same for the byte that follows.
  std::array<uint32_t, 256> first_{};
  std::array<uint32_t, 256> second_{};
};

}  // namespace kv
