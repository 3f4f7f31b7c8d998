#include "rules.h"

#include <cstddef>
#include <string_view>

#include "rule_scan.h"
#include "string_functions.h"

namespace kv {

using rulescan::FoldedAt;
using rulescan::FoldText;

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

}  // namespace

RuleTable BuildGuidRules() { return Build(kGuidRows); }
RuleTable BuildTextRules() { return Build(kTextRows); }

std::string rulescan::AlreadyNewSuffix(const RuleRow& row) {
  if (row.newText.size() > row.oldText.size() &&
      EqualsNoCase(std::string_view(row.newText).substr(0, row.oldText.size()), row.oldText)) {
    return FoldText(std::string_view(row.newText).substr(row.oldText.size()));
  }
  return std::string();
}

size_t ApplyRow(std::string& text, const RuleRow& row) {
  if (row.oldText.empty()) return 0;
  const std::string folded = FoldText(row.oldText);
  const std::string suffix = rulescan::AlreadyNewSuffix(row);
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
    AppendPolled(out, std::string_view(text).substr(copied, pos - copied));
    out += row.newText;
    copied = end;
    ++count;
    pos = FindNoCase(text, folded, end);
  }
  if (count == 0) return 0;
  AppendPolled(out, std::string_view(text).substr(copied));
  text.swap(out);
  return count;
}

size_t ApplyRowsOneByOne(std::string& text, const RuleTable& table) {
  size_t count = 0;
  for (const RuleRow& row : table) count += ApplyRow(text, row);
  return count;
}

}  // namespace kv
