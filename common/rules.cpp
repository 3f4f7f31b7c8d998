#include "rules.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "string_functions.h"

namespace kv {

namespace {
struct Pair {
  const char* oldText;
  const char* newText;
};

constexpr Pair kGuidRows[] = {
    {"{830C3FD1-54A5-4249-97B6-097AC6407367}", "{40A55DB2-3BA5-4295-AE1B-49DB83A90929}"},
    {"{E21B186C-2923-4F92-919C-BFBE9B60E094}", "{D282E57A-EE4B-4F50-A5E2-01E4D421631C}"},
    {"{742E88D2-DC33-4929-B200-74B7B42CA37E}", "{A1D8BCA2-BAD5-4DA7-BECE-00A51A4B1529}"},
};

constexpr Pair kTextRows[] = {
    {".GripColor", ".GripColor.ColorIndex"},
    {".OSnapColor", ".OSnapColor.ColorIndex"},
    {".PenColor", ".PenColor.ColorIndex"},
    {".ActiveFillColor", ".ActiveFillColor.ColorIndex"},
    {".ActiveColor", ".ActiveColor.ColorIndex"},
    {".ActiveFillBkColor", ".ActiveFillBkColor.ColorIndex"},
    {".FillBkColor", ".FillBkColor.ColorIndex"},
    {".FillColor", ".FillColor.ColorIndex"},
    {".TextColor", ".TextColor.ColorIndex"},
    {".ExtLineColor", ".ExtLineColor.ColorIndex"},
    {".BkColorEx", ".BkColorEx.ColorIndex"},
    {".WMFSaveSize", ".IMGSaveSize"},
    {"REDidIzo", "REDidIzo5"},
    {"RUVivEvu", "RUVivEvu5"},
    {"VUVedaZir", "VUVedaZir5"},
};

template <size_t N>
RuleTable Build(const Pair (&rows)[N]) {
  RuleTable table;
  for (const Pair& p : rows) AppendToArray(table, RuleRow{p.oldText, p.newText});
  return table;
}

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

// The part of the new text that follows the old text when the new text begins
// with it; empty otherwise (then no occurrence is ever skipped).
std::string SkipSuffix(const RuleRow& row) {
  if (row.newText.size() > row.oldText.size() &&
      EqualsNoCase(std::string_view(row.newText).substr(0, row.oldText.size()), row.oldText)) {
    return Fold(std::string_view(row.newText).substr(row.oldText.size()));
  }
  return std::string();
}

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
bool FoldedAt(std::string_view text, size_t pos, std::string_view folded) {
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
}  // namespace

RuleTable BuildGuidRules() { return Build(kGuidRows); }
RuleTable BuildTextRules() { return Build(kTextRows); }

size_t ApplyRow(std::string& text, const RuleRow& row) {
  if (row.oldText.empty()) return 0;
  const std::string folded = Fold(row.oldText);
  const std::string suffix = SkipSuffix(row);
  size_t count = 0;
  size_t pos = FindNoCase(text, folded, 0);
  if (pos == std::string::npos) return 0;
  std::string out;
  out.reserve(text.size());
  size_t copied = 0;
  while (pos != std::string::npos) {
    const size_t end = pos + folded.size();
    if (!suffix.empty() && FoldedAt(text, end, suffix)) {
      pos = FindNoCase(text, folded, end);
      continue;
    }
    out.append(text, copied, pos - copied);
    out += row.newText;
    copied = end;
    ++count;
    pos = FindNoCase(text, folded, end);
  }
  if (count == 0) return 0;
  out.append(text, copied, std::string::npos);
  text.swap(out);
  return count;
}

size_t ApplyRowsOneByOne(std::string& text, const RuleTable& table) {
  size_t count = 0;
  for (const RuleRow& row : table) count += ApplyRow(text, row);
  return count;
}

// ---------------------------------------------------------------------------
// The candidate scan finds the positions where an old text may begin, so that
// only those are compared with the rows. With AVX2 it tests 32 positions at
// once by their first three bytes (grouped into at most eight buckets, so a
// few positions that match no row pass too); with SSE2 it tests 16 by their
// first two bytes, exactly; without either it tests byte by byte.

namespace {

// A block of positions [base, base + width) with the candidates among them.
struct Block {
  size_t base;
  uint32_t mask;  // bit i: position base + i is a candidate
};

// Scans blocks from `from` while a whole block and the bytes the test reads
// after it lie inside the text (n bytes). Returns the first block that holds a
// candidate, or {first position not scanned, 0}.
using BlockScan = Block (*)(const StartFilter& f, const char* data, size_t from, size_t n);

#if defined(__x86_64__)

// ASCII upper case folded onto lower case in every lane: the lanes holding
// 'A'..'Z' (found with one signed compare after shifting that range to the
// bottom of the signed range) gain the 0x20 bit.
inline __m128i Fold(__m128i v) {
  const __m128i shifted = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(0x80 - 'A')));
  const __m128i upper = _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + 26)));
  return _mm_or_si128(v, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
}

