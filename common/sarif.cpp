#include "sarif.h"

#include <cstring>
#include <optional>
#include <vector>

#include "general_functions.h"
#include "leftover_scan.h"

namespace kv {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The rule's name, which must differ from its id: "LeftOver" and the
// reason's key in upper camel case ("not-listed" -> "LeftOverNotListed").
std::string RuleName(std::string_view key) {
  std::string name = "LeftOver";
  bool upper = true;
  for (const char c : key) {
    if (c == '-') {
      upper = true;
      continue;
    }
    name += upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    upper = false;
  }
  return name;
}

// The part of `path` below `folder` (as the scan joined them), or nullopt
// when it is not below it.
std::optional<std::string_view> Prefixed(std::string_view path, std::string_view folder) {
  if (folder == ".") {
    if (path.size() > 2 && path[0] == '.' && IsSeparator(path[1])) return path.substr(2);
    if (path.empty() || IsSeparator(path[0]) || path.starts_with("..") ||
        (path.size() > 1 && path[1] == ':')) {
      return std::nullopt;
    }
    return path;
  }
  if (path.size() <= folder.size() || !path.starts_with(folder)) return std::nullopt;
  if (IsSeparator(folder.back())) return path.substr(folder.size());
  if (!IsSeparator(path[folder.size()])) return std::nullopt;
  return path.substr(folder.size() + 1);
}

// The same with "." and ".." taken out ("Beta/../Shared/x" is "Shared/x"
// below the group's folder); nullopt when ".." leads out of the folder.
std::optional<std::string> Below(std::string_view path, std::string_view folder) {
  const std::optional<std::string_view> rel = Prefixed(path, folder);
  if (!rel) return std::nullopt;
  std::vector<std::string_view> names;
  for (size_t at = 0; at <= rel->size();) {
    size_t end = at;
    while (end < rel->size() && !IsSeparator((*rel)[end])) ++end;
    const std::string_view name = rel->substr(at, end - at);
    if (name == "..") {
      if (names.empty()) return std::nullopt;
      names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    at = end + 1;
  }
  std::string out;
  for (const std::string_view name : names) {
    if (!out.empty()) out += '/';
    out += name;
  }
  return out;
}

std::string Num(size_t n) { return std::to_string(n); }

}  // namespace

std::string PathUri(std::string_view path, bool absolute) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri;
  if (absolute) {
    uri = "file://";
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
      path.remove_prefix(2);  // \\server\share: the server is the URI's host
    } else if (!path.empty() && !IsSeparator(path[0])) {
      uri += '/';  // C:\x
    }
  }
  for (size_t i = 0; i < path.size(); ++i) {
    const auto b = static_cast<unsigned char>(path[i]);
    const bool drive = absolute && i == 1 && b == ':';
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
        b == '.' || b == '_' || b == '~' || b == '/' || drive) {
      uri += static_cast<char>(b);
    } else if (b == '\\') {
      uri += '/';
    } else {
      uri += '%';
      uri += kHex[b >> 4];
      uri += kHex[b & 15];
    }
  }
  return uri;
}

std::string RunRecordSarif(const RunRecord& record, Disk& disk, std::string_view tool,
                           std::string_view version) {
  // The project's folder as the leftover scan named it (the prefix of the
  // paths it found), and its absolute form for the URI base.
  const std::optional<std::string> top = disk.Find(record.project(), "");
  const std::string found = top ? GetFolderFromPath(*top) : std::string();
  const std::string folder = found.empty() ? std::string(".") : found;
  const std::string absolute = disk.Canonical(folder).value_or(folder);
  std::string baseUri = PathUri(absolute, true);
  if (!baseUri.ends_with('/')) baseUri += '/';

  std::string j = "{\n  \"$schema\": \"https://json.schemastore.org/sarif-2.1.0.json\",\n";
  j += "  \"version\": \"2.1.0\",\n  \"runs\": [\n    {\n";
  j += "      \"tool\": {\"driver\": {\"name\": " + JsonString(tool) +
       ", \"version\": " + JsonString(version) + ", \"rules\": [";
  const char* sep = "\n";
  for (const LeftoverReason reason : kAllReasons) {
    j += sep;
    sep = ",\n";
    j += std::string("        {\"id\": \"") + ReasonKey(reason) + "\", \"name\": \"" +
         RuleName(ReasonKey(reason)) + "\", \"shortDescription\": {\"text\": " +
         JsonString(std::string("Left over: ") + ReasonText(reason)) +
         "}, \"defaultConfiguration\": {\"level\": \"" + (Blocks(reason) ? "warning" : "note") +
         "\"}}";
  }
  j += "\n      ]}},\n";
  j += "      \"invocations\": [{\"executionSuccessful\": " +
       std::string(record.status() == "completed" ? "true" : "false") + "}],\n";
  j += "      \"originalUriBaseIds\": {\"" + std::string(kSarifProjectRoot) +
       "\": {\"uri\": " + JsonString(baseUri) + "}},\n";
  j += "      \"columnKind\": \"unicodeCodePoints\",\n";
  j += "      \"results\": [";
  sep = "\n";
  for (const Leftover& l : record.leftovers()) {
    j += sep;
    sep = ",\n";
    size_t ruleIndex = 0;
    while (kAllReasons[ruleIndex] != l.reason) ++ruleIndex;
    std::string location;
    if (const std::optional<std::string> rel = Below(l.path, folder)) {
      location = "\"uri\": " + JsonString(PathUri(*rel, false)) + ", \"uriBaseId\": \"" +
                 std::string(kSarifProjectRoot) + "\"";
    } else {
      location = "\"uri\": " + JsonString(PathUri(disk.Canonical(l.path).value_or(l.path), true));
    }
    std::string message;
    std::string region;
    if (l.reason == LeftoverReason::Unreadable) {
      message = std::string(ReasonText(l.reason)) + ": " + std::strerror(l.error);
    } else {
      message = "\"" + l.text + "\" left over: " + ReasonText(l.reason);
      region = ", \"region\": {\"startLine\": " + Num(l.line) +
               ", \"startColumn\": " + Num(l.column) +
               ", \"endColumn\": " + Num(l.column + l.text.size()) +
               ", \"byteOffset\": " + Num(l.offset) + ", \"byteLength\": " + Num(l.text.size()) +
               ", \"snippet\": {\"text\": " + JsonString(l.text) + "}}";
    }
    j += "        {\"ruleId\": \"" + std::string(ReasonKey(l.reason)) +
         "\", \"ruleIndex\": " + Num(ruleIndex) + ", \"level\": \"" +
         (Blocks(l.reason) ? "warning" : "note") +
         "\", \"message\": {\"text\": " + JsonString(message) +
         "}, \"locations\": [{\"physicalLocation\": {\"artifactLocation\": {" + location + "}" +
         region + "}}]}";
  }
  j += record.leftovers().empty() ? "]\n" : "\n      ]\n";
  j += "    }\n  ]\n}\n";
  return j;
}

}  // namespace kv
