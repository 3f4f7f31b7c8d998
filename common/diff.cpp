#include "diff.h"

#include <string.h>

#include <algorithm>
#include <array>

#include "cancel.h"
#include "progress.h"

namespace kv {

namespace {

constexpr size_t kContext = 3;

// The line that starts at `pos` (its "\n" included).
std::string_view LineAt(std::string_view text, size_t pos) {
  const void* nl = ::memchr(text.data() + pos, '\n', text.size() - pos);
  const size_t end =
      nl ? static_cast<size_t>(static_cast<const char*>(nl) - text.data()) + 1 : text.size();
  return text.substr(pos, end - pos);
}

// The line that ends at `end` (exclusive), `end` > 0.
std::string_view LineBefore(std::string_view text, size_t end) {
  size_t start = 0;
  // The "\n" before the line's last byte, looked for a block at a time.
  for (size_t to = end >= 2 ? end - 1 : 0; to > 0;) {
    const size_t from = to - std::min(to, kCancelStride);
    const size_t nl = text.substr(from, to - from).rfind('\n');
    if (nl != std::string_view::npos) {
      CancelPoint(to - from - nl);
      start = from + nl + 1;
      break;
    }
    CancelPoint(to - from);
    to = from;
  }
  return text.substr(start, end - start);
}

size_t CountLines(std::string_view text) {
  size_t n = 0;
  for (size_t pos = 0; pos < text.size(); ++n) {
    const size_t size = LineAt(text, pos).size();
    CancelPoint(size);
    pos += size;
  }
  return n;
}

// Whether the texts are equal, compared a block at a time.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t at = 0; at < a.size(); at += kCancelStride) {
    if (a.substr(at, kCancelStride) != b.substr(at, kCancelStride)) return false;
    CancelPoint(kCancelStride);
  }
  return true;
}

struct Op {
  char kind;  // ' ', '-', '+'
  std::string_view line;
  size_t a;  // 0-based line in before (for ' ' and '-')
  size_t b;  // 0-based line in after (for ' ' and '+')
};

// The diff's operations, one at a time, in order. A copy is a bookmark: it
// goes on from where it was copied.
class Ops {
 public:
  Ops(std::string_view a, std::string_view b, size_t head, size_t midA, size_t midB)
      : a_(a), b_(b), head_(head), midA_(midA), midB_(midB) {}

  bool Next(Op* op) {
    if (ai_ < head_) return Context(op);
    if (midA_ == midB_) {
      if (runLeft_ > 0) return RunLine(op);
      if (ai_ < head_ + midA_) {
        if (LineAt(a_, apos_) == LineAt(b_, bpos_)) return Context(op);
        StartRun();
        return RunLine(op);
      }
    } else if (ai_ < head_ + midA_) {
      const std::string_view line = LineAt(a_, apos_);
      *op = Op{'-', line, ai_++, head_};
      apos_ += line.size();
      return true;
    } else if (bi_ < head_ + midB_) {
      const std::string_view line = LineAt(b_, bpos_);
      *op = Op{'+', line, head_ + midA_, bi_++};
      bpos_ += line.size();
      return true;
    }
    if (apos_ < a_.size()) return Context(op);  // the common tail
    return false;
  }

 private:
  bool Context(Op* op) {
    const std::string_view line = LineAt(a_, apos_);
    *op = Op{' ', line, ai_++, bi_++};
    apos_ += line.size();
    bpos_ += line.size();
    return true;
  }

  // A run of paired lines that differ: its old lines, then its new ones.
  void StartRun() {
    runStart_ = ai_;
    runApos_ = apos_;
    runBpos_ = bpos_;
    size_t end = ai_;
    size_t pa = apos_;
    size_t pb = bpos_;
    while (end < head_ + midA_) {
      const std::string_view la = LineAt(a_, pa);
      const std::string_view lb = LineAt(b_, pb);
      CancelPoint(la.size());
      if (la == lb) break;
      pa += la.size();
      pb += lb.size();
      ++end;
    }
    runLen_ = end - ai_;
    runLeft_ = 2 * runLen_;
    afterA_ = pa;
    afterB_ = pb;
  }