Block ScanSse2(const StartFilter& f, const char* data, size_t from, size_t n) {
  constexpr size_t kWidth = 16;
  for (; from + kWidth < n; from += kWidth) {
    const __m128i a = Fold(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from)));
    const __m128i b = Fold(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from + 1)));
    __m128i any = _mm_setzero_si128();
    size_t s = 0;
    for (size_t g = 0; g < f.groups; ++g) {
      __m128i second = _mm_setzero_si128();
      for (; s < f.secondsEnd[g]; ++s) {
        const __m128i want = _mm_load_si128(reinterpret_cast<const __m128i*>(f.seconds[s]));
        second = _mm_or_si128(second, _mm_cmpeq_epi8(b, want));
      }
      const __m128i first = _mm_load_si128(reinterpret_cast<const __m128i*>(f.firsts[g]));
      any = _mm_or_si128(any, _mm_and_si128(_mm_cmpeq_epi8(a, first), second));
    }
    const uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(any));
    if (mask != 0) return Block{from, mask};
  }
  return Block{from, 0};
}

__attribute__((target("avx2"))) inline __m256i LoadTable(const uint8_t* table) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(table));
}

// The buckets that the bytes at p[0, 32) may belong to at one offset.
__attribute__((target("avx2"))) inline __m256i Buckets(const char* p, __m256i low, __m256i high) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i l = _mm256_shuffle_epi8(low, _mm256_and_si256(v, nibble));
  const __m256i h = _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
  return _mm256_and_si256(l, h);
}

// Three-byte prefix filter: each of the bytes at offsets 0, 1 and 2 looks up
// the buckets it may belong to by its low and its high nibble; a position is
// a candidate when some bucket accepts all three. Reads data[from, from + 34).
__attribute__((target("avx2"))) Block ScanPrefixAvx2(const StartFilter& f, const char* data,
                                                     size_t from, size_t n) {
  constexpr size_t kWidth = 32;
  const __m256i lo0 = LoadTable(f.lowNibble[0]), hi0 = LoadTable(f.highNibble[0]);
  const __m256i lo1 = LoadTable(f.lowNibble[1]), hi1 = LoadTable(f.highNibble[1]);
  const __m256i lo2 = LoadTable(f.lowNibble[2]), hi2 = LoadTable(f.highNibble[2]);
  for (; from + kWidth + 2 <= n; from += kWidth) {
    const char* p = data + from;
    const __m256i all = _mm256_and_si256(
        Buckets(p, lo0, hi0), _mm256_and_si256(Buckets(p + 1, lo1, hi1), Buckets(p + 2, lo2, hi2)));
    const uint32_t none =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(all, _mm256_setzero_si256())));
    if (none != ~uint32_t{0}) return Block{from, ~none};
  }
  return Block{from, 0};
}

