// A text described as another one with some of its bytes replaced: the
// migrated text of a large file as its unchanged ranges (in the file layer's
// mapping of the file) and the replacements, so that it can be written
// without first being built in memory of its own.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace kv {

// The bytes [begin, end) of a text, replaced by `with`.
struct TextEdit {
  size_t begin = 0;
  size_t end = 0;
  std::string_view with;
};

// `base` with each edit made; the edits are in text order and do not overlap.
struct EditedText {
  std::string_view base;
  std::span<const TextEdit> edits;

  size_t size() const;
  // Hands the text to `put` from the start, in pieces: unchanged ranges of at
  // least kDirectFrom bytes as they are in `base`, everything else gathered
  // into a buffer of this thread of up to kGather bytes. Stops at the first
  // non-zero return of `put` and returns it; 0 at the end.
  static constexpr size_t kDirectFrom = size_t{64} << 10;
  static constexpr size_t kGather = size_t{256} << 10;
  int ForEachPiece(const std::function<int(std::string_view)>& put) const;
  // The whole text in one string.
  std::string Join() const;
  // Whether some needle may occur in the text, given `holds`, which tells
  // whether one occurs in a text (it may say so of more texts than those),
  // and the length of the longest: true when one does, and also when one
  // occurs in `base` only where an edit replaced it. Asks `holds` about
  // `base`, then about the text around each edit.
  bool MayHold(const std::function<bool(std::string_view)>& holds, size_t longest) const;
  // The same for needles looked for as they are.
  bool MayHold(std::span<const std::string_view> needles) const;
};

}  // namespace kv
