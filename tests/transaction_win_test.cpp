// The run as a transaction on Windows: staged texts read back and leave the
// originals alone until the commit, unchanged files are never written, a file
// edited during the run stops the commit, attributes and hard links stay; and a failure or a
// kill at every operation of a run, its commit or the recovery after it ends,
// once recovered, in all old or all new files.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "test_util.h"
#include "transaction.h"
#include "transaction_test_util.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using kvtest::Files;
using kvtest::RunUpper;
using kvtest::ScanTree;
using kvtest::TempDir;
using kvtest::Tree;
using kvtest::Upper;

DWORD AttributesOf(const std::string& path) {
  return ::GetFileAttributesW(fs::path(path).wstring().c_str());
}

TEST(WinTransaction, StagesOnDiskWritesOnlyChangesKeepsAttributesAndStopsOnEdits) {
  TempDir dir;
  dir.Write("same.txt", "NO CHANGE");
  dir.Write("sub/b.txt", "bee");
  dir.Write("c.txt", "sea");
  ::SetFileAttributesW(fs::path(dir / "sub/b.txt").wstring().c_str(),
                       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
  {
    Transaction t;
    std::string text;
    for (const char* name : {"same.txt", "sub/b.txt"}) {
      ASSERT_FALSE(t.ReadAll(dir / name, &text)) << name;
      ASSERT_FALSE(t.WriteAll(dir / name, Upper(text))) << name;
    }
    EXPECT_EQ(t.StagedCount(), 1u);
    EXPECT_EQ(ScanTree(dir.path()).ours, 1);  // the staged text is on disk, hidden
    ASSERT_FALSE(t.ReadAll(dir / "sub/b.txt", &text));
    EXPECT_EQ(text, "BEE");
    EXPECT_EQ(dir.Read("sub/b.txt"), "bee");
    ASSERT_FALSE(t.Commit().failure);
  }
  EXPECT_EQ(dir.Read("sub/b.txt"), "BEE");
  EXPECT_TRUE(AttributesOf(dir / "sub/b.txt") & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_FALSE(AttributesOf(dir / "same.txt") & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(ScanTree(dir.path()).ours, 0);

  // The user saves a file between the run's write and its commit: nothing
  // changes, the edit stays.
  Transaction u;
  std::string text;
  for (const char* name : {"sub/b.txt", "c.txt"}) {
    ASSERT_FALSE(u.ReadAll(dir / name, &text)) << name;
    ASSERT_FALSE(u.WriteAll(dir / name, text + "!")) << name;
  }
  dir.Write("c.txt", "user's edit, longer");
  const Transaction::CommitResult r = u.Commit();
  EXPECT_EQ(r.failure.error.Message(), "the file changed during the run");
  EXPECT_FALSE(r.pending);
  EXPECT_EQ(dir.Read("sub/b.txt"), "BEE");
  EXPECT_EQ(dir.Read("c.txt"), "user's edit, longer");
  EXPECT_EQ(ScanTree(dir.path()).ours, 0);
}

std::string Hex16(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// Recover removes the staged files and journals of runs that are gone (this
// process's finished runs, and a process id now worn by another process) and
// nothing else: not a live run's, not a user's file that merely looks alike.
TEST(WinTransaction, RecoverRemovesOnlyFilesOfDeadRuns) {
  TempDir dir;
  dir.Write("a.txt", "aaa");
  FILETIME created, exited, kernel, user;
  ASSERT_TRUE(::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user));
  const std::string self = std::to_string(::GetCurrentProcessId()) + "-" +
                           Hex16((uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime);
  const std::string reused = std::to_string(::GetCurrentProcessId()) + "-0000000000000001";
  const std::string token = "-0123456789abcdef";
  const std::string tmp(Transaction::kTempMarker), journal(Transaction::kJournalMarker);
  const std::vector<std::pair<std::string, bool>> cases = {
      {".a.txt" + tmp + self + token + "-1", true},    // a finished run of this process
      {".a.txt" + tmp + reused + token + "-1", true},  // its process id, another process
      {journal + reused + token, true},                // a journal cut short
      {".a.txt" + tmp + "notes", false},               // not ours
      {"a.txt" + tmp + self + token + "-1", false},    // not hidden: not ours
      {".a.txt" + tmp + self + "-0123456789abcde-1", false},
      {journal + self + token + "-x", false},
  };
  for (const auto& [name, removed] : cases) dir.Write(name, "x");
  Transaction live;
  std::string text;
  ASSERT_FALSE(live.ReadAll(dir / "a.txt", &text));
  ASSERT_FALSE(live.WriteAll(dir / "a.txt", "AAA"));
  ASSERT_FALSE(Transaction::Recover(dir.path().string()));
  for (const auto& [name, removed] : cases) {
    EXPECT_EQ(!fs::exists(dir.path() / name), removed) << name;
  }
  EXPECT_EQ(ScanTree(dir.path()).ours, 5);  // the live run's staged file stays
  ASSERT_FALSE(live.Commit().failure);
  EXPECT_EQ(dir.Read("a.txt"), "AAA");
}

void BuildTree(const TempDir& dir) {
  dir.Write("p.vbp", "project");
  dir.Write("a.txt", std::string(3000, 'a'));
  dir.Write("sub/b.txt", "bee");
  dir.Write("sub/same.txt", "SAME");
  fs::create_hard_link(dir.path() / "sub/b.txt", dir.path() / "b2.txt");
}
const std::vector<std::string> kNames = {"p.vbp", "a.txt", "sub/b.txt", "sub/same.txt", "b2.txt"};

// The killed run: started by the test below as a second process, which ends
// at the operation it is told to (TerminateProcess, as a crash would).
constexpr char kKillEnv[] = "KV_TRANSACTION_KILL";

TEST(WinTransaction, DISABLED_KilledRunChild) {
  const char* spec = std::getenv(kKillEnv);
  if (!spec) GTEST_SKIP() << "run by FailureOrKillAtEveryOperationLeavesAllOldOrAllNew";
  char* rest = nullptr;
  const size_t k = std::strtoull(spec, &rest, 10);
  size_t seen = 0;
  RunUpper(fs::path(rest + 1), kNames, [&](DiskOp, const std::string&) {
    if (seen++ == k) ::TerminateProcess(::GetCurrentProcess(), 9);
    return 0;
  });
}

// Runs this test program's killed run in a second process; its exit code.
DWORD RunKilled(const fs::path& root, size_t k) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring spec = std::to_wstring(k) + L"|" + root.wstring();
  ::SetEnvironmentVariableW(L"KV_TRANSACTION_KILL", spec.c_str());
  std::wstring command = L"\"" + std::wstring(self) +
                         L"\" --gtest_also_run_disabled_tests "
                         L"--gtest_filter=WinTransaction.DISABLED_KilledRunChild";
  // Its output goes nowhere: the report is this test's.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE nul =
      ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
  ::CloseHandle(nul);
  ::SetEnvironmentVariableW(L"KV_TRANSACTION_KILL", nullptr);
  if (!started) return ~DWORD{0};
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return code;
}

// Every operation of a run, of its commit and of the recovery after it,
// failed in turn (once, or from there on), and killed at (the process ends
// there): once the next run has recovered, the tree is all old or all new.
TEST(WinTransaction, FailureOrKillAtEveryOperationLeavesAllOldOrAllNew) {
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

  enum class Mode { Once, Lasting, Kill };
  size_t pending = 0, killed = 0;
  for (const Mode mode : {Mode::Once, Mode::Lasting, Mode::Kill}) {
    for (size_t k = 0; k < operations; ++k) {
      const std::string what = std::string(mode == Mode::Kill ? "kill" : "failure") + " at " +
                               std::to_string(k) + (mode == Mode::Lasting ? " on" : "");
      TempDir dir;
      BuildTree(dir);
      if (mode == Mode::Kill) {
        const DWORD code = RunKilled(dir.path(), k);
        ASSERT_TRUE(code == 9 || code == 0) << what << ": exit code " << code;
        killed += code == 9;
      } else {
        size_t seen = 0;
        auto hook = [&](DiskOp, const std::string&) {
          const size_t i = seen++;
          return (mode == Mode::Once ? i == k : i >= k) ? EIO : 0;
        };
        // A failure stops the run with no change, or leaves a commit for the
        // recovery; a failed removal of our leftovers is no failure.
        const Transaction::CommitResult r = RunUpper(dir.path(), kNames, hook);
        pending += r.pending;
        if (!r.pending) {
          EXPECT_TRUE(ScanTree(dir.path()).files == (r.failure ? old : migrated)) << what;
        }
      }
      // The recovery itself may fail at any of its operations; the one after
      // it completes.
      kvtest::RecoverThroughFaults(dir.path(), what);
      Transaction::Recover((dir.path() / "sub").string());
      const Tree t = ScanTree(dir.path());
      EXPECT_TRUE(t.files == old || t.files == migrated)
          << what << ": p.vbp " << t.files.at("p.vbp") << ", sub/b.txt " << t.files.at("sub/b.txt");
      EXPECT_EQ(t.ours, 0) << what;
      // A run afterwards ends as an uninterrupted one.
      ASSERT_FALSE(RunUpper(dir.path(), kNames).failure) << what;
      EXPECT_EQ(ScanTree(dir.path()).files, migrated) << what;
      EXPECT_EQ(RealDisk().Key(dir / "b2.txt"), RealDisk().Key(dir / "sub/b.txt")) << what;
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(pending, 0u);
  EXPECT_EQ(killed, operations);
  std::cout << "[ figures  ] " << operations << " operations, each failed once, failed from "
            << "there on, and killed at; " << pending << " failures left a commit to recover\n";
}

}  // namespace
}  // namespace kv