struct VectorScan {
  BlockScan scan;
  size_t width;
  bool prefix;  // uses the three-byte prefix tables (always built), else the pair groups
};

VectorScan ChooseScan() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return VectorScan{&ScanPrefixAvx2, 32, true};
  return VectorScan{&ScanSse2, 16, false};
}

#else

struct VectorScan {
  BlockScan scan;
  size_t width;
  bool prefix;
};

VectorScan ChooseScan() { return VectorScan{nullptr, 0, false}; }

#endif

const VectorScan kBestScan = ChooseScan();
std::atomic<RuleMatcher::ScanKind> gScanKind{RuleMatcher::ScanKind::Best};

VectorScan ActiveScan() {
  switch (gScanKind.load(std::memory_order_relaxed)) {
    case RuleMatcher::ScanKind::Best:
      return kBestScan;
    case RuleMatcher::ScanKind::Pairs16:
#if defined(__x86_64__)
      return VectorScan{&ScanSse2, 16, false};
#else
      return VectorScan{nullptr, 0, false};
#endif
    case RuleMatcher::ScanKind::Bytes:
      break;
  }
  return VectorScan{nullptr, 0, false};
}

// Walks the candidates of one text from left to right: every position where
// a row's old text begins is one (most others are not). Next(from) never
// returns a position below `from`.
class Candidates {
 public:
  Candidates(const StartFilter& filter, const std::array<uint32_t, 256>& first,
             const std::array<uint32_t, 256>& second, std::string_view text)
      : filter_(filter), first_(first), second_(second), text_(text), scan_(ActiveScan()) {
    if (scan_.scan == nullptr || (!scan_.prefix && filter_.groups == 0)) vectorEnd_ = 0;
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
    if (from < vectorEnd_) {
      block_ = scan_.scan(filter_, text_.data(), from, text_.size());
      if (block_.mask != 0) {
        covered_ = block_.base + scan_.width;
        return block_.base + static_cast<size_t>(__builtin_ctz(block_.mask));
      }
      vectorEnd_ = block_.base;  // the rest is too short for a block
      from = std::max(from, vectorEnd_);
    }
    for (size_t i = from; i + 1 < text_.size(); ++i) {
      if ((first_[static_cast<unsigned char>(text_[i])] &
           second_[static_cast<unsigned char>(text_[i + 1])]) != 0) {
        return i;
      }
    }
    return std::string_view::npos;
  }

 private:
  const StartFilter& filter_;
  const std::array<uint32_t, 256>& first_;
  const std::array<uint32_t, 256>& second_;
  std::string_view text_;
  VectorScan scan_;
  Block block_{0, 0};
  size_t covered_ = 0;                         // end of block_
  size_t vectorEnd_ = std::string_view::npos;  // from here on, byte by byte
};

}  // namespace

RuleMatcher::RuleMatcher(RuleTable table) : table_(std::move(table)) {
  if (table_.size() > 32) throw std::invalid_argument("RuleMatcher: at most 32 rows");
  for (size_t r = 0; r < table_.size(); ++r) {
    const RuleRow& row = table_[r];
    if (row.oldText.size() < 2) throw std::invalid_argument("RuleMatcher: old text too short");
    rows_.push_back(Row{Fold(row.oldText), SkipSuffix(row), {}});
    if (row.newText.size() < row.oldText.size()) growOnly_ = false;
    const uint32_t bit = 1u << r;
    for (int c = 0; c < 256; ++c) {
      const char ch = static_cast<char>(c);
      if (FoldAscii(ch) == rows_.back().folded[0]) first_[c] |= bit;
      if (FoldAscii(ch) == rows_.back().folded[1]) second_[c] |= bit;
    }
  }

  // Where inside a row's match an earlier row could begin: there the folded
  // text is the rest of this row's old text, so the earlier row's old text
  // must agree with that rest over the length they share.
  for (size_t r = 0; r < rows_.size(); ++r) {
    const std::string_view mine = rows_[r].folded;
    for (size_t k = 1; k < mine.size(); ++k) {
      const std::string_view rest = mine.substr(k);
      for (size_t e = 0; e < r; ++e) {
        const std::string_view other = rows_[e].folded;
        const size_t shared = std::min(rest.size(), other.size());
        if (rest.substr(0, shared) == other.substr(0, shared)) {
          rows_[r].earlierRowOffsets.push_back(static_cast<uint32_t>(k));
          break;
        }
      }
    }
  }

  BuildPrefixFilter();
  BuildPairFilter();
}

