// Files the user names for a run's output (a record, a log for CI): written
// whole or not at all, and never through a symlink. A temporary file beside
// the target is written, flushed and renamed over it; a symlink at the
// target's name is replaced by the file, never followed.
#pragma once

#include <string>
#include <string_view>

#include "disk.h"

namespace kv {

// Whether `path` can be written as an output file, checked before a run: its
// folder exists and is one, and `path` itself is not a folder nor a
// read-only file (no write permission at all; on Windows the read-only
// attribute).
IoError CheckOutputFile(const std::string& path);

// Writes `bytes` to `path`. A regular file there keeps its permission bits;
// a new file gets those the user's file creation mask allows. On failure
// `path` is as it was and no temporary file remains.
IoError WriteOutputFile(const std::string& path, std::string_view bytes);

}  // namespace kv
