// One migration run as every front end starts it: a request that says what
// to migrate and how, and RunMigration, which recovers what an interrupted
// run left, runs the engine over one transaction, searches the project's
// folders for what is left over, commits, and reports the end. The command
// line and the windows fill in a request and show what comes back.
//
// The engines live in their own libraries: each implements Migrator and
// names its kind of project with a MigrationKind, which a request points to.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "disk.h"
#include "leftover_scan.h"
#include "progress.h"
#include "report.h"
#include "resolve.h"
#include "transaction.h"

namespace kv {

// An engine as a run uses it.
class Migrator {
 public:
  virtual ~Migrator() = default;
  // Migrates the project at `path` (relative paths against the current
  // directory) with everything it lists. Reports its progress through
  // `reporter`, never Finished; `cancel`, when given, stops it.
  virtual RunOutcome ConvertFile(const std::string& path, Reporter& reporter,
                                 const CancelFlag* cancel) = 0;
  // What the leftover scan needs to know about the files this engine
  // migrates.
  virtual ScanHooks LeftoverHooks() const = 0;
};

struct MigrationRequest;

// A kind of project and the engine that migrates it.
struct MigrationKind {
  // Whether `path` names a project of this kind (by its name's ending, any
  // ASCII case).
  bool (*takes)(std::string_view path);
  // The engine for `request`, reading and writing through `disk`.
  std::unique_ptr<Migrator> (*make)(Disk& disk, const MigrationRequest& request);
};

// Sees each file that a run writes, once it is written: its text before and
// after.
using WriteObserver =
    std::function<void(const std::string& path, std::string_view before, std::string_view after)>;

// Whether a target version text can be written into a project file: not when
// it holds a quote, "<", ">", "&" or a byte below 0x20, which would end the
// value it is written into and add attributes, elements or lines of its own.
// The front ends refuse such a text before a run reads anything.
bool VersionTextAllowed(std::string_view text);

// What a refused version text may not hold, for the front ends' messages.
inline constexpr std::string_view kVersionTextRule =
    "may not hold a quote, <, >, & or a control character";

struct MigrationRequest {
  // The project, group or solution file.
  std::string path;
  const MigrationKind* kind = nullptr;

  // VB6: also follow classes, user controls, property pages, user documents
  // and designers.
  bool allModules = false;
  // .NET: where web projects are on this machine (unset: passed over).
  std::optional<std::string> webRoot = {};
  // How listed entries are resolved: confinement, code page.
  ResolveOptions entries = {};
  // On Windows, the code page of the narrow paths of the request and of the
  // run's file layer (see Disk::PathCodePage); a given `disk` has its own.
  unsigned pathCodePage = kDefaultCodePage;
  // .NET: the target version texts (unset: "5" and "0").
  std::optional<std::string> major = {};
  std::optional<std::string> minor = {};

  // Write nothing; the run's texts are kept in memory and the scan reads them.
  bool dryRun = false;
  // Search the project's folders for what was left over, after a run that
  // completed (when a record is given).
  bool scan = true;
  // Called with each write of the engine (a diff, say).
  WriteObserver onWrite = {};
  // Tests: asked before each file operation of the transaction, as a fault
  // hook is.
  Transaction::FaultHook hook = {};
  // Tests: a disk that the engine works on as it is, without recovery or
  // transaction.
  Disk* disk = nullptr;
};

// Runs `request`:
// 1. completes a commit that an earlier run over the project's folder left
//    recorded (not in a dry run); a failure stops here;
// 2. runs the engine over a transaction whose journal lives in the project's
//    folder;
// 3. after a run that completed, with no stop asked for, searches for
//    leftovers into `record` (the files as the run leaves them; a stop asked
//    for during the search stops the run);
// 4. commits when the run completed and no stop was asked for; otherwise
//    nothing changes and the last event (Stopped or Cancelled) says so;
// 5. reports the end (Finished after a run that completed).
// Every event also goes to `record` when one is given.
RunOutcome RunMigration(const MigrationRequest& request, Reporter& reporter,
                        const CancelFlag* cancel, RunRecord* record);

}  // namespace kv