namespace {

// The bytes that may stand at one offset of a prefix bucket, as the product of
// a set of low nibbles and a set of high nibbles (which is what two table
// lookups can test).
struct NibbleSets {
  uint16_t low = 0;
  uint16_t high = 0;
  void Add(unsigned char c) {
    low = static_cast<uint16_t>(low | 1u << (c & 15));
    high = static_cast<uint16_t>(high | 1u << (c >> 4));
  }
  size_t Accepted() const {
    return static_cast<size_t>(__builtin_popcount(low)) *
           static_cast<size_t>(__builtin_popcount(high));
  }
};

struct Bucket {
  NibbleSets at[3];
  // Number of three-byte sequences the bucket lets through: the fewer, the
  // fewer false candidates.
  size_t Accepted() const { return at[0].Accepted() * at[1].Accepted() * at[2].Accepted(); }
  Bucket Merged(const Bucket& other) const {
    Bucket m = *this;
    for (int j = 0; j < 3; ++j) {
      m.at[j].low = static_cast<uint16_t>(m.at[j].low | other.at[j].low);
      m.at[j].high = static_cast<uint16_t>(m.at[j].high | other.at[j].high);
    }
    return m;
  }
};

}  // namespace

void RuleMatcher::BuildPrefixFilter() {
  // One bucket per distinct folded prefix, in both letter cases; an old text
  // of two bytes accepts any third byte.
  std::vector<std::string> prefixes;
  std::vector<Bucket> buckets;
  for (const Row& row : rows_) {
    const std::string prefix = row.folded.substr(0, 3);
    if (std::find(prefixes.begin(), prefixes.end(), prefix) != prefixes.end()) continue;
    prefixes.push_back(prefix);
    Bucket b;
    for (size_t j = 0; j < 3; ++j) {
      if (j >= prefix.size()) {
        b.at[j].low = b.at[j].high = 0xFFFF;
        continue;
      }
      const unsigned char c = static_cast<unsigned char>(prefix[j]);
      b.at[j].Add(c);
      if (c >= 'a' && c <= 'z') b.at[j].Add(static_cast<unsigned char>(c - 32));
    }
    buckets.push_back(b);
  }
  // Eight buckets at most: merge the two that let through the fewest more
  // sequences together than apart, until they fit.
  while (buckets.size() > 8) {
    size_t bestA = 0, bestB = 1, bestCost = SIZE_MAX;
    for (size_t a = 0; a < buckets.size(); ++a) {
      for (size_t b = a + 1; b < buckets.size(); ++b) {
        const size_t cost = buckets[a].Merged(buckets[b]).Accepted() - buckets[a].Accepted() -
                            buckets[b].Accepted();
        if (cost < bestCost) {
          bestCost = cost;
          bestA = a;
          bestB = b;
        }
      }
    }
    buckets[bestA] = buckets[bestA].Merged(buckets[bestB]);
    buckets.erase(buckets.begin() + static_cast<ptrdiff_t>(bestB));
  }
  for (size_t b = 0; b < buckets.size(); ++b) {
    for (size_t j = 0; j < 3; ++j) {
      for (unsigned x = 0; x < 16; ++x) {
        const uint8_t bit = static_cast<uint8_t>(1u << b);
        if (buckets[b].at[j].low & (1u << x)) {
          filter_.lowNibble[j][x] |= bit;
          filter_.lowNibble[j][x + 16] |= bit;
        }
        if (buckets[b].at[j].high & (1u << x)) {
          filter_.highNibble[j][x] |= bit;
          filter_.highNibble[j][x + 16] |= bit;
        }
      }
    }
  }
}