  bool RunLine(Op* op) {
    const size_t done = 2 * runLen_ - runLeft_--;
    if (done < runLen_) {
      const std::string_view line = LineAt(a_, runApos_);
      *op = Op{'-', line, runStart_ + done, runStart_};
      runApos_ += line.size();
    } else {
      const std::string_view line = LineAt(b_, runBpos_);
      *op = Op{'+', line, runStart_ + runLen_, runStart_ + done - runLen_};
      runBpos_ += line.size();
    }
    if (runLeft_ == 0) {
      ai_ = bi_ = runStart_ + runLen_;
      apos_ = afterA_;
      bpos_ = afterB_;
    }
    return true;
  }

  std::string_view a_, b_;
  size_t head_, midA_, midB_;
  size_t ai_ = 0, bi_ = 0;      // next line of each text
  size_t apos_ = 0, bpos_ = 0;  // where it starts
  size_t runStart_ = 0, runLen_ = 0, runLeft_ = 0;
  size_t runApos_ = 0, runBpos_ = 0, afterA_ = 0, afterB_ = 0;
};

std::string Range(size_t start, size_t count) {
  // Unified ranges are 1-based; an empty range names the line before it.
  const size_t first = count == 0 ? start : start + 1;
  std::string range = std::to_string(first);
  if (count != 1) range.append(",").append(std::to_string(count));
  return range;
}

}  // namespace

void WriteUnifiedDiff(std::string_view before, std::string_view after, std::string_view label,
                      const std::function<void(std::string_view)>& sink) {
  if (SameText(before, after)) return;
  const size_t na = CountLines(before);
  const size_t nb = CountLines(after);
  size_t head = 0;
  for (size_t pa = 0, pb = 0; head < na && head < nb; ++head) {
    const std::string_view la = LineAt(before, pa);
    CancelPoint(la.size());
    if (la != LineAt(after, pb)) break;
    pa += la.size();
    pb += la.size();
  }
  size_t tail = 0;
  for (size_t ea = before.size(), eb = after.size(); tail < na - head && tail < nb - head; ++tail) {
    const std::string_view la = LineBefore(before, ea);
    CancelPoint(la.size());
    if (la != LineBefore(after, eb)) break;
    ea -= la.size();
    eb -= la.size();
  }

  const std::string shown = ShowName(label);
  sink("--- a/" + shown + "\n+++ b/" + shown + "\n");
  Ops ops(before, after, head, na - head - tail, nb - head - tail);
  for (;;) {
    // Find the next change, remembering where the context before it starts:
    // recent[k % 4] is the place after k lines of context.
    std::array<Ops, kContext + 1> recent{ops, ops, ops, ops};
    size_t seen = 0;
    Ops at = ops;
    Op op;
    bool found = false;
    while (at.Next(&op)) {
      CancelPoint(op.line.size());
      if (op.kind != ' ') {
        found = true;
        break;
      }
      recent[++seen % recent.size()] = at;
    }
    if (!found) return;
    const size_t back = std::min(seen, kContext);
    const Ops begin = recent[(seen - back) % recent.size()];

    // Extend the hunk while changes are near; count its lines.
    // The lines of each text up to the last change are counted as the scan
    // goes; the context after it counts in both.
    Ops scan = begin;
    size_t end = 0;
    size_t quiet = 0;
    size_t steps = 0;
    size_t countA = 0, countB = 0, endA = 0, endB = 0;
    Op first{};
    while (scan.Next(&op)) {
      CancelPoint(op.line.size());
      if (steps == 0) first = op;
      ++steps;
      if (op.kind != '+') ++countA;
      if (op.kind != '-') ++countB;
      if (steps <= back) continue;
      if (op.kind == ' ') {
        if (++quiet > 2 * kContext) break;
      } else {
        quiet = 0;
        end = steps;
        endA = countA;
        endB = countB;
      }
    }
    const size_t length = std::min(steps, end + kContext);
    sink("@@ -" + Range(first.a, endA + (length - end)) + " +" +
         Range(first.b, endB + (length - end)) + " @@\n");
    Ops print = begin;
    for (size_t j = 0; j < length && print.Next(&op); ++j) {
      CancelPoint(op.line.size());
      const char kind[1] = {op.kind};
      sink(std::string_view(kind, 1));
      sink(op.line);
      if (op.line.empty() || op.line.back() != '\n') sink("\n\\ No newline at end of file\n");
    }
    ops = print;
  }
}

std::string UnifiedDiff(std::string_view before, std::string_view after, std::string_view label) {
  std::string out;
  WriteUnifiedDiff(before, after, label, [&](std::string_view piece) { out.append(piece); });
  return out;
}

}  // namespace kv
