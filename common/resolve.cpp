#include "resolve.h"

#include <algorithm>

#include "codepage.h"
#include "general_functions.h"

namespace kv {

namespace {

bool HasNonAscii(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// False for an entry holding the byte by which the file layer on Windows
// knows a decoded name: no file name holds it, and the entry must not pass
// for a decoded one.
bool OwnBytes(std::string_view entry) {
#ifdef _WIN32
  return entry.find(kUtf8Mark) == std::string_view::npos;
#else
  (void)entry;
  return true;
#endif
}

// True when `path` lies below `folder` (both canonical).
bool Within(const std::string& path, const std::string& folder) {
  if (folder == ".") return !path.starts_with('/') && path != ".." && !path.starts_with("../");
  // A root ("/", "C:\") ends with its separator.
  if (!folder.empty() && IsNativeSeparator(folder.back())) return path.starts_with(folder);
  return path.size() > folder.size() && path.starts_with(folder) &&
         IsNativeSeparator(path[folder.size()]);
}

}  // namespace

EntryResolver::EntryResolver(Disk& disk, const ResolveOptions& options, RunLog& log)
    : disk_(disk),
      options_(options),
      log_(log),
      codepages_(options.codepage.empty() ? DefaultCodepages()
                                          : std::vector<std::string>{options.codepage}) {}

void EntryResolver::SetRoot(const std::string& folder) {
  root_ = disk_.Canonical(folder.empty() ? "." : folder);
}

void EntryResolver::AddRoot(const std::string& folder) {
  if (std::optional<std::string> root = disk_.Canonical(folder.empty() ? "." : folder)) {
    otherRoots_.push_back(std::move(*root));
  }
}

std::optional<std::string> EntryResolver::FindAt(std::string_view path, std::string_view shown) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  std::optional<std::string> found = Lookup(path, "", {});
  if (!found) return std::nullopt;
  return Admit(shown, std::move(*found));
}

std::optional<std::string> EntryResolver::Find(std::string_view entry, std::string_view base,
                                               std::string_view asWritten) {
  // A NUL cannot be part of a file name; cut there, the entry would name
  // another file.
  if (entry.find('\0') != std::string_view::npos || !OwnBytes(entry)) return std::nullopt;
  if (asWritten.find('\0') != std::string_view::npos || !OwnBytes(asWritten) ||
      asWritten == entry) {
    asWritten = {};
  }
  std::optional<std::string> found = Lookup(entry, base, asWritten);
  if (!found) return std::nullopt;
  return Admit(entry, std::move(*found));
}

std::optional<std::string> EntryResolver::FindListed(std::string_view path, std::string_view base) {
  std::optional<std::string> found = disk_.Find(path, base);
  if (!found) return std::nullopt;
  return Admit(path, std::move(*found));
}

std::optional<std::string> EntryResolver::Lookup(std::string_view entry, std::string_view base,
                                                 std::string_view asWritten) {
  const std::string_view spellings[] = {entry, asWritten};
  for (const std::string_view spelling : spellings) {
    if (spelling.empty()) continue;
    if (std::optional<std::string> found = disk_.Find(spelling, base)) return found;
  }
  // Decoded from each code page in turn, the first name found wins; only the
  // entry is decoded, never the folder it is taken against. A double-byte
  // character whose second byte is 0x5C stays one character instead of
  // ending a folder name.
  for (const std::string& codepage : codepages_) {
    for (const std::string_view spelling : spellings) {
      if (spelling.empty() || !HasNonAscii(spelling)) continue;
      const std::optional<std::string> decoded =
          EntryNameFrom(spelling, codepage, disk_.PathCodePage());
      if (!decoded || *decoded == spelling) continue;
      if (std::optional<std::string> found = disk_.Find(*decoded, base)) return found;
    }
  }
  return std::nullopt;
}

std::optional<std::string> EntryResolver::Admit(std::string_view entry, std::string resolved) {
  if (!root_) return resolved;
  const std::optional<std::string> canonical = disk_.Canonical(resolved);
  if (!canonical || Within(*canonical, *root_)) return resolved;
  for (const std::string& root : otherRoots_) {
    if (Within(*canonical, root)) return resolved;
  }
  if (noticed_.insert(*canonical).second) {
    log_.Report(ProgressEvent{
        .kind = options_.confine ? EventKind::OutsideRefused : EventKind::OutsideFollowed,
        .name = std::string(entry),
        .path = *canonical});
  }
  if (options_.confine) return std::nullopt;
  return resolved;
}

}  // namespace kv
