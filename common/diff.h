// A unified diff of two texts, for showing what a migration changes.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kv {

// Lines of `before` and `after` (split after each "\n") in unified form with
// three lines of context, headed "--- a/<label>" / "+++ b/<label>" (the label
// shown with control bytes escaped). Nothing when the texts are equal. The
// migration changes lines without adding or removing any, so lines are
// paired in place between the common head and tail; when the counts differ
// the changed middle is shown as removed, then added.
//
// The diff goes to `sink` piece by piece as it is made: beside the two texts
// it needs a fixed amount of memory, and its time is linear in their size.
void WriteUnifiedDiff(std::string_view before, std::string_view after, std::string_view label,
                      const std::function<void(std::string_view)>& sink);

// The same, as one string.
std::string UnifiedDiff(std::string_view before, std::string_view after, std::string_view label);

}  // namespace kv
