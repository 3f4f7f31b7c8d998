// Files the user names for output (a run's record, a report): their folder
// checked before the run, their text written at once after it. A file of that
// name is replaced as a whole; a symlink there is replaced, never written
// through, so that a link planted in a shared folder cannot make a run
// overwrite another file. Each platform has a file of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "disk.h"

namespace kv {

// The paths below are, on Windows, in code page `pathCodePage` (see
// Disk::PathCodePage).

// Why `path` cannot name an output file, found before a run reads anything:
// an empty name, a name that is a folder, a folder that does not exist or is
// not a folder, a file that is read-only. nullopt when it can.
std::optional<std::string> OutputPathProblem(const std::string& path,
                                             unsigned pathCodePage = kDefaultCodePage);

// Writes `contents` into a new file beside `path`, flushes it and renames it
// to `path`. A reader of `path` sees the old text or the new one, never a
// part; on a failure the old file stays and the new one is removed. On POSIX
// systems an existing file's permission bits are kept.
IoError WriteOutputFile(const std::string& path, std::string_view contents,
                        unsigned pathCodePage = kDefaultCodePage);

// `path`'s folder ("." when it has none) and its last name.
struct OutputPathParts {
  std::string folder;
  std::string name;
};
OutputPathParts SplitOutputPath(const std::string& path);

// A new name for the temporary file beside `name` ("." + name + ".kvout-" +
// a random token), shortened to stay a valid name.
std::string OutputTempName(const std::string& name);

}  // namespace kv
