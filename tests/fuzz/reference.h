// Slow, step-by-step versions of the text and path helpers, the rule
// application and the parsing, written for clarity and nothing else. The fuzz
// targets hold the fast library code against them on every input; the .NET
// unit test uses the version stage here as its reference too.
//
// Positions here count from 1, every search starts again from a position, and
// every change rebuilds the whole text from its pieces. Quadratic on purpose:
// nothing is clever, so there is little to get wrong.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ref {

// --- searching, 1-based ---------------------------------------------------

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The character at 1-based position `p`.
inline char At(const std::string& s, size_t p) { return s[p - 1]; }

// Characters `from` to `to` (1-based, inclusive); empty when to < from.
inline std::string Mid(const std::string& s, size_t from, size_t to) {
  if (to < from) return std::string();
  return s.substr(from - 1, to - from + 1);
}

// Whether `needle` stands at 1-based position `p` of `hay`.
inline bool StandsAt(const std::string& hay, size_t p, std::string_view needle, bool foldCase) {
  if (p < 1 || p - 1 + needle.size() > hay.size()) return false;
  for (size_t i = 0; i < needle.size(); ++i) {
    char a = hay[p - 1 + i];
    char b = needle[i];
    if (foldCase) {
      a = Lower(a);
      b = Lower(b);
    }
    if (a != b) return false;
  }
  return true;
}

// First 1-based position at or after `start` where `needle` stands, or 0.
inline size_t InStr(size_t start, const std::string& hay, std::string_view needle,
                    bool foldCase = false) {
  for (size_t p = start; p + needle.size() <= hay.size() + 1; ++p) {
    if (StandsAt(hay, p, needle, foldCase)) return p;
  }
  return 0;
}

// Every occurrence of `what` removed, one at a time.
inline void RemoveAll(std::string& text, char what) {
  for (size_t p = InStr(1, text, std::string_view(&what, 1)); p != 0;
       p = InStr(1, text, std::string_view(&what, 1))) {
    text = Mid(text, 1, p - 1) + Mid(text, p + 1, text.size());
  }
}

// --- text helpers -----------------------------------------------------------

// Remove NUL, then CR, then LF, then (when asked) TAB; then trim spaces.
inline std::string& RemoveControlChars(std::string& text, bool removeTabs = false) {
  RemoveAll(text, '\0');
  RemoveAll(text, '\r');
  RemoveAll(text, '\n');
  if (removeTabs) RemoveAll(text, '\t');
  while (!text.empty() && At(text, 1) == ' ') text = Mid(text, 2, text.size());
  while (!text.empty() && At(text, text.size()) == ' ') text = Mid(text, 1, text.size() - 1);
  return text;
}

// Control characters out, then each run of spaces collapsed, restarting the
// search from the first character after every collapse.
inline std::string& NormalizeSpaces(std::string& text) {
  RemoveControlChars(text);
  size_t p = InStr(1, text, "  ");
  while (p != 0) {
    const size_t s = p;
    size_t q = p + 2;
    while (q <= text.size() && At(text, q) == ' ') ++q;
    text = Mid(text, 1, s - 1) + " " + Mid(text, q, text.size());
    p = InStr(1, text, "  ");
  }
  return text;
}

// Normalise a copy; cut it at every delimiter; then take every double quote
// out of every piece. An empty normalised text gives an empty list.
inline std::vector<std::string> SplitToArray(const std::string& input,
                                             const std::string& delimiter) {
  std::string text = input;
  NormalizeSpaces(text);
  const size_t n = text.size();
  std::vector<std::string> result;
  size_t start = 1;
  while (start <= n) {
    const size_t d = InStr(start, text, delimiter);
    if (d != 0) {
      result.push_back(Mid(text, start, d - 1));
      start = d + delimiter.size();
    } else {
      result.push_back(Mid(text, start, n));
      break;
    }
  }
  for (std::string& piece : result) RemoveAll(piece, '"');
  return result;
}

// --- path helpers: "\" and "/" both separate components ----------------------

inline size_t NextSeparator(size_t start, const std::string& path) {
  for (size_t p = start; p <= path.size(); ++p) {
    if (At(path, p) == '\\' || At(path, p) == '/') return p;
  }
  return 0;
}

