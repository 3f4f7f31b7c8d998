// Text stages applied a piece at a time, so that a stop asked for while a
// large file is being migrated is seen within a fraction of a second.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "progress.h"
#include "string_functions.h"

namespace kv {

// About how much text is migrated between two looks at the stop flag.
inline constexpr size_t kPieceBytes = size_t{8} << 20;

// Applies `stage` (a callable taking std::string&) to `text`, in pieces that
// end at a line feed (or at the end of the text), and looks at `cancel`
// between pieces. The result is what applying it to the whole text gives,
// provided that the stage never matches or looks across a line feed (true of
// every rule table and of the VB6 reference rewrite). Returns whether the
// text changed, or nullopt, with `text` as it was, when a stop was asked for.
template <typename Stage>
std::optional<bool> ApplyInPieces(std::string& text, const CancelFlag* cancel, Stage&& stage) {
  auto stopped = [&] { return cancel && cancel->load(); };
  const std::string_view whole(text);
  // A text of one piece (small, or one long line) is migrated where it lies.
  if (text.size() <= kPieceBytes || whole.find('\n', kPieceBytes) >= whole.size() - 1) {
    const TextFingerprint before(text);
    stage(text);
    return TextFingerprint(text) != before;
  }
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  bool changed = false;
  std::string piece;
  for (size_t from = 0; from < whole.size();) {
    if (stopped()) return std::nullopt;
    size_t end = whole.find('\n', std::min(whole.size(), from + kPieceBytes));
    end = end == std::string_view::npos ? whole.size() : end + 1;
    piece.reserve(end - from + (end - from) / 8 + 64);  // room to grow in place
    piece.assign(whole.substr(from, end - from));
    stage(piece);
    changed = changed || piece != whole.substr(from, end - from);
    out += piece;
    from = end;
  }
  text.swap(out);
  return changed;
}

}  // namespace kv
