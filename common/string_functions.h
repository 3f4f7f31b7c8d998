// Small text helpers shared by both migrators. Texts are byte strings; every
// helper is linear in its input. Those that pass over a whole text count
// their progress towards the stop flag of a run (cancel.h) and may throw
// RunCancelled inside a CancelScope.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cancel.h"

namespace kv {

// Grows a list by one element, stored by value. An empty vector plays the part
// of an absent list: every search that finds nothing returns one.
template <typename T, typename V>
void AppendToArray(std::vector<T>& list, V&& value) {
  list.emplace_back(std::forward<V>(value));
}

// Removes every NUL, CR and LF (and TAB when removeTabs is set), then trims
// spaces (only code 32) from both ends. Leaves the result in `text` and
// returns it.
std::string& RemoveControlChars(std::string& text, bool removeTabs = false);

// RemoveControlChars without removeTabs, then every run of two or more spaces
// becomes one space. TABs are neither removed nor collapsed.
std::string& NormalizeSpaces(std::string& text);

// Normalises a copy of `text`, splits it at every occurrence of `delimiter`
// (exact match, quotes not honoured) and removes every double quote from each
// piece. A delimiter at the very end adds no empty last piece. An empty
// normalised text gives an empty list. `delimiter` must not be empty.
std::vector<std::string> SplitToArray(std::string_view text, std::string_view delimiter);

template <typename Pred>
size_t SpanWhile(std::string_view text, size_t from, Pred&& pred) {
  size_t i = from;
  for (;;) {
    // A block at a time; after each whole block the stop flag is looked at.
    const size_t limit = i + std::min(kCancelStride, text.size() - i);
    while (i < limit && pred(text[i])) ++i;
    if (i != limit || limit == text.size()) return i;
    CancelPoint(kCancelStride);
  }
}

// FindLineBreak past a multiple of kCancelStride, where the stop flag is
// looked at.
size_t FindLineBreakAfterBoundary(std::string_view text, size_t boundary);

inline size_t FindLineBreak(std::string_view text, size_t from) {
  // Up to where the position crosses a multiple of kCancelStride.
  const size_t boundary = (from | (kCancelStride - 1)) + 1;
  const size_t limit = std::min(boundary, text.size());
  size_t i = from;
  while (i < limit && text[i] != '\r' && text[i] != '\n') ++i;
  if (i == boundary) [[unlikely]]
    return FindLineBreakAfterBoundary(text, i);
  return i;
}

// ASCII-only case folding: A-Z and a-z fold onto each other, no other byte does.
inline char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
bool EqualsNoCase(std::string_view a, std::string_view b);
// Whether `text` ends with `suffix`, ASCII case ignored: the test of a file
// name's extension (".vbp", ".csproj", ...).
inline bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}
// First occurrence of `needle` in `hay` at or after `from`, ASCII case folded.
size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from = 0);
// The position of the first CR or LF at or after `from`, or the text's size.
inline size_t FindLineBreak(std::string_view text, size_t from);

// The end of the run of bytes from `from` on that satisfy `pred`.
template <typename Pred>
size_t SpanWhile(std::string_view text, size_t from, Pred&& pred);

// out += piece, a block at a time (a large copy also faults in fresh pages).
void AppendPolled(std::string& out, std::string_view piece);

// hay.find(needle, from), in blocks; where the position crosses a multiple of
// kCancelStride the stop flag of a run is looked at (see cancel.h).
size_t FindPolled(std::string_view hay, std::string_view needle, size_t from = 0);
std::string ToUpperAscii(std::string_view text);

// What a text was, to tell afterwards whether it changed without keeping a
// copy of it: its length and a 64-bit hash of its bytes (memory speed). Two
// different texts of one length share a fingerprint with odds of 2^-64.
struct TextFingerprint {
  size_t size = 0;
  uint64_t hash = 0;
  explicit TextFingerprint(std::string_view text);
  friend bool operator==(const TextFingerprint&, const TextFingerprint&) = default;
};

}  // namespace kv