inline std::string GetFileNameFromPath(const std::string& path) {
  std::string text = path;
  size_t p = 0;
  size_t s = 1;
  for (;;) {
    const size_t c = NextSeparator(s, text);
    if (c == 0) break;
    p = c + 1;
    s = p;
  }
  if (p > 0) text = Mid(text, p, text.size());
  return NormalizeSpaces(text);
}

inline std::string GetFolderFromPath(const std::string& path) {
  size_t p = 0;
  for (size_t i = path.size(); i >= 1 && p == 0; --i) {
    if (At(path, i) == '\\' || At(path, i) == '/') p = i;
  }
  return Mid(path, 1, p);
}

inline std::optional<std::string> GetFileExtension(const std::string& path) {
  size_t p = 0;
  for (size_t i = path.size(); i >= 1 && p == 0; --i) {
    if (At(path, i) == '.') p = i;
  }
  if (p == 0) return std::nullopt;
  return Mid(path, p, path.size());
}

// --- rules ---------------------------------------------------------------------

// One row: every occurrence of the old text (ASCII case folded), left to
// right, not overlapping, replaced by the new text as written. When the new
// text begins with the old one, an occurrence that already reads as the new
// text stays, and the scan goes on behind it.
inline size_t ApplyRow(std::string& text, const std::string& oldText, const std::string& newText) {
  const bool newBeginsWithOld =
      newText.size() > oldText.size() && StandsAt(newText, 1, oldText, true);
  size_t count = 0;
  size_t p = InStr(1, text, oldText, true);
  while (p != 0) {
    if (newBeginsWithOld && StandsAt(text, p, newText, true)) {
      p = InStr(p + oldText.size(), text, oldText, true);
      continue;
    }
    text = Mid(text, 1, p - 1) + newText + Mid(text, p + oldText.size(), text.size());
    ++count;
    p = InStr(p + newText.size(), text, oldText, true);
  }
  return count;
}

// --- .NET version values --------------------------------------------------------

// The version values, straight from the rule: behind each version 5 GUID
// spelled exactly as in the table (row after row, each occurrence in turn,
// rewriting as it goes): the first
// "VersionMajor = \"" and "VersionMinor = \"" from the second character after
// the GUID, each only inside the element that holds the GUID (up to the first
// ">" after it), get their whole value replaced when its closing quote is also
// inside the element.
inline void ConvertVersions(std::string& text, const std::vector<std::string>& newGuids,
                            const std::string& major, const std::string& minor) {
  const std::pair<std::string, const std::string*> keys[] = {{"VersionMajor = \"", &major},
                                                             {"VersionMinor = \"", &minor}};
  for (const std::string& g : newGuids) {
    size_t p = InStr(1, text, g);
    while (p != 0) {
      const size_t s = p + g.size() + 1;
      for (const auto& [key, value] : keys) {
        const size_t gt = InStr(p + g.size(), text, ">");
        const size_t limit = gt == 0 ? text.size() + 1 : gt;
        const size_t k = InStr(s, text, key);
        if (k == 0 || k >= limit) continue;
        const size_t v = k + key.size();
        const size_t close = InStr(v, text, "\"");
        if (close == 0 || close >= limit) continue;
        text = Mid(text, 1, v - 1) + *value + Mid(text, close, text.size());
      }
      p = InStr(s, text, g);
    }
  }
}

// --- .NET parsing ------------------------------------------------------------------

