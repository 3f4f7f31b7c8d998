#include "rule_matcher.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <stdexcept>

#include "cancel.h"
#include "rule_scan.h"
#include "string_functions.h"

namespace kv {

using rulescan::FoldedAt;
using rulescan::FoldText;

namespace {

// Whether what row `a` writes can complete an occurrence of the later row
// `b`'s old text that the input did not hold (all texts folded). Places b's
// old text at every offset where it shares at least one byte with a's new
// text and compares the shared bytes.
bool CanComplete(std::string_view oldA, std::string_view newA, std::string_view oldB) {
  if (newA.empty()) return true;  // the bytes on both sides of it meet
  const ptrdiff_t nNew = static_cast<ptrdiff_t>(newA.size());
  const ptrdiff_t nOld = static_cast<ptrdiff_t>(oldB.size());
  for (ptrdiff_t d = 1 - nOld; d < nNew; ++d) {
    const ptrdiff_t from = std::max<ptrdiff_t>(d, 0);
    const ptrdiff_t to = std::min(d + nOld, nNew);  // shared: newA[from, to)
    if (newA.substr(static_cast<size_t>(from), static_cast<size_t>(to - from)) !=
        oldB.substr(static_cast<size_t>(from - d), static_cast<size_t>(to - from))) {
      continue;
    }
    // b's old text ends inside a beginning of a's new text that is also a
    // beginning of a's old text: the input holds it as well, overlapped by
    // row a's match, which sends the scan to the row-by-row path.
    const bool before = d < 0 && d + nOld <= nNew;
    if (before && static_cast<size_t>(to) <= oldA.size() &&
        newA.substr(0, static_cast<size_t>(to)) == oldA.substr(0, static_cast<size_t>(to))) {
      continue;
    }
    return true;
  }
  return false;
}

}  // namespace

RuleMatcher::RuleMatcher(RuleTable table, ScanTier tier) : table_(std::move(table)), tier_(tier) {
  if (table_.size() > 32) throw std::invalid_argument("RuleMatcher: at most 32 rows");
  std::vector<std::string> folded;
  for (const RuleRow& row : table_) {
    if (row.oldText.size() < 2) throw std::invalid_argument("RuleMatcher: old text too short");
    folded.push_back(FoldText(row.oldText));
    rows_.push_back(Row{folded.back(),
                        rulescan::AlreadyNewSuffix(row),
                        {},
                        FoldText(row.newText) == folded.back()});
    if (row.newText.size() < row.oldText.size()) growOnly_ = false;
    if (row.oldText.find('\n') != std::string::npos) splitAtLines_ = false;
  }
  for (size_t a = 0; a < table_.size(); ++a) {
    const std::string newA = FoldText(table_[a].newText);
    for (size_t b = a + 1; b < table_.size(); ++b) {
      if (CanComplete(folded[a], newA, folded[b])) {
        throw std::invalid_argument("RuleMatcher: the new text of row " + std::to_string(a) +
                                    " can complete the old text of row " + std::to_string(b));
      }
    }
  }

  // Where an earlier row could begin inside a row's match: there the folded
  // text is the rest of this row's old text, so the earlier row's old text
  // must agree with that rest over the length they share. For a row whose
  // new text begins with its old text, also where an earlier row could begin
  // in the bytes after the match that tell whether the occurrence already
  // reads as the new text: the rows before rewrite those bytes first, so
  // whether they read as the rest of the new text may change. There the
  // earlier row's old text or its new text agrees with that rest.
  auto agrees = [](std::string_view rest, std::string_view other) {
    const size_t shared = std::min(rest.size(), other.size());
    return rest.substr(0, shared) == other.substr(0, shared);
  };
  for (size_t r = 0; r < rows_.size(); ++r) {
    Row& row = rows_[r];
    const std::string whole = row.folded + row.skipSuffix;
    for (size_t k = 1; k < whole.size(); ++k) {
      const bool inOld = k < row.folded.size();
      const std::string_view rest = std::string_view(inOld ? row.folded : whole).substr(k);
      for (size_t e = 0; e < r; ++e) {
        if (agrees(rest, rows_[e].folded) ||
            (!inOld && agrees(rest, FoldText(table_[e].newText)))) {
          row.earlierRowOffsets.push_back(static_cast<uint32_t>(k));
          break;
        }
      }
    }
  }

  scan_ = std::make_shared<const rulescan::CandidateScan>(folded, tier_);
}

int RuleMatcher::MatchAt(std::string_view text, size_t pos) const {
  if (pos + 1 >= text.size()) return -1;
  uint32_t mask = scan_->RowsAt(text, pos);
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
RuleMatcher::Scan RuleMatcher::ScanMatches(std::string_view text, OnMatch&& onMatch, size_t from,
                                           size_t to) const {
  rulescan::CandidateScan::Walker candidates(*scan_, text);
  Scan scan;
  size_t polled = from;  // progress counted towards the stop flag up to here
  for (size_t i = candidates.Next(from); i < to && i != std::string_view::npos;
       i = candidates.Next(i)) {
    if (i - polled >= kCancelStride) [[unlikely]] {
      CancelPoint(i - polled);
      polled = i;
    }
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
      if (!scan.changed) {
        scan.changed =
            !row.mayKeepBytes || text.compare(i, row.folded.size(), table_[r].newText) != 0;
      }
      onMatch(i, r);
      ++scan.count;
      scan.growth += static_cast<ptrdiff_t>(table_[r].newText.size()) -
                     static_cast<ptrdiff_t>(row.folded.size());
    }
    i = end;
  }
  return scan;
}

size_t RuleMatcher::Apply(std::string& text, std::vector<size_t>* rowHits, bool* changed) const {
  const size_t n = text.size();
  // Each row's replacements, counted in the first scan and handed on once
  // the scan has not given way to the row-by-row path.
  std::array<size_t, 32> counted{};
  const auto count = [&](int r) {
    if (rowHits) ++counted[r];
  };
  const auto counts = [&](size_t total) {
    if (rowHits) {
      if (rowHits->size() < table_.size()) rowHits->resize(table_.size());
      for (size_t r = 0; r < table_.size(); ++r) (*rowHits)[r] += counted[r];
    }
    return total;
  };
  const auto oneByOne = [&] {
    // Rare text: whether it changed is told by comparing fingerprints.
    const TextFingerprint before(changed ? std::string_view(text) : std::string_view());
    size_t total = 0;
    for (size_t r = 0; r < table_.size(); ++r) total += counted[r] = ApplyRow(text, table_[r]);
    if (changed && total > 0 && TextFingerprint(text) != before) *changed = true;
    return counts(total);
  };
  if (!growOnly_) {
    // Some row shortens the text: build the result beside the input.
    std::string out;
    size_t copied = 0;
    const Scan scan = ScanMatches(text, [&](size_t pos, int r) {
      count(r);
      if (out.empty()) out.reserve(n + n / 16 + 64);
      AppendPolled(out, std::string_view(text).substr(copied, pos - copied));
      out += table_[r].newText;
      copied = pos + rows_[r].folded.size();
    });
    // An earlier row claims part of an occurrence: only the row-by-row order
    // gives the right answer, and such text is rare.
    if (scan.overlap) return oneByOne();
    if (scan.count == 0) return 0;
    AppendPolled(out, std::string_view(text).substr(copied));
    // Replacements of different lengths could, between them, give the text
    // back as it was: only the whole tells.
    if (changed && out != text) *changed = true;
    text.swap(out);
    return counts(scan.count);
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
  Scan scan;
  const auto scanUpTo = [&](size_t end) {
    scan = ScanMatches(
        text,
        [&](size_t pos, int r) {
          count(r);
          if (!noted) return;
          if (notes.size() == maxNotes) {
            noted = false;
            std::vector<uint64_t>().swap(notes);
            return;
          }
          notes.push_back(static_cast<uint64_t>(pos) << 5 | static_cast<uint64_t>(r));
        },
        0, end);
  };
  // A large text is scanned in two halves at the same time, split after a
  // line end: no old text holds one, so no occurrence crosses the split, and
  // each half sees the whole text for what follows an occurrence.
  const size_t half = n / 2;
  const void* lineEnd =
      n >= parallelFrom_ && splitAtLines_
          ? std::memchr(text.data() + half, '\n', std::min(n - half, kCancelStride))
          : nullptr;
  if (lineEnd == nullptr) {
    scanUpTo(n);
  } else {
    const size_t split = static_cast<size_t>(static_cast<const char*>(lineEnd) - text.data()) + 1;
    std::vector<uint64_t> later;
    std::array<size_t, 32> laterCounted{};
    Scan second;
    InParallel(
        [&] { scanUpTo(split); },
        [&] {
          second = ScanMatches(
              text,
              [&](size_t pos, int r) {
                ++laterCounted[r];
                if (later.size() < maxNotes) {
                  later.push_back(static_cast<uint64_t>(pos) << 5 | static_cast<uint64_t>(r));
                }
              },
              split, n);
        });
    scan.overlap = scan.overlap || second.overlap;
    scan.count += second.count;
    scan.growth += second.growth;
    scan.changed = scan.changed || second.changed;
    if (rowHits) {
      for (size_t r = 0; r < counted.size(); ++r) counted[r] += laterCounted[r];
    }
    if (noted && notes.size() + later.size() <= maxNotes && later.size() == second.count) {
      notes.insert(notes.end(), later.begin(), later.end());
    } else {
      noted = false;
      std::vector<uint64_t>().swap(notes);
    }
  }
  if (scan.overlap) return oneByOne();
  if (scan.count == 0) return 0;
  // No row shortens the text: it changed if it grew, or, with every
  // replacement as long as what it replaced, if one of them wrote other bytes.
  if (changed && (scan.growth > 0 || scan.changed)) *changed = true;
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
      CancelPoint(read - after);
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
    return counts(scan.count);
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
  return counts(scan.count);
}

bool RuleMatcher::Plan(std::string_view text, std::vector<TextEdit>* edits,
                       std::vector<size_t>* rowHits, bool* changed) const {
  if (!growOnly_) return false;
  const size_t n = text.size();
  const size_t first = edits->size();
  std::array<size_t, 32> counted{};
  const auto note = [&](std::vector<TextEdit>& to, std::array<size_t, 32>& rows) {
    return [this, list = &to, hits = &rows](size_t pos, int r) {
      ++(*hits)[r];
      list->push_back(TextEdit{pos, pos + rows_[r].folded.size(), table_[r].newText});
    };
  };
  // As Apply: a large text in two halves at the same time, split after a
  // line end.
  const size_t half = n / 2;
  const void* lineEnd =
      n >= parallelFrom_ && splitAtLines_
          ? std::memchr(text.data() + half, '\n', std::min(n - half, kCancelStride))
          : nullptr;
  // Room for the replacements of [from, to) set aside before the scan, so
  // that the list is not moved to fresh memory each time it doubles: the
  // most the range can hold, up to one byte of list per byte of text. Only
  // the part used is ever touched; more replacements still fit, by growing.
  size_t shortest = std::string_view::npos;
  for (const Row& row : rows_)
    shortest = std::min(shortest, std::max<size_t>(row.folded.size(), 1));
  const auto reserve = [&](std::vector<TextEdit>& list, size_t bytes) {
    const size_t most = std::min(bytes / shortest + 1, bytes / sizeof(TextEdit));
    try {
      list.reserve(list.size() + most);
    } catch (const std::bad_alloc&) {  // a hint only
    }
  };
  Scan scan;
  if (lineEnd == nullptr) {
    reserve(*edits, n);
    scan = ScanMatches(text, note(*edits, counted));
  } else {
    const size_t split = static_cast<size_t>(static_cast<const char*>(lineEnd) - text.data()) + 1;
    std::vector<TextEdit> later;
    std::array<size_t, 32> laterCounted{};
    Scan second;
    reserve(*edits, n);
    reserve(later, n - split);
    InParallel([&] { scan = ScanMatches(text, note(*edits, counted), 0, split); },
               [&] { second = ScanMatches(text, note(later, laterCounted), split, n); });
    scan.overlap = scan.overlap || second.overlap;
    scan.growth += second.growth;
    scan.changed = scan.changed || second.changed;
    for (size_t r = 0; r < counted.size(); ++r) counted[r] += laterCounted[r];
    if (!scan.overlap) edits->insert(edits->end(), later.begin(), later.end());
  }
  if (scan.overlap) {
    edits->resize(first);
    return false;
  }
  if (rowHits) {
    if (rowHits->size() < table_.size()) rowHits->resize(table_.size());
    for (size_t r = 0; r < table_.size(); ++r) (*rowHits)[r] += counted[r];
  }
  // No row shortens its text: it changed if it grew, or, with every
  // replacement as long as what it replaced, if one of them wrote other bytes.
  if (changed && (scan.growth > 0 || scan.changed)) *changed = true;
  return true;
}

size_t RuleMatcher::FindNext(std::string_view text, size_t from) const {
  rulescan::CandidateScan::Walker candidates(*scan_, text);
  size_t polled = from;
  for (size_t i = candidates.Next(from); i != std::string_view::npos; i = candidates.Next(i + 1)) {
    if (i - polled >= kCancelStride) [[unlikely]] {
      CancelPoint(i - polled);
      polled = i;
    }
    if (MatchAt(text, i) >= 0) return i;
  }
  return std::string_view::npos;
}

}  // namespace kv
