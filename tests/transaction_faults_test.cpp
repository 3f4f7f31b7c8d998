// The one commit and recovery, on each platform: a failure or a kill at
// every operation of a run, its commit or the recovery after it ends, once
// recovered, in all old or all new files; and a run that runs out of memory
// stops with no change.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "test_util.h"
#include "transaction.h"
#include "transaction_run.h"
#include "transaction_test_util.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using kvtest::Files;
using kvtest::RunUpper;
using kvtest::ScanTree;
using kvtest::TempDir;
using kvtest::Tree;

// A tree of files in two folders, one with two hard-linked names.
void BuildTree(const TempDir& dir) {
  dir.Write("p.vbp", "project");
  dir.Write("a.txt", std::string(3000, 'a'));
  dir.Write("sub/b.txt", "bee");
  dir.Write("sub/same.txt", "SAME");
  fs::create_hard_link(dir.path() / "sub/b.txt", dir.path() / "b2.txt");
}
const std::vector<std::string> kNames = {"p.vbp", "a.txt", "sub/b.txt", "sub/same.txt", "b2.txt"};

// The run that a kill ends, in a second process.
void KilledRun(const fs::path& root, size_t k, bool exchange) {
  size_t seen = 0;
  RunUpper(
      root, kNames,
      [&](DiskOp, const std::string&) {
        if (seen++ == k) kvtest::DieNow();
        return 0;
      },
      exchange, !exchange);
}

TEST(TransactionFaults, DISABLED_KilledRunChild) {
  const char* spec = std::getenv(kvtest::kKillEnv);
  if (!spec) GTEST_SKIP() << "run by FailureOrKillAtEveryOperationLeavesAllOldOrAllNew";
  char* rest = nullptr;
  const size_t k = std::strtoull(spec, &rest, 10);
  KilledRun(fs::path(rest + 3), k, rest[1] == '1');
}

// Every operation of a run, of its commit and of the recovery after it,
// failed in turn (once, or from there on), and killed at (the process ends
// there): once the next run has recovered, the tree is all old or all new.
TEST(TransactionFaults, FailureOrKillAtEveryOperationLeavesAllOldOrAllNew) {
  TempDir model;
  BuildTree(model);
  const Files old = ScanTree(model.path()).files;
  size_t operations = 0;
  ASSERT_FALSE(RunUpper(model.path(), kNames, [&](DiskOp, const std::string&) {
                 ++operations;
                 return 0;
               }).failure);
  const Files migrated = ScanTree(model.path()).files;
  ASSERT_NE(old, migrated);
  ASSERT_GT(operations, 20u);

  // Every commit both ways where the platform has both: with the one-step
  // swap, and with the second name and rename of file systems that lack it
  // (there with every staged file also flushed in the background as soon
  // as it is staged).
  enum class Mode { Once, Lasting, Kill };
  size_t pending = 0;
  for (const bool exchange : kvtest::kSwapModes)
    for (const Mode mode : {Mode::Once, Mode::Lasting, Mode::Kill}) {
      for (size_t k = 0; k < operations; ++k) {
        const std::string what = std::string(mode == Mode::Kill ? "kill" : "failure") + " at " +
                                 std::to_string(k) + (mode == Mode::Lasting ? " on" : "") +
                                 (exchange ? "" : " (second name and rename)");
        TempDir dir;
        BuildTree(dir);
        if (mode == Mode::Kill) {
          ASSERT_TRUE(kvtest::RunKilled(dir.path(), k, exchange, KilledRun)) << what;
        } else {
          size_t seen = 0;
          auto hook = [&](DiskOp, const std::string&) {
            const size_t i = seen++;
            return (mode == Mode::Once ? i == k : i >= k) ? EIO : 0;
          };
          // A failure stops the run with no change, or leaves a commit for
          // the recovery; a failed removal of our leftovers is no failure.
          const Transaction::CommitResult r =
              RunUpper(dir.path(), kNames, hook, exchange, !exchange);
          pending += r.pending;
          if (!r.pending) {
            EXPECT_TRUE(ScanTree(dir.path()).files == (r.failure ? old : migrated)) << what;
          }
        }
        // The recovery itself may fail at any of its operations; the one
        // after it completes.
        kvtest::RecoverThroughFaults(dir.path(), what);
        Transaction::Recover((dir.path() / "sub").string());
        const Tree t = ScanTree(dir.path());
        EXPECT_TRUE(t.files == old || t.files == migrated)
            << what << ": p.vbp " << t.files.at("p.vbp") << ", sub/b.txt "
            << t.files.at("sub/b.txt");
        EXPECT_EQ(t.ours, 0) << what;
        // A run afterwards ends as an uninterrupted one.
        ASSERT_FALSE(RunUpper(dir.path(), kNames).failure) << what;
        EXPECT_EQ(ScanTree(dir.path()).files, migrated) << what;
        EXPECT_EQ(RealDisk().Key(dir / "b2.txt"), RealDisk().Key(dir / "sub/b.txt")) << what;
        if (HasFailure()) return;
      }
    }
  EXPECT_GT(pending, 0u);
  std::cout << "[ figures  ] " << operations << " operations, each failed once, failed from "
            << "there on, and killed at; " << pending << " failures left a commit to recover\n";
}

// Memory running out anywhere in a run (here after a file was staged) stops
// it like any other failure: its line, no change, no staged file left.
TEST(TransactionFaults, RunOutOfMemoryStopsWithNoChange) {
  TempDir dir;
  BuildTree(dir);
  const Files old = ScanTree(dir.path()).files;
  struct Lines : LineReporter {
    std::vector<std::string> lines;
    void Line(const std::string& line) override { lines.push_back(line); }
  } lines;
  const RunOutcome outcome = RunAsTransaction(
      dir / "p.vbp", lines, nullptr, [&](Disk& disk, Reporter&, const CancelFlag*) -> RunOutcome {
        std::string text;
        if (disk.ReadAll(dir / "a.txt", &text) || disk.WriteAll(dir / "a.txt", "A")) return {};
        throw std::bad_alloc();
      });
  EXPECT_EQ(outcome.status, RunOutcome::Status::Failed);
  EXPECT_EQ(outcome.failure, "Stopped: out of memory; no file was changed");
  ASSERT_FALSE(lines.lines.empty());
  EXPECT_EQ(lines.lines.back(), outcome.failure);
  const Tree t = ScanTree(dir.path());
  EXPECT_EQ(t.files, old);
  EXPECT_EQ(t.ours, 0);
}

}  // namespace
}  // namespace kv
