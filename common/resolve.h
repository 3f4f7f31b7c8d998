// How an entry listed inside a project (a form, a module, a project of a
// solution, a source file) is resolved to a file on disk. One place decides,
// for both engines: names that no file can have, names written in the
// project's own code page, names whose blanks were collapsed, and entries
// that lead outside the folder of the project the run started from.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "disk.h"
#include "progress.h"

namespace kv {

struct ResolveOptions {
  // Refuse entries that resolve outside the folder of the project (reported
  // as not found) instead of following them.
  bool confine = false;
  // The code page the project's names were written in; empty: try
  // DefaultCodepages().
  std::string codepage;
};

class EntryResolver {
 public:
  EntryResolver(Disk& disk, const ResolveOptions& options, RunLog& log);

  // The folder that entries are expected to stay in: that of the project (or
  // group) the run started from, as found on disk.
  void SetRoot(const std::string& folder);
  // One more folder that entries may lie in (a solution's web root). Ignored
  // when it is not found.
  void AddRoot(const std::string& folder);

  // The file that `entry` names, taken against `base` (see Disk::Find), or
  // nullopt. An entry holding a NUL names no file. When the bytes name no
  // file, `asWritten` (the entry before its blanks were collapsed) is tried,
  // then both decoded from the project's code page. A file outside the root
  // (and the other roots) is named once per run on the log (OutsideFollowed, or OutsideRefused and
  // nullopt under `confine`).
  std::optional<std::string> Find(std::string_view entry, std::string_view base,
                                  std::string_view asWritten = {});
  // The same for `path`, a path already joined to its folder (a web
  // project's address taken under the web root); `shown` names it.
  std::optional<std::string> FindAt(std::string_view path, std::string_view shown);

  // A file that the run found by listing a folder below `base` (a path in
  // the form Disk::ListFolder gives): looked up as it is, then kept to the
  // root like any entry.
  std::optional<std::string> FindListed(std::string_view path, std::string_view base);

 private:
  std::optional<std::string> Lookup(std::string_view entry, std::string_view base,
                                    std::string_view asWritten);
  std::optional<std::string> Admit(std::string_view entry, std::string resolved);

  Disk& disk_;
  ResolveOptions options_;
  RunLog& log_;
  std::vector<std::string> codepages_;
  std::optional<std::string> root_;      // canonical; nullopt until set or when unknown
  std::vector<std::string> otherRoots_;  // canonical
  std::set<std::string> noticed_;        // outside files already named
};

}  // namespace kv
