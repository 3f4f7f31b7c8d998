// The candidate scan of RuleMatcher: finds, ahead of the exact comparison, the
// positions of a text where some row's old text may begin, so that only those
// are compared with the rows. Private to kvcommon: this folder is not on the
// include path of any other target.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cancel.h"
#include "rule_matcher.h"
#include "string_functions.h"

namespace kv::rulescan {

// ---------------------------------------------------------------------------
// Comparison without regard to ASCII case

// Eight bytes at once, with ASCII upper case folded onto lower case: a byte
// gains the 0x20 bit when it lies in 'A'..'Z' (with the top bit of every byte
// set first, the two subtractions never borrow across bytes).
inline uint64_t FoldWord(uint64_t x) {
  constexpr uint64_t kTop = 0x8080808080808080ull;
  const uint64_t atLeastA = (x | kTop) - 0x4141414141414141ull;
  const uint64_t pastZ = (x | kTop) - 0x5B5B5B5B5B5B5B5Bull;
  const uint64_t upper = atLeastA & ~pastZ & ~x & kTop;
  return x | (upper >> 2);
}

inline uint64_t Load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Whether `text` at `pos` reads as `folded` (already folded) when folded.
inline bool FoldedAt(std::string_view text, size_t pos, std::string_view folded) {
  if (pos > text.size() || text.size() - pos < folded.size()) return false;
  const char* t = text.data() + pos;
  const char* f = folded.data();
  size_t i = 0;
  for (; i + 8 <= folded.size(); i += 8) {
    if (FoldWord(Load8(t + i)) != Load8(f + i)) return false;
  }
  for (; i < folded.size(); ++i) {
    if (FoldAscii(t[i]) != f[i]) return false;
  }
  return true;
}

inline std::string FoldText(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

// The folded rest of a row's new text when it begins with its old text (ASCII
// case ignored): an occurrence followed by it already reads as the new text
// and is skipped. Empty when the new text does not begin so.
std::string AlreadyNewSuffix(const RuleRow& row);

// ---------------------------------------------------------------------------
// The scan

// What the vector scans need to find the positions where an old text may
// begin, without regard to ASCII case.
struct StartFilter {
  // Three-byte prefixes, sorted into up to 8 buckets: a byte x may stand at
  // offset j of a prefix of bucket b when bit b is set in both
  // lowNibble[j][x & 15] and highNibble[j][x >> 4]. Each 16-entry table is
  // stored twice, once per 16-byte lane of a 32-byte vector. (AVX2 only.)
  alignas(32) uint8_t lowNibble[3][32] = {};
  alignas(32) uint8_t highNibble[3][32] = {};

  // The search by first and second byte: one group per first byte, with the
  // second bytes that may follow it, each byte repeated 16 times. (SSE2.)
  static constexpr size_t kMaxGroups = 8;
  static constexpr size_t kMaxSeconds = 32;
  uint8_t groups = 0;
  uint8_t secondsEnd[kMaxGroups] = {};  // group g's second bytes end before this index
  alignas(16) uint8_t firsts[kMaxGroups][16] = {};
  alignas(16) uint8_t seconds[kMaxSeconds][16] = {};
};

// More than any block scan reads past its block's start (the widest block and
// the bytes after it that its test reads).
inline constexpr size_t kScanReach = 64;

// A block of positions [base, base + width) with the candidates among them.
struct Block {
  size_t base;
  uint32_t mask;  // bit i: position base + i is a candidate
};

// Scans blocks from `from` while a whole block and the bytes the test reads
// after it lie inside the text (n bytes). Returns the first block that holds a
// candidate, or {first position not scanned, 0}.
using BlockScan = Block (*)(const StartFilter& f, const char* data, size_t from, size_t n);

// The tables of one rule table's old texts (folded, at least two bytes each,
// at most 32) for one scan tier.
class CandidateScan {
 public:
  CandidateScan(const std::vector<std::string>& folded, ScanTier tier);

  // The rows whose old text may begin at `pos` (bit r: row r), by its first
  // two bytes; needs pos + 1 < text.size().
  uint32_t RowsAt(std::string_view text, size_t pos) const {
    return first_[static_cast<unsigned char>(text[pos])] &
           second_[static_cast<unsigned char>(text[pos + 1])];
  }

  class Walker;

 private:
  void BuildPrefixFilter(const std::vector<std::string>& folded);
  bool BuildPairFilter(const std::vector<std::string>& folded);

  // For each byte: the rows whose old text can start with it (bit mask), and
  // the same for the byte that follows.
  std::array<uint32_t, 256> first_{};
  std::array<uint32_t, 256> second_{};
  StartFilter filter_;
  BlockScan scan_ = nullptr;  // null: byte by byte
  size_t width_ = 0;
};

// Walks the candidates of one text from left to right: every position where
// a row's old text begins is one (most others are not). Next(from) never
// returns a position below `from`.
class CandidateScan::Walker {
 public:
  Walker(const CandidateScan& scan, std::string_view text) : scan_(scan), text_(text) {
    if (scan_.scan_ == nullptr) vectorEnd_ = 0;
  }

  size_t Next(size_t from) {
    // Candidates left in the block scanned last.
    if (from < covered_) {
      if (from > block_.base) {
        block_.mask &= ~uint32_t{0} << (from - block_.base);
      }
      if (block_.mask != 0) return block_.base + static_cast<size_t>(__builtin_ctz(block_.mask));
      from = covered_;
    }
    // Long stretches without a candidate are scanned a window at a time,
    // each counted as progress towards the next look at the stop flag.
    while (from < vectorEnd_) {
      const size_t window = std::min(text_.size(), from + kCancelStride + kScanReach);
      block_ = scan_.scan_(scan_.filter_, text_.data(), from, window);
      if (block_.mask != 0) {
        covered_ = block_.base + scan_.width_;
        return block_.base + static_cast<size_t>(__builtin_ctz(block_.mask));
      }
      CancelPoint(block_.base - from);
      if (window == text_.size()) {
        vectorEnd_ = block_.base;  // the rest is too short for a block
      }
      from = std::max(from, block_.base);
    }
    while (from + 1 < text_.size()) {
      const size_t end = std::min(text_.size() - 1, from + kCancelStride);
      for (size_t i = from; i < end; ++i) {
        if (scan_.RowsAt(text_, i) != 0) return i;
      }
      CancelPoint(end - from);
      from = end;
    }
    return std::string_view::npos;
  }

 private:
  const CandidateScan& scan_;
  std::string_view text_;
  Block block_{0, 0};
  size_t covered_ = 0;                         // end of block_
  size_t vectorEnd_ = std::string_view::npos;  // from here on, byte by byte
};

}  // namespace kv::rulescan
