#include "rules.h"

#include <stdexcept>

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

bool FoldedAt(std::string_view text, size_t pos, std::string_view folded) {
  if (pos > text.size() || text.size() - pos < folded.size()) return false;
  for (size_t i = 0; i < folded.size(); ++i) {
    if (FoldAscii(text[pos + i]) != folded[i]) return false;
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

RuleMatcher::RuleMatcher(RuleTable table) : table_(std::move(table)) {
  if (table_.size() > 32) throw std::invalid_argument("RuleMatcher: at most 32 rows");
  for (size_t r = 0; r < table_.size(); ++r) {
    const RuleRow& row = table_[r];
    if (row.oldText.size() < 2) throw std::invalid_argument("RuleMatcher: old text too short");
    rows_.push_back(Row{Fold(row.oldText), SkipSuffix(row)});
    const uint32_t bit = 1u << r;
    for (int c = 0; c < 256; ++c) {
      const char ch = static_cast<char>(c);
      if (FoldAscii(ch) == rows_.back().folded[0]) first_[c] |= bit;
      if (FoldAscii(ch) == rows_.back().folded[1]) second_[c] |= bit;
    }
  }
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
  const size_t end = pos + rows_[row].folded.size();
  for (size_t q = pos + 1; q < end; ++q) {
    const int other = MatchAt(text, q);
    if (other >= 0 && other < row) return true;
  }
  return false;
}

size_t RuleMatcher::Apply(std::string& text) const {
  const std::string_view in(text);
  const size_t n = in.size();
  std::string out;
  size_t copied = 0;
  size_t count = 0;
  size_t i = 0;
  while (i + 1 < n) {
    if ((first_[static_cast<unsigned char>(in[i])] &
         second_[static_cast<unsigned char>(in[i + 1])]) == 0) {
      ++i;
      continue;
    }
    const int r = MatchAt(in, i);
    if (r < 0) {
      ++i;
      continue;
    }
    if (OverlapsEarlierRow(in, i, r)) {
      // An earlier row claims part of this occurrence: only the row-by-row
      // order gives the right answer, and such text is rare.
      std::string copy(text);
      const size_t replaced = ApplyRowsOneByOne(copy, table_);
      text.swap(copy);
      return replaced;
    }
    const Row& row = rows_[r];
    const size_t end = i + row.folded.size();
    if (!row.skipSuffix.empty() && FoldedAt(in, end, row.skipSuffix)) {
      i = end;
      continue;
    }
    if (count == 0) out.reserve(n + n / 16 + 64);
    out.append(in.substr(copied, i - copied));
    out += table_[r].newText;
    copied = end;
    ++count;
    i = end;
  }
  if (count == 0) return 0;
  out.append(in.substr(copied));
  text.swap(out);
  return count;
}

}  // namespace kv
