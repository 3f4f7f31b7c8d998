// A rule table applied in one left-to-right scan, with the result of applying
// its rows one after the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "edited_text.h"
#include "rules.h"

namespace kv {

// How RuleMatcher looks for the places where an old text may begin. Every
// tier gives the same results; they differ only in speed.
enum class ScanTier {
  Scalar,  // byte by byte
  Sse2,    // 16 positions at a time, by first and second byte (x86-64)
  Avx2,    // 32 positions at a time, by the first three bytes (x86-64 with AVX2)
};

// Whether this processor can run `tier`.
bool ScanTierAvailable(ScanTier tier);
// The fastest tier this processor has.
ScanTier BestScanTier();

namespace rulescan {
class CandidateScan;
}

// A table prepared for one left-to-right scan whose result equals
// ApplyRowsOneByOne for every input. The rare text where two rows' matches
// overlap is handed to the row-by-row path.
class RuleMatcher {
 public:
  // Throws std::invalid_argument when the table has more than 32 rows, an old
  // text shorter than two bytes, or breaks the condition under which one scan
  // equals the rows one by one: a row's old text must not be completed by
  // what an earlier row writes. With both compared without regard to ASCII
  // case, for every row a and later row b:
  //  - b's old text does not occur in a's new text,
  //  - no end of a's new text begins b's old text (a's new text, then the
  //    bytes that follow it, would read as b's old text),
  //  - a's new text is not empty, and does not stand inside b's old text
  //    with bytes on both sides,
  //  - a beginning of a's new text ends b's old text only where it is also
  //    a beginning of a's old text (the scan then meets b's old text in the
  //    input too, overlapped by row a, and takes the row-by-row path).
  // An old text inside another row's old text, or inside a later row's new
  // text, is allowed: the row-by-row order makes it harmless, or the scan
  // meets the overlap and takes the row-by-row path.
  // Also throws when `tier` is not available on this processor.
  explicit RuleMatcher(RuleTable table, ScanTier tier = BestScanTier());

  // Rewrites `text` in place; returns the number of replacements (0 leaves
  // every byte as it was). With `rowHits`, each row's number of replacements
  // is added to its entry (the vector grows to the table's size if needed).
  // With `changed`, *changed becomes true when some byte of the text changed
  // (a row whose new text differs from its old one only in letter case may
  // write the very bytes it replaces); it is never set back to false.
  size_t Apply(std::string& text, std::vector<size_t>* rowHits = nullptr,
               bool* changed = nullptr) const;
  // The replacements Apply would make, in text order, without making them
  // (each edit's new text is its row's, held by this object). False, with
  // `edits`, `rowHits` and `changed` as they were, for a text that only the
  // row-by-row path gives right, and for tables with a row that shortens
  // its text: Apply then gives the result.
  bool Plan(std::string_view text, std::vector<TextEdit>* edits,
            std::vector<size_t>* rowHits = nullptr, bool* changed = nullptr) const;
  // Whether no row's new text is shorter than its old text.
  bool growOnly() const { return growOnly_; }
  // From this size on, Apply scans the two halves of a text at the same time
  // (split after a line end near the middle; only when no old text holds a
  // line end). Tests lower it.
  void SetParallelFrom(size_t bytes) { parallelFrom_ = bytes; }

  // The first position at or after `from` where some row's old text occurs
  // (ASCII case folded), or npos. Several rows may occur there.
  size_t FindNext(std::string_view text, size_t from) const;

  const RuleTable& table() const { return table_; }
  ScanTier tier() const { return tier_; }

 private:
  struct Row {
    std::string folded;      // old text, folded to lower case
    std::string skipSuffix;  // folded rest of the new text when it begins with the old one
    // Offsets at which a match of an earlier row would change what this row
    // does here: inside the old text, and inside the bytes after it that
    // tell whether the occurrence already reads as the new text.
    std::vector<uint32_t> earlierRowOffsets;
    // The new text is the old one but perhaps for letter case: a replacement
    // may leave the bytes as they were.
    bool mayKeepBytes = false;
  };

  struct Scan {
    size_t count = 0;      // occurrences to replace
    ptrdiff_t growth = 0;  // how much longer the text becomes
    bool overlap = false;  // an earlier row overlaps a match: only row by row is right
    bool changed = false;  // some replacement writes other bytes than it replaces
  };
  // Finds the occurrences to replace that start in [from, to), left to
  // right, and calls onMatch(position, row) for each; stops early when it
  // meets an overlap.
  template <typename OnMatch>
  Scan ScanMatches(std::string_view text, OnMatch&& onMatch, size_t from = 0,
                   size_t to = std::string_view::npos) const;

  // Index of the row whose old text matches at `pos`, or -1.
  int MatchAt(std::string_view text, size_t pos) const;
  // Whether a row before `row` matches at one of its earlierRowOffsets.
  bool OverlapsEarlierRow(std::string_view text, size_t pos, int row) const;

  RuleTable table_;
  ScanTier tier_;
  std::vector<Row> rows_;
  std::shared_ptr<const rulescan::CandidateScan> scan_;  // shared by copies
  bool growOnly_ = true;      // no row's new text is shorter than its old text
  bool splitAtLines_ = true;  // no row's old text holds a line end
  size_t parallelFrom_ = size_t{16} << 20;
};

}  // namespace kv
