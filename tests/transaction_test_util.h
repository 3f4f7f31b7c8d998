// Helpers of the transaction tests, shared by the POSIX and Windows ones: a
// tree's user files apart from ours, a run that upper-cases files, and a
// recovery retried until it completes.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "transaction.h"

namespace kvtest {

using Files = std::map<std::string, std::string>;

// User files below the folder (by relative path with "/"), and how many of
// our files lie beside them.
struct Tree {
  Files files;
  int ours = 0;
};
Tree ScanTree(const std::filesystem::path& root);

std::string Upper(std::string s);

// A run over `names` below `root`: each file is read and written upper-cased,
// then committed. `exchange` as Transaction::Options; `flushAll` flushes
// every staged file in the background as soon as it is staged.
kv::Transaction::CommitResult RunUpper(const std::filesystem::path& root,
                                       const std::vector<std::string>& names,
                                       kv::Transaction::FaultHook hook = {}, bool exchange = true,
                                       bool flushAll = false);

// The ways of swapping a staged file in that the platform has (the one-step
// exchange, and a second name and a rename).
#ifdef _WIN32
inline constexpr bool kSwapModes[] = {true};
#else
inline constexpr bool kSwapModes[] = {true, false};
#endif

// What tells the killed run's process what to do: "<k>|<exchange>|<root>".
inline constexpr char kKillEnv[] = "KV_TRANSACTION_KILL";
// Ends this process at once, as a kill would.
[[noreturn]] void DieNow();
// Runs `run` in a second process (a fork; on Windows this test program again,
// with the test TransactionFaults.DISABLED_KilledRunChild, which calls it),
// where it ends at its operation `k`; false when that process could not be
// run.
using KilledRun = void (*)(const std::filesystem::path& root, size_t k, bool exchange);
bool RunKilled(const std::filesystem::path& root, size_t k, bool exchange, const KilledRun& run);

// The recovery of `root`, failed at each of its operations in turn until one
// run of it completes; that one must report no failure (checked under `what`).
void RecoverThroughFaults(const std::filesystem::path& root, const std::string& what);

}  // namespace kvtest
