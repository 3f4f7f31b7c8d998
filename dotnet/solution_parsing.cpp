#include "solution_parsing.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "sdk_items.h"
#include "string_functions.h"

namespace kv {

namespace {
constexpr size_t npos = std::string_view::npos;

constexpr std::string_view kProjectStart = "Project(";
constexpr std::string_view kProjectEnd = "EndProject";
constexpr std::string_view kFileStart = "<File";
constexpr std::string_view kFileEnd = "/>";
constexpr std::string_view kRelPath = "RelPath = \"";
// The MSBuild items that list a project's files.
constexpr std::string_view kItemNames[] = {"Compile", "EmbeddedResource", "Content", "None"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The value of the attribute `name` (ASCII case ignored, blanks allowed
// around "=", in double or single quotes) that starts in [from, to).
std::optional<TextRange> FindAttribute(std::string_view text, size_t from, size_t to,
                                       std::string_view name) {
  const std::string_view tag = text.substr(0, std::min(to, text.size()));
  for (size_t p = FindNoCase(tag, name, from); p != npos; p = FindNoCase(tag, name, p + 1)) {
    if (p == 0 || !IsXmlSpace(tag[p - 1])) continue;
    size_t i = p + name.size();
    while (i < tag.size() && IsBlank(tag[i])) ++i;
    if (i >= tag.size() || tag[i] != '=') continue;
    ++i;
    while (i < tag.size() && IsBlank(tag[i])) ++i;
    if (i >= tag.size() || (tag[i] != '"' && tag[i] != '\'')) continue;
    const size_t close = FindPolled(tag, tag.substr(i, 1), i + 1);
    if (close == npos) return std::nullopt;
    return TextRange{i + 1, close};
  }
  return std::nullopt;
}

// One element of a project text that names a member file.
struct MemberElement {
  size_t start = 0;  // its "<"
  std::optional<TextRange> relPath = {};
  std::optional<TextRange> link = {};
  std::optional<TextRange> include = {};  // an MSBuild item's
};

// Calls `visit` for each <File> element (from "<File", any case, to the next "/>")
// and then for each MSBuild item that lists a file.
template <typename Visit>
void ForEachMemberElement(std::string_view text, Visit&& visit) {
  for (size_t f = FindNoCase(text, kFileStart, 0); f != npos;) {
    const size_t c = FindPolled(text, kFileEnd, f);
    if (c == npos) break;
    const size_t from = c + kFileEnd.size();
    MemberElement element{.start = f};
    const std::string_view span = text.substr(f, from + 1 - f);
    if (const size_t k = FindNoCase(span, kRelPath, 0); k != npos) {
      const size_t begin = k + kRelPath.size();
      if (const size_t close = FindPolled(span, "\"", begin); close != npos) {
        element.relPath = TextRange{f + begin, f + close};
      }
    }
    element.link = FindAttribute(text, f, c, "Link");
    visit(element);
    f = FindNoCase(text, kFileStart, from);
  }
  // An item's attributes end at its ">", and never run past the next "<" (no
  // attribute value holds one): each item is searched only up to there, so a
  // text of items that never close costs no more than one that does.
  for (size_t lt = FindPolled(text, "<"), nextLt = npos; lt != npos; lt = nextLt) {
    nextLt = FindPolled(text, "<", lt + 1);
    const size_t bound = nextLt == npos ? text.size() : nextLt;
    for (const std::string_view name : kItemNames) {
      const size_t after = lt + 1 + name.size();
      if (after >= bound || !IsXmlSpace(text[after]) ||
          !EqualsNoCase(text.substr(lt + 1, name.size()), name)) {
        continue;
      }
      const size_t gt = FindPolled(text.substr(0, bound), ">", after);
      MemberElement element{.start = lt};
      element.include = FindAttribute(text, after, gt == npos ? bound : gt, "Include");
      if (element.include) visit(element);
      break;
    }
  }
}

bool IsListedKind(std::string_view name) {
  return EndsWithNoCase(name, ".cs") || EndsWithNoCase(name, ".vb") ||
         EndsWithNoCase(name, ".resx");
}

// Removes spaces (code 32 only) from both ends.
std::string TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == npos) return std::string();
  const size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

// Calls `visit` with each project block of a solution and the fields it
// splits into; the path is the second field, and a block without one names
// no project.
template <typename Visit>
void ForEachSolutionProject(std::string_view cfile, Visit&& visit) {
  size_t from = 0;
  for (;;) {
    const size_t p = FindNoCase(cfile, kProjectStart, from);
    if (p == npos) break;
    const size_t e = FindPolled(cfile, kProjectEnd, p);
    if (e == npos) break;
    // The block runs to the character just after "EndProject"; the next one
    // is looked for right behind "EndProject", so that a block written
    // directly after it is not missed.
    from = e + kProjectEnd.size();
    const std::string_view block = cfile.substr(p, from + 1 - p);
    // A solution folder ("Solution Items") is no project: passed over.
    if (IsSolutionFolder(block)) continue;
    const std::vector<std::string> fields = SplitToArray(block, ",");
    if (fields.size() >= 2) visit(block, fields);
  }
}
}  // namespace

std::vector<SolutionEntry> GetSolutionEntries(std::string_view cfile) {
  std::vector<SolutionEntry> entries;
  ForEachSolutionProject(
      cfile, [&](std::string_view block, const std::vector<std::string>& fields) {
        // The second field as written: the cleaning of the block before it is
        // split removes and collapses bytes, but no comma.
        const size_t first = FindPolled(block, ",");
        const size_t second = FindPolled(block, ",", first + 1);
        const std::string_view field =
            block.substr(first + 1, (second == npos ? block.size() : second) - first - 1);
        std::string raw;
        for (size_t at = 0; at < field.size();) {
          const size_t quote = std::min(FindPolled(field, "\"", at), field.size());
          raw.append(field.substr(at, quote - at));
          at = quote + 1;
        }
        SolutionEntry entry{TrimBlanks(fields[1])};
        if (raw.find('\0') != npos) {
          entry.path = TrimBlanks(raw);
        } else {
          RemoveControlChars(raw);
          if (raw != entry.path) entry.written = std::move(raw);
        }
        entries.push_back(std::move(entry));
      });
  return entries;
}

NameList ListMemberFiles(std::string_view cfile) {
  NameList files;
  std::vector<size_t> positions;  // where each file's element starts
  std::string name;
  ForEachMemberElement(cfile, [&](const MemberElement& e) {
    const std::optional<TextRange> value = e.link ? e.link : e.relPath ? e.relPath : e.include;
    if (!value) return;
    name = TrimBlanks(cfile.substr(value->begin, value->end - value->begin));
    if (e.include) {
      if (name.find_first_of("*?;") != std::string::npos) return;
      // MSBuild's escapes: "%20" names a blank.
      name = UnescapeMsBuild(name);
    }
    if (!IsListedKind(name)) return;
    files.Add(name);
    positions.push_back(e.start);
  });
  // <File> elements and items, merged by where they stand (a project of one
  // kind lists them in order already).
  if (std::is_sorted(positions.begin(), positions.end())) return files;
  std::vector<size_t> order(files.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return positions[a] < positions[b]; });
  NameList sorted;
  for (const size_t i : order) sorted.Add(files[i]);
  return sorted;
}

std::vector<TextRange> MemberPathRanges(std::string_view cfile) {
  std::vector<TextRange> ranges;
  ForEachMemberElement(cfile, [&](const MemberElement& e) {
    for (const std::optional<TextRange>& r : {e.relPath, e.link, e.include}) {
      if (r) ranges.push_back(*r);
    }
  });
  return ranges;
}

}  // namespace kv
