// Fault injection through the file layer: over each example tree, every
// operation of a run as the front ends make it (the recovery before it, the
// reads and staged writes, the commit) is failed in turn, once, and then
// again as a disk that stays broken from that operation on. After each
// failure the run says what happened; the tree is all old (or, for a .NET
// file that could not be modified, all new but that file), or, where the
// commit could not even be undone, becomes all new once the next run has
// recovered; no staged file or journal is left after that run, and a run
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
#include "transaction_run.h"
#include "vb6_engine.h"

namespace kvrel {
namespace {

using kv::DiskOp;
using kv::RunOutcome;
using kvtest::CollectingSink;
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
    case DiskOp::Check:
      return ESTALE;
    case DiskOp::Meta:
      return EPERM;
    case DiskOp::Journal:
      return EFBIG;
    case DiskOp::Remove:
      return EBUSY;
  }
  return EIO;
}

struct RunResult {
  Lines lines;
  RunOutcome outcome;
  std::vector<Call> calls;  // every operation asked for, the failed ones included
};

// Runs the engine over `tree` as the front ends do; operations from index
// `failFrom` on fail (only that one when `lasting` is false).
RunResult MigrateWithFaults(Engine engine, const TempDir& tree, std::optional<size_t> failFrom,
                            bool lasting) {
  RunResult run;
  kv::Transaction::Options options;
  options.hook = [&](DiskOp op, const std::string& path) {
    const size_t index = run.calls.size();
    run.calls.push_back({op, path});
    if (!failFrom) return 0;
    const bool fail = lasting ? index >= *failFrom : index == *failFrom;
    return fail ? ErrnoFor(op) : 0;
  };
  CollectingSink sink;
  const std::string entry = tree / (engine == Engine::Vb6 ? "Sample.vbp" : "Sample.sln");
  run.outcome = kv::RunAsTransaction(
      entry, sink, nullptr,
      [&](kv::Disk& disk, kv::Reporter& s, const kv::CancelFlag* cancel) {
        if (engine == Engine::Vb6) return kv::Vb6Migrator(disk).ConvertFile(entry, s, cancel);
        return kv::DotNetMigrator(disk).ConvertFile(entry, s, cancel);
      },
      options);
  run.lines = sink.lines;
  return run;
}

std::string FileName(const std::string& path) { return kv::GetFileNameFromPath(path); }

class FaultInjection : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    example_ = ExampleDir(GetParam() == Engine::Vb6 ? "vb6" : "dotnet");
    TempDir clean;
    kvtest::CopyTree(example_, clean.path());
    original_ = Scan(clean.path()).files;
    baseline_ = MigrateWithFaults(GetParam(), clean, std::nullopt, false);
    ASSERT_EQ(baseline_.outcome.status, RunOutcome::Status::Completed);
    migrated_ = Scan(clean.path()).files;
    ASSERT_NE(migrated_, original_);
    ASSERT_FALSE(baseline_.calls.empty());
  }

  // Runs with operation `k` failed and checks what the run left and said.
  void CheckFault(size_t k, bool lasting) {
    const Call& failed = baseline_.calls[k];
    SCOPED_TRACE(std::string(lasting ? "lasting" : "single") + " fault at operation " +
                 std::to_string(k) + ": " + kv::DiskOpName(failed.op) + " of " +
                 FileName(failed.path));

    TempDir tree;
    kvtest::CopyTree(example_, tree.path());
    const RunResult run = MigrateWithFaults(GetParam(), tree, k, lasting);
    ASSERT_GT(run.calls.size(), k);
    // Files that a .NET run reported as not modified keep their bytes.
    std::set<std::string> notModified;
    const std::string prefix = "Could not modify [";
    for (const std::string& line : run.lines) {
      if (line.starts_with(prefix)) {
        notModified.insert(line.substr(prefix.size(), line.size() - prefix.size() - 1));
      }
    }
    Files partly = migrated_;
    for (auto& [name, bytes] : partly) {
      if (notModified.count(FileName(name))) bytes = original_.at(name);
    }
    const Files now = Scan(tree.path()).files;
    bool pending = false;
    if (run.outcome.status == RunOutcome::Status::Completed) {
      // Only a .NET file that could not be staged may fail without a stop;
      // everything else committed.
      EXPECT_EQ(now, partly);
      if (GetParam() == Engine::Vb6) {
        EXPECT_TRUE(notModified.empty());
      }
    } else {
      // The last line names the failure and what it left.
      ASSERT_FALSE(run.lines.empty());
      EXPECT_EQ(run.lines.back(), run.outcome.failure);
      // Its reason is that of the failed operation (of a later one, where the
      // disk stays broken and the first failure did not stop the run).
      bool reasonFound = false;
      for (size_t i = k; i < (lasting ? run.calls.size() : k + 1); ++i) {
        const std::string r = std::strerror(ErrnoFor(run.calls[i].op));
        reasonFound = reasonFound || run.outcome.failure.find(r) != std::string::npos;
      }
      EXPECT_TRUE(reasonFound) << run.outcome.failure;
      pending = run.outcome.failure.ends_with("completes the change");
      if (!pending) {
        EXPECT_TRUE(run.outcome.failure.ends_with("; no file was changed")) << run.outcome.failure;
        EXPECT_EQ(now, original_);
      }
    }

    // The next run first recovers; then the tree is whole, and that run
    // finishes the migration with nothing of ours left.
    CollectingSink sink;
    EXPECT_FALSE(kv::Transaction::Recover(tree.path().string()));
    const Files recovered = Scan(tree.path()).files;
    EXPECT_TRUE(recovered == original_ || recovered == partly ||
                (pending && recovered == migrated_));
    const RunResult again = MigrateWithFaults(GetParam(), tree, std::nullopt, false);
    EXPECT_EQ(again.outcome.status, RunOutcome::Status::Completed);
    const TreeScan after = Scan(tree.path());
    EXPECT_EQ(after.files, migrated_);
    EXPECT_EQ(after.temps, std::vector<std::string>());
    ++(run.outcome.status == RunOutcome::Status::Completed ? completed_ : stopped_);
  }

  fs::path example_;
  Files original_;
  Files migrated_;
  RunResult baseline_;
  int completed_ = 0, stopped_ = 0;
};

TEST_P(FaultInjection, EveryOperationFailedOnce) {
  for (size_t k = 0; k < baseline_.calls.size(); ++k) {
    CheckFault(k, false);
    if (HasFatalFailure()) return;
  }
  if (!HasFailure())
    std::cout << "[ figures  ] " << baseline_.calls.size()
              << " single faults injected and survived (" << stopped_ << " stopped the run)\n";
}

TEST_P(FaultInjection, DiskBrokenFromEveryOperationOn) {
  for (size_t k = 0; k < baseline_.calls.size(); ++k) {
    CheckFault(k, true);
    if (HasFatalFailure()) return;
  }
  if (!HasFailure())
    std::cout << "[ figures  ] " << baseline_.calls.size()
              << " lasting faults injected and survived (" << stopped_ << " stopped the run)\n";
}

INSTANTIATE_TEST_SUITE_P(Examples, FaultInjection, ::testing::Values(Engine::Vb6, Engine::DotNet),
                         [](const auto& info) {
                           return info.param == Engine::Vb6 ? std::string("Vb6")
                                                            : std::string("DotNet");
                         });

}  // namespace
}  // namespace kvrel
