#include "sdk_items.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "cancel.h"
#include "general_functions.h"
#include "string_functions.h"

namespace kv {

namespace {

constexpr size_t npos = std::string_view::npos;
constexpr std::string_view kSolutionFolderType = "{2150E333-8FDC-42A3-9474-1A3956D46DE8}";

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of attribute `name` (ASCII case ignored, blanks around "=", either
// quote) of the tag [from, to).
std::optional<std::string_view> Attribute(std::string_view text, size_t from, size_t to,
                                          std::string_view name) {
  const std::string_view tag = text.substr(0, to);
  for (size_t p = FindNoCase(tag, name, from); p != npos; p = FindNoCase(tag, name, p + 1)) {
    if (p == 0 || !IsXmlSpace(tag[p - 1])) continue;
    size_t i = p + name.size();
    while (i < tag.size() && IsXmlSpace(tag[i])) ++i;
    if (i >= tag.size() || tag[i] != '=') continue;
    ++i;
    while (i < tag.size() && IsXmlSpace(tag[i])) ++i;
    if (i >= tag.size() || (tag[i] != '"' && tag[i] != '\'')) continue;
    const size_t close = tag.find(tag[i], i + 1);
    if (close == npos) return std::nullopt;
    return tag.substr(i + 1, close - i - 1);
  }
  return std::nullopt;
}

// Each start tag "<" + `name` (ASCII case ignored) followed by a blank, ">" or
// "/": `visit(after, end)` with the tag's text after the name up to its ">"
// (or the next "<", so that a tag never closed costs no more).
template <typename Visit>
void ForEachTag(std::string_view text, std::string_view name, Visit&& visit) {
  for (size_t lt = text.find('<'); lt != npos; lt = text.find('<', lt + 1)) {
    const size_t after = lt + 1 + name.size();
    if (after >= text.size() || !EqualsNoCase(text.substr(lt + 1, name.size()), name)) continue;
    const char c = text[after];
    if (!IsXmlSpace(c) && c != '>' && c != '/') continue;
    const size_t next = text.find('<', after);
    const size_t gt = text.find('>', after);
    const size_t end = std::min(gt, next == npos ? text.size() : next);
    if (!visit(after, std::min(end, text.size()))) return;
  }
}

// The value of the last <name>...</name> property, trimmed.
std::optional<std::string_view> LastProperty(std::string_view text, std::string_view name) {
  std::optional<std::string_view> value;
  ForEachTag(text, name, [&](size_t, size_t end) {
    // A start tag, its attributes (a Condition) passed over.
    if (end < text.size() && text[end] == '>' && text[end - 1] != '/') {
      const size_t close = text.find('<', end + 1);
      std::string_view v = text.substr(end + 1, (close == npos ? text.size() : close) - end - 1);
      while (!v.empty() && IsXmlSpace(v.front())) v.remove_prefix(1);
      while (!v.empty() && IsXmlSpace(v.back())) v.remove_suffix(1);
      value = v;
    }
    return true;
  });
  return value;
}

bool IsFalse(const std::optional<std::string_view>& v) { return v && EqualsNoCase(*v, "false"); }

// The ";"-separated patterns of every Remove attribute of the `element` tags.
std::vector<std::string> RemovePatterns(std::string_view text, std::string_view element) {
  std::vector<std::string> patterns;
  ForEachTag(text, element, [&](size_t after, size_t end) {
    const std::optional<std::string_view> value = Attribute(text, after - 1, end, "Remove");
    if (!value) return true;
    for (size_t at = 0; at <= value->size();) {
      const size_t semi = std::min(value->find(';', at), value->size());
      std::string_view part = value->substr(at, semi - at);
      while (!part.empty() && IsXmlSpace(part.front())) part.remove_prefix(1);
      while (!part.empty() && IsXmlSpace(part.back())) part.remove_suffix(1);
      if (!part.empty()) patterns.push_back(UnescapeMsBuild(part));
      at = semi + 1;
    }
    return true;
  });
  return patterns;
}

// Splits on "/" and "\", leaving out empty names and ".".
std::vector<std::string_view> Names(std::string_view path) {
  std::vector<std::string_view> names;
  for (size_t at = 0; at <= path.size();) {
    size_t end = at;
    while (end < path.size() && path[end] != '/' && path[end] != '\\') ++end;
    const std::string_view name = path.substr(at, end - at);
    if (!name.empty() && name != ".") names.push_back(name);
    at = end + 1;
  }
  return names;
}

// The greedy wildcard match that goes back to the last star only, linear in
// practice and never worse than the product of the lengths: `star(p)` tells
// whether pattern item p is a star (any run of items), `same(p, n)` whether
// pattern item p matches item n.
template <class Star, class Same>
bool GreedyMatch(size_t patternSize, size_t size, Star star, Same same) {
  size_t p = 0, n = 0, lastStar = npos, resume = 0;
  while (n < size) {
    if (p < patternSize && !star(p) && same(p, n)) {
      ++p;
      ++n;
    } else if (p < patternSize && star(p)) {
      lastStar = p++;
      resume = n;
    } else if (lastStar != npos) {
      p = lastStar + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < patternSize && star(p)) ++p;
  return p == patternSize;
}

// "*" and "?" within one name, ASCII case ignored.
bool MatchName(std::string_view pattern, std::string_view name) {
  return GreedyMatch(
      pattern.size(), name.size(), [&](size_t p) { return pattern[p] == '*'; },
      [&](size_t p, size_t n) { return pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]); });
}

}  // namespace

std::string UnescapeMsBuild(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && HexDigit(value[i + 1]) >= 0 &&
        HexDigit(value[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(value[i + 1]) * 16 + HexDigit(value[i + 2]));
      i += 2;
    } else {
      out += value[i];
    }
  }
  return out;
}

