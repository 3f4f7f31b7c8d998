// The fixed migration rule tables and the single-pass replacement that applies
// them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// What the vector scan of RuleMatcher needs to find the positions where an
// old text may begin, without regard to ASCII case.
struct StartFilter {
  // Three-byte prefixes, sorted into up to 8 buckets: a byte x may stand at
  // offset j of a prefix of bucket b when bit b is set in both
  // lowNibble[j][x & 15] and highNibble[j][x >> 4]. Each 16-entry table is
  // stored twice, once per 16-byte lane of a 32-byte vector.
  alignas(32) uint8_t lowNibble[3][32] = {};
  alignas(32) uint8_t highNibble[3][32] = {};

  // The same search by first and second byte only, for processors without a
  // byte shuffle: one group per first byte, with the second bytes that may
  // follow it, each byte repeated 16 times. `groups == 0` when they do not
  // fit; the scan then goes byte by byte.
  static constexpr size_t kMaxGroups = 8;
  static constexpr size_t kMaxSeconds = 32;
  uint8_t groups = 0;
  uint8_t secondsEnd[kMaxGroups] = {};  // group g's second bytes end before this index
  alignas(16) uint8_t firsts[kMaxGroups][16] = {};
  alignas(16) uint8_t seconds[kMaxSeconds][16] = {};
};

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

  // The first position at or after `from` where some row's old text occurs
  // (ASCII case folded), or npos. Several rows may occur there.
  size_t FindNext(std::string_view text, size_t from) const;

  const RuleTable& table() const { return table_; }

  // How the scan looks for places where an old text may begin. Every way
  // gives the same results; tests run each one this processor has.
  enum class ScanKind {
    Best,     // the fastest this processor has
    Pairs16,  // 16 bytes at a time by first and second byte (SSE2)
    Bytes,    // byte by byte
  };
  static void UseScanForTesting(ScanKind kind);

 private:
  struct Row {
    std::string folded;      // old text, folded to lower case
    std::string skipSuffix;  // folded rest of the new text when it begins with the old one
    // Offsets inside the old text at which an earlier row could begin to match
    // (its folded old text agrees with this one's folded rest there).
    std::vector<uint32_t> earlierRowOffsets;
  };

  struct Scan {
    size_t count = 0;      // occurrences to replace
    ptrdiff_t growth = 0;  // how much longer the text becomes
    bool overlap = false;  // an earlier row overlaps a match: only row by row is right
  };
  // Finds the occurrences to replace, left to right, and calls
  // onMatch(position, row) for each; stops early when it meets an overlap.
  template <typename OnMatch>
  Scan ScanMatches(std::string_view text, OnMatch&& onMatch) const;
  size_t ApplyRowByRow(std::string& text) const;
  void BuildPrefixFilter();
  void BuildPairFilter();

  // Index of the row whose old text matches at `pos`, or -1.
  int MatchAt(std::string_view text, size_t pos) const;
  bool OverlapsEarlierRow(std::string_view text, size_t pos, int row) const;

  RuleTable table_;
  std::vector<Row> rows_;
  // For each byte: the rows whose old text can start with it (bit mask), and
  // the same for the byte that follows.
  std::array<uint32_t, 256> first_{};
  std::array<uint32_t, 256> second_{};
  StartFilter filter_;
  bool growOnly_ = true;  // no row's new text is shorter than its old text
};

}  // namespace kv