inline std::string TrimSpaces(std::string s) {
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Blocks from "Project(" (any case) to the character after the next
// "EndProject" (exact case); field 1 of each, split at ",". A block without a
// field 1 names no project. The next block is looked for right behind
// "EndProject", so that one written directly after it counts too.
inline std::vector<std::string> GetSolutionProjects(const std::string& text) {
  std::vector<std::string> projects;
  size_t start = 1;
  for (;;) {
    const size_t p = InStr(start, text, "Project(", true);
    if (p == 0) break;
    const size_t e = InStr(p, text, "EndProject");
    if (e == 0) break;
    start = e + 10;
    const std::vector<std::string> fields = SplitToArray(Mid(text, p, e + 10), ",");
    if (fields.size() >= 2) projects.push_back(TrimSpaces(fields[1]));
  }
  return projects;
}

inline std::string GetFileNameFromFileElement(const std::string& element) {
  const size_t k = InStr(1, element, "RelPath = \"", true);
  if (k == 0) return std::string();
  const size_t v = k + 11;
  const size_t close = InStr(v, element, "\"");
  if (close == 0) return std::string();
  return TrimSpaces(Mid(element, v, close - 1));
}

// Elements from "<File" (any case) to the character after the next "/>"; the
// RelPath of each whose extension is .cs, .vb or .resx in any case.
inline std::vector<std::string> GetProjectFiles(const std::string& text) {
  std::vector<std::string> files;
  size_t f = InStr(1, text, "<File", true);
  while (f != 0) {
    const size_t c = InStr(f, text, "/>");
    if (c == 0) break;
    const size_t start = c + 2;  // an element may follow "/>" directly
    const std::string name = GetFileNameFromFileElement(Mid(text, f, c + 2));
    if (const std::optional<std::string> ext = GetFileExtension(name)) {
      std::string upper = *ext;
      for (char& ch : upper) {
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
      }
      if (upper == ".CS" || upper == ".VB" || upper == ".RESX") files.push_back(name);
    }
    f = InStr(start, text, "<File", true);
  }
  return files;
}

// --- VB6 library references ---------------------------------------------------------

// Every old GUID (exact case) followed directly by "#", a version without a
// line break, and "#" becomes the new GUID and "#5.0#". Bit i of the result:
// row i rewrote something.
inline unsigned ReplaceReferences(std::string& text, const std::vector<std::string>& oldGuids,
                                  const std::vector<std::string>& newGuids) {
  unsigned rows = 0;
  for (size_t r = 0; r < oldGuids.size(); ++r) {
    const std::string& g = oldGuids[r];
    size_t p = InStr(1, text, g);
    while (p != 0) {
      const size_t hash = p + g.size();
      size_t close = 0;
      if (hash <= text.size() && At(text, hash) == '#') {
        for (size_t i = hash + 1; i <= text.size(); ++i) {
          if (At(text, i) == '\r' || At(text, i) == '\n') break;
          if (At(text, i) == '#') {
            close = i;
            break;
          }
        }
      }
      if (close == 0) {
        p = InStr(p + 1, text, g);
        continue;
      }
      const std::string replacement = newGuids[r] + "#5.0#";
      text = Mid(text, 1, p - 1) + replacement + Mid(text, close + 1, text.size());
      rows |= 1u << r;
      p = InStr(p + replacement.size(), text, g);
    }
  }
  return rows;
}

// --- VB6 member entries ---------------------------------------------------------------

// The path parts of the member entries, as 0-based [begin, end) pairs: after
// "Form=" (not "IconForm=", case-sensitive) and after the ";" of "Module="
// anywhere; with `allModules` also after the ";" of "Class=" and after
// "UserControl=", "PropertyPage=", "UserDocument=", "Designer=" at a line
// start. Keys in any case; each path runs to CR, LF or the end.
inline std::vector<std::pair<size_t, size_t>> EntryPathRanges(const std::string& text,
                                                              bool allModules) {
  struct Kind {
    std::string_view key;
    bool named;
    bool lineStart;
  };
  const Kind kinds[] = {{"Form=", false, false},        {"Module=", true, false},
                        {"Class=", true, true},         {"UserControl=", false, true},
                        {"PropertyPage=", false, true}, {"UserDocument=", false, true},
                        {"Designer=", false, true}};
  auto lineEnd = [&](size_t from) {
    size_t e = from;
    while (e <= text.size() && At(text, e) != '\r' && At(text, e) != '\n') ++e;
    return e;
  };
  std::vector<std::pair<size_t, size_t>> ranges;
  for (size_t k = 0; k < (allModules ? 7u : 2u); ++k) {
    size_t start = 1;
    for (size_t p = InStr(start, text, kinds[k].key, true); p != 0;
         p = InStr(start, text, kinds[k].key, true)) {
      start = p + 1;
      if (kinds[k].lineStart && p > 1 && At(text, p - 1) != '\r' && At(text, p - 1) != '\n') {
        continue;
      }
      if (k == 0 && p >= 5 && StandsAt(text, p - 4, "IconForm=", false)) continue;
      const size_t value = p + kinds[k].key.size();
      const size_t e = lineEnd(value);
      start = e + 1;
      size_t begin = value;
      if (kinds[k].named) {
        const size_t semicolon = InStr(value, Mid(text, 1, e - 1), ";");
        if (semicolon == 0) continue;
        begin = semicolon + 1;
      }
      ranges.emplace_back(begin - 1, e - 1);
    }
  }
  return ranges;
}

}  // namespace ref