bool IsSolutionFolder(std::string_view block) {
  const size_t comma = block.find(',');
  return FindNoCase(block.substr(0, comma), kSolutionFolderType) != npos;
}

SdkItems ReadSdkItems(std::string_view text) {
  SdkItems items;
  ForEachTag(text, "Project", [&](size_t after, size_t end) {
    items.sdk = Attribute(text, after - 1, end, "Sdk").has_value();
    return false;  // the first <Project start tag alone counts
  });
  if (!items.sdk) return items;
  const bool all = !IsFalse(LastProperty(text, "EnableDefaultItems"));
  items.sources = all && !IsFalse(LastProperty(text, "EnableDefaultCompileItems"));
  items.resources = all && !IsFalse(LastProperty(text, "EnableDefaultEmbeddedResourceItems"));
  items.removedSources = RemovePatterns(text, "Compile");
  items.removedResources = RemovePatterns(text, "EmbeddedResource");
  return items;
}

bool MatchesItemPattern(std::string_view pattern, std::string_view path) {
  const std::vector<std::string_view> want = Names(pattern);
  const std::vector<std::string_view> have = Names(path);
  // "**" stands for any run of names: the same greedy match as within a name.
  return GreedyMatch(
      want.size(), have.size(), [&](size_t p) { return want[p] == "**"; },
      [&](size_t p, size_t n) { return MatchName(want[p], have[n]); });
}

namespace {
std::string Join(const std::string& folder, const std::string& rel) {
  if (folder.empty()) return rel;
  if (folder.back() == '/' || folder.back() == '\\') return folder + rel;
  return folder + "/" + rel;
}
}  // namespace

std::vector<std::string> SdkDefaultFiles(Disk& disk, const std::string& folder,
                                         std::string_view projectName, const SdkItems& items,
                                         const std::set<FileKey>& listed) {
  std::vector<std::string> files;
  if (!items.sdk) return files;
  const std::string_view source = EndsWithNoCase(projectName, ".csproj")   ? ".cs"
                                  : EndsWithNoCase(projectName, ".vbproj") ? ".vb"
                                                                           : "";
  auto removed = [](const std::vector<std::string>& patterns, std::string_view rel) {
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](const std::string& p) { return MatchesItemPattern(p, rel); });
  };
  // The walk keeps its folders to visit here, not on the call stack.
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string rel = std::move(pending.back());
    pending.pop_back();
    CancelPoint(kCancelStride / 64);
    const std::string path = rel.empty() ? folder : Join(folder, rel);
    const std::optional<std::vector<Disk::FolderEntry>> entries = disk.ListFolder(path);
    if (!entries) continue;
    for (const Disk::FolderEntry& e : *entries) {
      const std::string child = rel.empty() ? e.name : rel + "/" + e.name;
      if (e.kind == Disk::FolderEntry::Kind::Folder) {
        const bool output =
            rel.empty() && (EqualsNoCase(e.name, "bin") || EqualsNoCase(e.name, "obj"));
        if (!output && !e.name.starts_with('.')) pending.push_back(child);
        continue;
      }
      if (e.kind != Disk::FolderEntry::Kind::File ||
          e.name.find(RealDisk::kTempMarker) != std::string::npos) {
        continue;
      }
      const bool isSource = !source.empty() && EndsWithNoCase(e.name, source);
      const bool isResource = EndsWithNoCase(e.name, ".resx");
      if (!(isSource && items.sources && !removed(items.removedSources, child)) &&
          !(isResource && items.resources && !removed(items.removedResources, child))) {
        continue;
      }
      const std::optional<FileKey> key = disk.Key(Join(folder, child));
      if (key && listed.contains(*key)) continue;
      files.push_back(child);
    }
  }
  auto lower = [](std::string_view s) {
    std::string out(s);
    for (char& c : out) c = Lower(c);
    return out;
  };
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(files.size());
  for (std::string& f : files) keyed.emplace_back(lower(f), std::move(f));
  std::sort(keyed.begin(), keyed.end());
  files.clear();
  for (auto& [key, f] : keyed) files.push_back(std::move(f));
  return files;
}

}  // namespace kv
