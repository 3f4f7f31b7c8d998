// Fault injection through the file layer: over each example tree, every
// open, read, write, flush and rename that a run makes is failed in turn,
// once, and then again as a disk that stays broken from that operation on.
// After each failure every file is its original or its fully migrated bytes,
// no temporary file is left, the run says what happened, and a second run
// without faults finishes the migration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <set>

#include "disk.h"
#include "dotnet_engine.h"
#include "general_functions.h"
#include "progress.h"
#include "reliability_util.h"
#include "test_util.h"
#include "vb6_engine.h"

namespace kvrel {
namespace {

using kv::DiskOp;
using kv::RunOutcome;
using kvtest::CollectingSink;

namespace {
std::string StopLine(kv::StopCause cause, const std::string& path, int error) {
  return *kv::FormatLine(
      {.kind = kv::EventKind::Stopped, .path = path, .error = error, .stop = cause});
}
}  // namespace
using kvtest::TempDir;
using Lines = std::vector<std::string>;

enum class Engine { Vb6, DotNet };
void PrintTo(Engine e, std::ostream* os) {
  *os << (e == Engine::Vb6 ? "VB6 example" : ".NET example");
}

struct Call {
  DiskOp op;
  std::string path;
};

// The errno a failed operation reports; varied so that the reported reason
// is seen to come from the failure itself.
int ErrnoFor(DiskOp op) {
  switch (op) {
    case DiskOp::Open:
      return EACCES;
    case DiskOp::Read:
      return EIO;
    case DiskOp::Write:
      return ENOSPC;
    case DiskOp::Flush:
      return EDQUOT;
    case DiskOp::Rename:
      return EROFS;
  }
  return EIO;
}

struct RunResult {
  Lines lines;
  RunOutcome outcome;
  std::vector<Call> calls;  // every operation asked for, the failed ones included
};

// Runs the engine over `tree`; operations from index `failFrom` on fail (only
// that one when `lasting` is false).
RunResult MigrateWithFaults(Engine engine, const TempDir& tree, std::optional<size_t> failFrom,
                            bool lasting) {
  RunResult run;
  kv::RealDisk disk([&](DiskOp op, const std::string& path) {
    const size_t index = run.calls.size();
    run.calls.push_back({op, path});
    if (!failFrom) return 0;
    const bool fail = lasting ? index >= *failFrom : index == *failFrom;
    return fail ? ErrnoFor(op) : 0;
  });
  CollectingSink sink;
  if (engine == Engine::Vb6) {
    kv::Vb6Migrator migrator(disk);
    run.outcome = migrator.ConvertFile(tree / "Sample.vbp", sink);
  } else {
    kv::DotNetMigrator migrator(disk);
    run.outcome = migrator.ConvertFile(tree / "Sample.sln", sink);
  }
  run.lines = sink.lines;
  return run;
}

// Whether the operation at `index` belongs to a read (an open followed by a
// read of the same file, or a read) rather than to a write.
bool IsReadSide(const std::vector<Call>& calls, size_t index) {
  if (calls[index].op == DiskOp::Read) return true;
  if (calls[index].op != DiskOp::Open) return false;
  return index + 1 < calls.size() && calls[index + 1].op == DiskOp::Read &&
         calls[index + 1].path == calls[index].path;
}

std::string FileName(const std::string& path) { return kv::GetFileNameFromPath(path); }

// The operations with their paths taken relative to the tree, so that runs
// over different copies compare.
std::vector<Call> Relative(const std::vector<Call>& calls, const TempDir& tree) {
  std::vector<Call> out;
  const fs::path root = fs::weakly_canonical(tree.path());
  for (const Call& c : calls) {
    out.push_back({c.op, fs::relative(fs::weakly_canonical(c.path), root).string()});
  }
  return out;
}

class FaultInjection : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    example_ = ExampleDir(GetParam() == Engine::Vb6 ? "vb6" : "dotnet");
    TempDir clean;
    kvtest::CopyTree(example_, clean.path());
    original_ = Scan(clean.path()).files;
    baseline_ = MigrateWithFaults(GetParam(), clean, std::nullopt, false);
    ASSERT_EQ(baseline_.outcome.status, RunOutcome::Status::Completed);
    calls_ = Relative(baseline_.calls, clean);
    migrated_ = Scan(clean.path()).files;
    ASSERT_NE(migrated_, original_);
    ASSERT_FALSE(calls_.empty());
  }

