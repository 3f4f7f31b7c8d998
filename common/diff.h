// A unified diff of two texts, for showing what a migration changes.
#pragma once

#include <string>
#include <string_view>

namespace kv {

// Lines of `before` and `after` (split after each "\n") in unified form with
// three lines of context, headed "--- a/<label>" / "+++ b/<label>". Empty when
// the texts are equal. The migration changes lines without adding or removing
// any, so lines are paired in place between the common head and tail; when the
// counts differ the changed middle is shown as removed, then added.
std::string UnifiedDiff(std::string_view before, std::string_view after, std::string_view label);

}  // namespace kv