void RuleMatcher::BuildPairFilter() {
  // The distinct folded first bytes, each with the second bytes that follow
  // it in some row.
  std::string firsts;
  std::vector<std::string> seconds;
  for (const Row& row : rows_) {
    size_t g = firsts.find(row.folded[0]);
    if (g == std::string::npos) {
      g = firsts.size();
      firsts += row.folded[0];
      seconds.emplace_back();
    }
    if (seconds[g].find(row.folded[1]) == std::string::npos) seconds[g] += row.folded[1];
  }
  size_t total = 0;
  for (const std::string& s : seconds) total += s.size();
  if (firsts.size() > StartFilter::kMaxGroups || total > StartFilter::kMaxSeconds) return;
  size_t s = 0;
  for (size_t g = 0; g < firsts.size(); ++g) {
    std::fill(std::begin(filter_.firsts[g]), std::end(filter_.firsts[g]),
              static_cast<uint8_t>(firsts[g]));
    for (const char c : seconds[g]) {
      std::fill(std::begin(filter_.seconds[s]), std::end(filter_.seconds[s]),
                static_cast<uint8_t>(c));
      ++s;
    }
    filter_.secondsEnd[g] = static_cast<uint8_t>(s);
  }
  filter_.groups = static_cast<uint8_t>(firsts.size());
}

int RuleMatcher::MatchAt(std::string_view text, size_t pos) const {
  if (pos + 1 >= text.size()) return -1;
  uint32_t mask = first_[static_cast<unsigned char>(text[pos])] &
                  second_[static_cast<unsigned char>(text[pos + 1])];
  while (mask != 0) {
    const int r = __builtin_ctz(mask);
    mask &= mask - 1;
    if (FoldedAt(text, pos, rows_[r].folded)) return r;
  }
  return -1;
}

bool RuleMatcher::OverlapsEarlierRow(std::string_view text, size_t pos, int row) const {
  for (const uint32_t k : rows_[row].earlierRowOffsets) {
    const int other = MatchAt(text, pos + k);
    if (other >= 0 && other < row) return true;
  }
  return false;
}

template <typename OnMatch>
RuleMatcher::Scan RuleMatcher::ScanMatches(std::string_view text, OnMatch&& onMatch) const {
  Candidates candidates(filter_, first_, second_, text);
  Scan scan;
  for (size_t i = candidates.Next(0); i != std::string_view::npos; i = candidates.Next(i)) {
    const int r = MatchAt(text, i);
    if (r < 0) {
      ++i;
      continue;
    }
    if (OverlapsEarlierRow(text, i, r)) {
      scan.overlap = true;
      return scan;
    }
    const Row& row = rows_[r];
    const size_t end = i + row.folded.size();
    if (row.skipSuffix.empty() || !FoldedAt(text, end, row.skipSuffix)) {
      onMatch(i, r);
      ++scan.count;
      scan.growth += static_cast<ptrdiff_t>(table_[r].newText.size()) -
                     static_cast<ptrdiff_t>(row.folded.size());
    }
    i = end;
  }
  return scan;
}