  // Files whose replacement was complete (renamed) before operation `k`.
  std::set<std::string> WrittenBefore(size_t k) const {
    std::set<std::string> written;
    for (size_t i = 0; i < k; ++i) {
      if (calls_[i].op == DiskOp::Rename) written.insert(calls_[i].path);
    }
    return written;
  }

  // The state of the files a run should leave: migrated when in `migratedSet`,
  // original otherwise.
  Files Expected(const std::set<std::string>& migratedSet) const {
    Files expected = original_;
    for (const std::string& name : migratedSet) expected[name] = migrated_.at(name);
    return expected;
  }

  // Runs with operation `k` failed and checks what the run left and said.
  void CheckFault(size_t k, bool lasting) {
    const Call& failed = calls_[k];
    const int err = ErrnoFor(failed.op);
    const bool readSide = IsReadSide(calls_, k);
    SCOPED_TRACE(std::string(lasting ? "lasting" : "single") + " fault at operation " +
                 std::to_string(k) + ": " + kv::DiskOpName(failed.op) + " of " +
                 FileName(failed.path) + (readSide ? " (reading)" : " (writing)"));

    TempDir tree;
    kvtest::CopyTree(example_, tree.path());
    const RunResult run = MigrateWithFaults(GetParam(), tree, k, lasting);
    const TreeScan scan = Scan(tree.path());

    // Nothing half-done, nothing left behind.
    EXPECT_EQ(OriginalOrMigrated(scan.files, original_, migrated_), "");
    EXPECT_EQ(scan.temps, std::vector<std::string>());
    // The run did the same as the run without faults up to the failure.
    const std::vector<Call> calls = Relative(run.calls, tree);
    ASSERT_GT(calls.size(), k);
    for (size_t i = 0; i <= k; ++i) {
      ASSERT_EQ(calls[i].path, calls_[i].path) << i;
      ASSERT_EQ(calls[i].op, calls_[i].op) << i;
    }
    const std::string failedPath = run.calls[k].path;  // as the engine names it
    const std::string failedName = FileName(failed.path);
    const std::string reason = std::strerror(err);
    const std::set<std::string> before = WrittenBefore(k);
    const bool dotnetWrite = GetParam() == Engine::DotNet && !readSide;

    if (!dotnetWrite) {
      // A failure that stops the run: the last line names the file and the
      // reason; files written before it stay migrated, the rest untouched.
      EXPECT_EQ(run.outcome.status, RunOutcome::Status::Failed);
      ASSERT_FALSE(run.lines.empty());
      EXPECT_EQ(run.lines.back(), run.outcome.failure);
      EXPECT_EQ(run.outcome.failure,
                StopLine(readSide ? kv::StopCause::ReadFailed : kv::StopCause::WriteFailed,
                         failedPath, err));
      EXPECT_NE(run.outcome.failure.find(failedName), std::string::npos);
      EXPECT_NE(run.outcome.failure.find(reason), std::string::npos);
      EXPECT_EQ(scan.files, Expected(before));
      if (GetParam() == Engine::Vb6) {
        EXPECT_EQ(scan.files.at("Sample.vbp"), original_.at("Sample.vbp"));
      }
    } else if (!lasting) {
      // A .NET file that cannot be written keeps its bytes, gets its line,
      // and the run goes on with everything else.
      EXPECT_EQ(run.outcome.status, RunOutcome::Status::Completed);
      const std::string line =
          *kv::FormatLine({.kind = kv::EventKind::NotModified, .name = failedName});
      Lines expectedLines = baseline_.lines;
      const std::string parsing = "Parsing Project [" + failedName + "]";
      // The line follows the Parsing Project line of the write that failed.
      size_t writes = 0;  // writes of this file so far, the failed one included
      for (size_t i = 0; i <= k; ++i) {
        writes +=
            calls_[i].op == DiskOp::Open && !IsReadSide(calls_, i) && calls_[i].path == failed.path;
      }
      const size_t nth = writes - 1;
      size_t seen = 0;
      for (size_t i = 0; i < expectedLines.size(); ++i) {
        if (expectedLines[i] == parsing && seen++ == nth) {
          expectedLines.insert(expectedLines.begin() + static_cast<long>(i) + 1, line);
          break;
        }
      }
      EXPECT_EQ(run.lines, expectedLines);
      std::set<std::string> all;
      for (const auto& [name, bytes] : migrated_) {
        if (bytes != original_.at(name)) all.insert(name);
      }
      all.erase(failed.path);
      EXPECT_EQ(scan.files, Expected(all));
    } else {
      // The disk stays broken: this write fails, and the next read, if any,
      // stops the run.
      const std::string line =
          *kv::FormatLine({.kind = kv::EventKind::NotModified, .name = failedName});
      EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), line), run.lines.end());
      std::optional<size_t> nextRead;
      for (size_t i = k + 1; i < calls_.size() && !nextRead; ++i) {
        if (IsReadSide(calls_, i)) nextRead = i;
      }
      if (nextRead) {
        // The run's last operation is the open of that next file, which fails.
        EXPECT_EQ(calls.back().path, calls_[*nextRead].path);
        EXPECT_EQ(run.outcome.status, RunOutcome::Status::Failed);
        EXPECT_EQ(run.lines.back(), run.outcome.failure);
        EXPECT_EQ(run.outcome.failure, StopLine(kv::StopCause::ReadFailed, run.calls.back().path,
                                                ErrnoFor(DiskOp::Open)));
      } else {
        EXPECT_EQ(run.outcome.status, RunOutcome::Status::Completed);
        EXPECT_EQ(run.lines.back(), line);
      }
      EXPECT_EQ(scan.files, Expected(before));
    }

    // A run without faults afterwards completes the migration.
    const RunResult again = MigrateWithFaults(GetParam(), tree, std::nullopt, false);
    EXPECT_EQ(again.outcome.status, RunOutcome::Status::Completed);
    const TreeScan after = Scan(tree.path());
    EXPECT_EQ(after.files, migrated_);
    EXPECT_TRUE(after.temps.empty());
  }

  fs::path example_;
  Files original_;
  Files migrated_;
  RunResult baseline_;
  std::vector<Call> calls_;  // the run without faults, relative paths
};

TEST_P(FaultInjection, EveryOperationFailedOnce) {
  for (size_t k = 0; k < calls_.size(); ++k) {
    CheckFault(k, false);
    if (HasFatalFailure()) return;
  }
  if (!HasFailure())
    std::cout << "[ figures  ] " << calls_.size() << " single faults injected and survived\n";
}

TEST_P(FaultInjection, DiskBrokenFromEveryOperationOn) {
  for (size_t k = 0; k < calls_.size(); ++k) {
    CheckFault(k, true);
    if (HasFatalFailure()) return;
  }
  if (!HasFailure())
    std::cout << "[ figures  ] " << calls_.size() << " lasting faults injected and survived\n";
}

INSTANTIATE_TEST_SUITE_P(Examples, FaultInjection, ::testing::Values(Engine::Vb6, Engine::DotNet),
                         [](const auto& info) {
                           return info.param == Engine::Vb6 ? std::string("Vb6")
                                                            : std::string("DotNet");
                         });

}  // namespace
}  // namespace kvrel
