#include "rule_scan.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kv {

namespace {
bool CpuHasAvx2() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}
}  // namespace

bool ScanTierAvailable(ScanTier tier) {
  switch (tier) {
    case ScanTier::Scalar:
      return true;
    case ScanTier::Sse2:
#if defined(__x86_64__)
      return true;
#else
      return false;
#endif
    case ScanTier::Avx2: {
      static const bool has = CpuHasAvx2();
      return has;
    }
  }
  return false;
}

ScanTier BestScanTier() {
  if (ScanTierAvailable(ScanTier::Avx2)) return ScanTier::Avx2;
  if (ScanTierAvailable(ScanTier::Sse2)) return ScanTier::Sse2;
  return ScanTier::Scalar;
}

namespace rulescan {

namespace {

// With AVX2 the scan tests 32 positions at once by their first three bytes
// (grouped into at most eight buckets, so a few positions that match no row
// pass too); with SSE2 it tests 16 by their first two bytes, exactly.
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

#endif

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

CandidateScan::CandidateScan(const std::vector<std::string>& folded, ScanTier tier) {
  if (!ScanTierAvailable(tier)) throw std::invalid_argument("RuleMatcher: scan tier not available");
  for (size_t r = 0; r < folded.size(); ++r) {
    const uint32_t bit = 1u << r;
    for (int c = 0; c < 256; ++c) {
      const char ch = FoldAscii(static_cast<char>(c));
      if (ch == folded[r][0]) first_[c] |= bit;
      if (ch == folded[r][1]) second_[c] |= bit;
    }
  }
#if defined(__x86_64__)
  switch (tier) {
    case ScanTier::Avx2:
      BuildPrefixFilter(folded);
      scan_ = &ScanPrefixAvx2;
      width_ = 32;
      break;
    case ScanTier::Sse2:
      // Without room for every pair the scan goes byte by byte.
      if (BuildPairFilter(folded)) {
        scan_ = &ScanSse2;
        width_ = 16;
      }
      break;
    case ScanTier::Scalar:
      break;
  }
#endif
}

void CandidateScan::BuildPrefixFilter(const std::vector<std::string>& folded) {
  // One bucket per distinct folded prefix, in both letter cases; an old text
  // of two bytes accepts any third byte.
  std::vector<std::string> prefixes;
  std::vector<Bucket> buckets;
  for (const std::string& old : folded) {
    const std::string prefix = old.substr(0, 3);
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

bool CandidateScan::BuildPairFilter(const std::vector<std::string>& folded) {
  // The distinct folded first bytes, each with the second bytes that follow
  // it in some row.
  std::string firsts;
  std::vector<std::string> seconds;
  for (const std::string& old : folded) {
    size_t g = firsts.find(old[0]);
    if (g == std::string::npos) {
      g = firsts.size();
      firsts += old[0];
      seconds.emplace_back();
    }
    if (seconds[g].find(old[1]) == std::string::npos) seconds[g] += old[1];
  }
  size_t total = 0;
  for (const std::string& s : seconds) total += s.size();
  if (firsts.empty() || firsts.size() > StartFilter::kMaxGroups ||
      total > StartFilter::kMaxSeconds) {
    return false;
  }
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
  return true;
}

}  // namespace rulescan
}  // namespace kv