size_t RuleMatcher::Apply(std::string& text) const {
  const size_t n = text.size();
  if (!growOnly_) {
    // Some row shortens the text: build the result beside the input.
    std::string out;
    size_t copied = 0;
    const Scan scan = ScanMatches(text, [&](size_t pos, int r) {
      if (out.empty()) out.reserve(n + n / 16 + 64);
      out.append(text, copied, pos - copied);
      out += table_[r].newText;
      copied = pos + rows_[r].folded.size();
    });
    if (scan.overlap) return ApplyRowByRow(text);
    if (scan.count == 0) return 0;
    out.append(text, copied, std::string::npos);
    text.swap(out);
    return scan.count;
  }

  // Every row keeps or lengthens its text: the result is built in the input's
  // own buffer. The matches are noted (position and row, one word each), the
  // text is lengthened once, and the pieces move right, last piece first. Text
  // so dense with matches that the notes would weigh more than half the text
  // is instead shifted to the end of the buffer and rewritten from the front
  // in a second scan.
  const size_t maxNotes = n / 16 + 1024;
  // The notes' memory is kept for the next call on this thread (up to 8 MiB),
  // so that a run over many files does not fault in fresh pages for each.
  thread_local std::vector<uint64_t> notes;
  struct Release {
    ~Release() {
      if (notes.capacity() > (size_t{1} << 20)) {
        std::vector<uint64_t>().swap(notes);
      } else {
        notes.clear();
      }
    }
  } release;
  notes.clear();
  bool noted = true;
  const Scan scan = ScanMatches(text, [&](size_t pos, int r) {
    if (!noted) return;
    if (notes.size() == maxNotes) {
      noted = false;
      std::vector<uint64_t>().swap(notes);
      return;
    }
    notes.push_back(static_cast<uint64_t>(pos) << 5 | static_cast<uint64_t>(r));
  });
  if (scan.overlap) return ApplyRowByRow(text);
  if (scan.count == 0) return 0;
  const size_t growth = static_cast<size_t>(scan.growth);
  text.resize(n + growth);
  char* const data = text.data();

  if (noted) {
    size_t read = n;            // bytes [0, read) of the input are still to be placed
    size_t write = n + growth;  // the output from here on is final
    size_t k = notes.size();
    for (; k > 0 && write != read; --k) {
      const size_t pos = static_cast<size_t>(notes[k - 1] >> 5);
      const size_t r = static_cast<size_t>(notes[k - 1] & 31);
      const size_t after = pos + rows_[r].folded.size();
      const std::string& replacement = table_[r].newText;
      write -= read - after;
      std::memmove(data + write, data + after, read - after);
      write -= replacement.size();
      std::memcpy(data + write, replacement.data(), replacement.size());
      read = pos;
    }
    // Left of here the replacements are as long as what they replace: the
    // text around them stays where it is.
    for (; k > 0; --k) {
      const std::string& replacement = table_[notes[k - 1] & 31].newText;
      std::memcpy(data + (notes[k - 1] >> 5), replacement.data(), replacement.size());
    }
    return scan.count;
  }

  // Dense text: the input moves to the end of the buffer and is read from
  // there, while the output grows from the front. The output never overtakes
  // the input still to be read, since it is at most `growth` longer.
  std::memmove(data + growth, data, n);
  const std::string_view in(data + growth, n);
  size_t write = 0;
  size_t copied = 0;
  ScanMatches(in, [&](size_t pos, int r) {
    std::memmove(data + write, in.data() + copied, pos - copied);
    write += pos - copied;
    const std::string& replacement = table_[r].newText;
    std::memcpy(data + write, replacement.data(), replacement.size());
    write += replacement.size();
    copied = pos + rows_[r].folded.size();
  });
  std::memmove(data + write, in.data() + copied, n - copied);
  return scan.count;
}

size_t RuleMatcher::FindNext(std::string_view text, size_t from) const {
  Candidates candidates(filter_, first_, second_, text);
  for (size_t i = candidates.Next(from); i != std::string_view::npos; i = candidates.Next(i + 1)) {
    if (MatchAt(text, i) >= 0) return i;
  }
  return std::string_view::npos;
}

void RuleMatcher::UseScanForTesting(ScanKind kind) { gScanKind.store(kind); }

size_t RuleMatcher::ApplyRowByRow(std::string& text) const {
  // An earlier row claims part of an occurrence: only the row-by-row order
  // gives the right answer, and such text is rare.
  return ApplyRowsOneByOne(text, table_);
}

}  // namespace kv
