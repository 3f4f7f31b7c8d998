// Applying the rules to a text while parts of it keep their bytes: the paths
// of a project's member entries, or members the rules must not touch.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "rule_matcher.h"

namespace kv {

// The bytes [begin, end) of a text.
struct TextRange {
  size_t begin = 0;
  size_t end = 0;
};

// Applies `rules` to every part of `text` outside `kept` and leaves the bytes
// inside each kept range as they are; no match reaches into a kept range.
// `kept` may be in any order and may overlap. Returns the number of
// replacements. Linear in the size of the text.
// With `rowHits` and `changed`, as RuleMatcher::Apply.
size_t ApplyOutside(const RuleMatcher& rules, std::string& text, std::vector<TextRange> kept,
                    std::vector<size_t>* rowHits = nullptr, bool* changed = nullptr);

}  // namespace kv
