#include "diff.h"

#include <algorithm>
#include <vector>

namespace kv {

namespace {

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

struct Op {
  char kind;  // ' ', '-', '+'
  std::string_view line;
  size_t a;  // 0-based line in before (for ' ' and '-')
  size_t b;  // 0-based line in after (for ' ' and '+')
};

void AppendLine(std::string& out, char kind, std::string_view line) {
  out += kind;
  out += line;
  if (line.empty() || line.back() != '\n') out += "\n\\ No newline at end of file\n";
}

std::string Range(size_t start, size_t count) {
  // Unified ranges are 1-based; an empty range names the line before it.
  const size_t first = count == 0 ? start : start + 1;
  std::string range = std::to_string(first);
  if (count != 1) range.append(",").append(std::to_string(count));
  return range;
}

}  // namespace

std::string UnifiedDiff(std::string_view before, std::string_view after, std::string_view label) {
  if (before == after) return std::string();
  const std::vector<std::string_view> a = SplitLines(before);
  const std::vector<std::string_view> b = SplitLines(after);

  size_t head = 0;
  while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
  size_t tail = 0;
  while (tail < a.size() - head && tail < b.size() - head &&
         a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) {
    ++tail;
  }

  std::vector<Op> ops;
  for (size_t i = 0; i < head; ++i) ops.push_back({' ', a[i], i, i});
  const size_t midA = a.size() - head - tail;
  const size_t midB = b.size() - head - tail;
  if (midA == midB) {
    // A run of changed lines shows as its old lines, then its new ones.
    for (size_t i = head; i < head + midA;) {
      if (a[i] == b[i]) {
        ops.push_back({' ', a[i], i, i});
        ++i;
        continue;
      }
      size_t end = i;
      while (end < head + midA && a[end] != b[end]) ++end;
      for (size_t k = i; k < end; ++k) ops.push_back({'-', a[k], k, i});
      for (size_t k = i; k < end; ++k) ops.push_back({'+', b[k], end, k});
      i = end;
    }
  } else {
    for (size_t i = head; i < head + midA; ++i) ops.push_back({'-', a[i], i, head});
    for (size_t i = head; i < head + midB; ++i) ops.push_back({'+', b[i], head + midA, i});
  }
  for (size_t t = tail; t > 0; --t) {
    ops.push_back({' ', a[a.size() - t], a.size() - t, b.size() - t});
  }

  constexpr size_t kContext = 3;
  std::string out = "--- a/" + std::string(label) + "\n+++ b/" + std::string(label) + "\n";
  size_t i = 0;
  while (i < ops.size()) {
    // Find the next change, then extend the hunk while changes are near.
    while (i < ops.size() && ops[i].kind == ' ') ++i;
    if (i == ops.size()) break;
    const size_t begin = i >= kContext ? i - kContext : 0;
    size_t end = i;
    size_t quiet = 0;
    for (size_t j = i; j < ops.size(); ++j) {
      if (ops[j].kind == ' ') {
        if (++quiet > 2 * kContext) break;
      } else {
        quiet = 0;
        end = j + 1;
      }
    }
    end = std::min(ops.size(), end + kContext);
    size_t countA = 0, countB = 0;
    for (size_t j = begin; j < end; ++j) {
      if (ops[j].kind != '+') ++countA;
      if (ops[j].kind != '-') ++countB;
    }
    out += "@@ -" + Range(ops[begin].a, countA) + " +" + Range(ops[begin].b, countB) + " @@\n";
    for (size_t j = begin; j < end; ++j) AppendLine(out, ops[j].kind, ops[j].line);
    i = end;
  }
  return out;
}

}  // namespace kv
