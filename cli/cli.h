// The command-line front end over both migration engines.
#pragma once

#include <cstdio>

#include "disk.h"

namespace kv {

// Exit statuses of kvmigrate-cli.
enum CliStatus {
  kCliOk = 0,          // the run returned with every file found and written
  kCliIncomplete = 1,  // it returned, but some file was missing or not modified
  kCliUsage = 2,       // bad arguments
  kCliFailed = 3,      // a failure stopped the run
  // The run completed (its files were changed as its lines say), but the
  // record it was asked for (--json) could not be written.
  kCliRecordFailed = 4,
  kCliInterrupted = 130,
};

// Runs the front end; `out` receives the progress lines (and diffs), `err`
// the messages. Returns the exit status. On Windows the arguments are in code
// page `pathCodePage`, which the run's file layer and output files take.
int RunCli(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
           unsigned pathCodePage = kDefaultCodePage);

}  // namespace kv
