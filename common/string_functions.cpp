#include "string_functions.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "cancel.h"

namespace kv {

std::string& RemoveControlChars(std::string& text, bool removeTabs) {
  size_t out = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t n = std::min(kCancelStride, text.size() - at);
    for (const size_t end = at + n; at < end; ++at) {
      const char c = text[at];
      if (c == '\0' || c == '\r' || c == '\n' || (removeTabs && c == '\t')) continue;
      text[out++] = c;
    }
    CancelPoint(n);
  }
  text.resize(out);
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) {
    text.clear();
    return text;
  }
  const size_t last = text.find_last_not_of(' ');
  text.erase(last + 1);
  text.erase(0, first);
  return text;
}

std::string& NormalizeSpaces(std::string& text) {
  RemoveControlChars(text);
  size_t out = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t n = std::min(kCancelStride, text.size() - i);
    for (const size_t end = i + n; i < end; ++i) {
      if (text[i] == ' ' && out > 0 && text[out - 1] == ' ') continue;
      text[out++] = text[i];
    }
    CancelPoint(n);
  }
  text.resize(out);
  return text;
}

std::vector<std::string> SplitToArray(std::string_view text, std::string_view delimiter) {
  std::string clean;
  clean.reserve(text.size());
  AppendPolled(clean, text);
  NormalizeSpaces(clean);
  std::vector<std::string> pieces;
  if (delimiter.empty()) return pieces;
  const std::string_view view(clean);
  size_t start = 0;
  while (start < view.size()) {
    const size_t d = FindPolled(view, delimiter, start);
    const size_t end = d == std::string_view::npos ? view.size() : d;
    // The piece without its double quotes, a block at a time.
    std::string piece;
    piece.reserve(end - start);
    AppendPolled(piece, view.substr(start, end - start));
    size_t kept = 0;
    for (size_t at = 0; at < piece.size();) {
      const size_t n = std::min(kCancelStride, piece.size() - at);
      for (const size_t stop = at + n; at < stop; ++at) {
        if (piece[at] != '"') piece[kept++] = piece[at];
      }
      CancelPoint(n);
    }
    piece.resize(kept);
    AppendToArray(pieces, std::move(piece));
    if (d == std::string_view::npos) break;
    start = d + delimiter.size();
  }
  return pieces;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from) {
  if (needle.empty()) return from <= hay.size() ? from : std::string_view::npos;
  if (from > hay.size() || hay.size() - from < needle.size()) return std::string_view::npos;
  const char first = FoldAscii(needle[0]);
  const std::string_view rest = needle.substr(1);
  const size_t last = hay.size() - needle.size();
  if (last - from < kCancelStride) {
    // Within one block (a line, say): no look at the stop flag.
    for (size_t i = from; i <= last; ++i) {
      if (FoldAscii(hay[i]) == first && EqualsNoCase(hay.substr(i + 1, rest.size()), rest))
        return i;
    }
    return std::string_view::npos;
  }
  // In blocks that end where the position crosses a multiple of
  // kCancelStride: there the stop flag is looked at (a scan over a whole text
  // made of many short searches crosses each such point once).
  for (size_t block = from; block <= last;) {
    const size_t boundary = (block | (kCancelStride - 1)) + 1;
    const size_t end = std::min(boundary, last + 1);
    for (size_t i = block; i < end; ++i) {
      if (FoldAscii(hay[i]) == first && EqualsNoCase(hay.substr(i + 1, rest.size()), rest))
        return i;
    }
    if (end == boundary) CancelPoint(kCancelStride);
    block = end;
  }
  return std::string_view::npos;
}

size_t FindLineBreakAfterBoundary(std::string_view text, size_t boundary) {
  CancelPoint(kCancelStride);
  return boundary < text.size() ? FindLineBreak(text, boundary) : boundary;
}

void AppendPolled(std::string& out, std::string_view piece) {
  for (size_t at = 0; at < piece.size(); at += kCancelStride) {
    const std::string_view block = piece.substr(at, kCancelStride);
    CancelPoint(block.size());
    out.append(block);
  }
}

size_t FindPolled(std::string_view hay, std::string_view needle, size_t from) {
  if (needle.empty() || from >= hay.size()) return hay.find(needle, from);
  // In blocks that end where the position crosses a multiple of
  // kCancelStride, as FindNoCase goes.
  for (size_t block = from; block < hay.size();) {
    const size_t boundary = (block | (kCancelStride - 1)) + 1;
    const size_t end = std::min(boundary, hay.size());
    // Occurrences that start in [block, end).
    const size_t hit =
        hay.substr(0, std::min(hay.size(), end + needle.size() - 1)).find(needle, block);
    if (hit != std::string_view::npos) return hit;
    if (end == boundary) CancelPoint(kCancelStride);
    block = end;
  }
  return std::string_view::npos;
}

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

TextFingerprint::TextFingerprint(std::string_view text) : size(text.size()) {
  // Four independent lanes of multiply-rotate mixing over 8-byte words, then
  // the tail, then a final avalanche.
  constexpr uint64_t k1 = 0x9E3779B97F4A7C15ull, k2 = 0xC2B2AE3D27D4EB4Full;
  auto mix = [](uint64_t h, uint64_t v) { return std::rotl(h ^ (v * k2), 31) * k1; };
  auto word = [&](size_t at) {
    uint64_t v;
    std::memcpy(&v, text.data() + at, sizeof v);
    return v;
  };
  uint64_t lane[4] = {k1, k2, k1 + 1, k2 + 1};
  size_t i = 0;
  while (text.size() - i >= 32) {
    const size_t end = i + std::min(kCancelStride, (text.size() - i) & ~size_t{31});
    CancelPoint(end - i);
    for (; i < end; i += 32) {
      for (int l = 0; l < 4; ++l) lane[l] = mix(lane[l], word(i + 8 * static_cast<size_t>(l)));
    }
  }
  uint64_t h = std::rotl(lane[0], 1) + std::rotl(lane[1], 7) + std::rotl(lane[2], 12) +
               std::rotl(lane[3], 18);
  for (; i + 8 <= text.size(); i += 8) h = mix(h, word(i));
  for (; i < text.size(); ++i) h = mix(h, static_cast<unsigned char>(text[i]));
  h ^= text.size();
  h ^= h >> 33;
  h *= k2;
  h ^= h >> 29;
  h *= k1;
  h ^= h >> 32;
  hash = h;
}

}  // namespace kv
