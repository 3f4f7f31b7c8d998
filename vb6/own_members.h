// VB's own objects in a VB6 file: the ".FillColor" occurrences that belong to
// them and must keep their bytes. VB's FillColor (of a form, a PictureBox, a
// Shape, a user control, a property page, a user document, Me or Printer) is a
// plain number; only the library controls' FillColor gains ".ColorIndex".
#pragma once

#include <string_view>
#include <vector>

#include "kept_ranges.h"

namespace kv {

// The ranges of the ".FillColor" occurrences (any ASCII case) of `text` that
// are members of VB's own objects: the name right before the dot (an index in
// parentheses may stand between) is Me, Printer, or a name that the text
// declares with "Begin VB.Form", "VB.PictureBox", "VB.Shape", "VB.UserControl",
// "VB.PropertyPage" or "VB.UserDocument"; or the occurrence opens its line
// inside a With block on such a name. In text order, one range each.
std::vector<TextRange> OwnMemberRanges(std::string_view text);

}  // namespace kv
