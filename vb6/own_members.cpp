#include "own_members.h"

#include <algorithm>
#include <set>
#include <string>

#include "string_functions.h"

namespace kv {

namespace {

constexpr std::string_view kMember = ".FillColor";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
std::string Folded(std::string_view s) {
  std::string out(s);
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
    if (i % kCancelStride == kCancelStride - 1) CancelPoint(kCancelStride);
  }
  return out;
}
bool StartsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}
[[gnu::always_inline]] inline std::string_view SkipBlanks(std::string_view s) {
  // Lines start with a few blanks; a run longer than a block is gone through
  // looking at the stop flag.
  size_t i = 0;
  const size_t limit = std::min(s.size(), kCancelStride);
  while (i < limit && IsBlank(s[i])) ++i;
  if (i == kCancelStride) i = SpanWhile(s, i, IsBlank);
  return s.substr(i);
}
// The name at the start of `s` (letters, digits, "_").
std::string_view NameAt(std::string_view s) { return s.substr(0, SpanWhile(s, 0, IsNameChar)); }

// The lines of a text: each ends at CR, at LF, or at the end of the text.
template <typename OnLine>
void ForEachLine(std::string_view text, OnLine&& onLine) {
  size_t begin = 0;
  while (begin <= text.size()) {
    const size_t end = FindLineBreak(text, begin);
    onLine(begin, text.substr(begin, end - begin));
    if (end == text.size()) break;
    begin = end + 1;
  }
}

// Names the text declares as VB's own form or control, folded to lower case,
// with Me and Printer.
std::set<std::string> OwnNames(std::string_view text) {
  static constexpr std::string_view kKinds[] = {"VB.Form",         "VB.PictureBox",
                                                "VB.Shape",        "VB.UserControl",
                                                "VB.PropertyPage", "VB.UserDocument"};
  std::set<std::string> names{"me", "printer"};
  ForEachLine(text, [&](size_t, std::string_view line) {
    line = SkipBlanks(line);
    if (!StartsNoCase(line, "Begin") || line.size() < 6 || !IsBlank(line[5])) return;
    line = SkipBlanks(line.substr(5));
    for (std::string_view kind : kKinds) {
      if (!StartsNoCase(line, kind) || line.size() <= kind.size() || !IsBlank(line[kind.size()])) {
        continue;
      }
      const std::string_view name = NameAt(SkipBlanks(line.substr(kind.size())));
      if (!name.empty()) names.insert(Folded(name));
    }
  });
  return names;
}

// Where the object before a member's dot begins: `dot` is the dot's position
// in `line`; an index in parentheses may stand between name and dot. Returns
// the name, empty when there is none.
std::string_view NameBeforeDot(std::string_view line, size_t dot) {
  size_t end = dot;
  if (end > 0 && line[end - 1] == ')') {
    int depth = 0;
    size_t i = end;
    while (i > 0) {
      --i;
      if (line[i] == ')') ++depth;
      if (line[i] == '(' && --depth == 0) break;
      if ((end - i) % kCancelStride == 0) CancelPoint(kCancelStride);
    }
    if (depth != 0) return {};
    end = i;
  }
  size_t begin = end;
  while (begin > 0 && IsNameChar(line[begin - 1])) {
    --begin;
    if ((end - begin) % kCancelStride == 0) CancelPoint(kCancelStride);
  }
  return line.substr(begin, end - begin);
}

// The name a "With" line is on, when the rest of the line is that name, an
// optional index in parentheses, and blanks or a comment.
std::string_view WithTarget(std::string_view rest) {
  rest = SkipBlanks(rest);
  const std::string_view name = NameAt(rest);
  if (name.empty()) return {};
  std::string_view after = SkipBlanks(rest.substr(name.size()));
  if (!after.empty() && after[0] == '(') {
    int depth = 0;
    size_t i = 0;
    for (; i < after.size(); ++i) {
      if (after[i] == '(') ++depth;
      if (after[i] == ')' && --depth == 0) break;
      if (i % kCancelStride == 0) CancelPoint(kCancelStride);
    }
    if (i == after.size()) return {};
    after = SkipBlanks(after.substr(i + 1));
  }
  if (!after.empty() && after[0] != '\'') return {};
  return name;
}

}  // namespace

std::vector<TextRange> OwnMemberRanges(std::string_view text) {
  std::vector<TextRange> ranges;
  if (FindNoCase(text, kMember, 0) == std::string::npos) return ranges;
  const std::set<std::string> own = OwnNames(text);
  size_t longest = 0;
  for (const std::string& name : own) longest = std::max(longest, name.size());
  const auto isOwn = [&](std::string_view name) {
    return !name.empty() && name.size() <= longest && own.contains(Folded(name));
  };
  std::vector<bool> withs;  // open With blocks, innermost last: on an own name?
  ForEachLine(text, [&](size_t lineBegin, std::string_view line) {
    const std::string_view body = SkipBlanks(line);
    const size_t indent = line.size() - body.size();
    if (StartsNoCase(body, "End With")) {
      if (!withs.empty()) withs.pop_back();
      return;
    }
    if (StartsNoCase(body, "With ")) withs.push_back(isOwn(WithTarget(body.substr(5))));
    for (size_t p = FindNoCase(line, kMember, 0); p != std::string::npos;
         p = FindNoCase(line, kMember, p + kMember.size())) {
      const bool keep =
          p == indent ? !withs.empty() && withs.back() : isOwn(NameBeforeDot(line, p));
      if (keep) ranges.push_back({lineBegin + p, lineBegin + p + kMember.size()});
    }
  });
  return ranges;
}

}  // namespace kv
