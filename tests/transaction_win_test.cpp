// The run as a transaction on Windows: staged texts read back and leave the
// originals alone until the commit, unchanged files are never written, a file
// edited during the run stops the commit, attributes stay, and only our own
// files of dead runs are removed. The fault and kill tests of the commit are
// transaction_faults_test.cpp.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "journal.h"
#include "test_util.h"
#include "transaction.h"
#include "transaction_test_util.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using kvtest::ScanTree;
using kvtest::TempDir;
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

// A folder with a journal's name, and a journal of ours that names a file
// outside its folder, are left alone and named; neither stops a run, and
// the file outside keeps its bytes.
TEST(WinTransaction, RecoverLeavesAlonePlantedJournals) {
  TempDir dir, outside;
  outside.Write("victim", "secret");
  const std::string reused = std::to_string(::GetCurrentProcessId()) + "-0000000000000001";
  const std::string journal(Transaction::kJournalMarker);
  const std::string folder = journal + reused + "-00000000000000aa";
  const std::string planted = journal + reused + "-00000000000000bb";
  fs::create_directory(dir.path() / folder);
  const std::string temp =
      ".victim" + std::string(Transaction::kTempMarker) + reused + "-00000000000000bb-1";
  dir.Write(temp, "PLANTED");
  const JournalEntry e{'R',
                       dir.path().string(),
                       "..\\" + outside.path().filename().string() + "\\victim",
                       temp,
                       "",
                       0,
                       0,
                       0,
                       0,
                       7,
                       ""};
  dir.Write(planted, EncodeJournal({e}));
  std::vector<LeftAlone> notes;
  EXPECT_FALSE(Transaction::Recover(dir.path().string(), {}, &notes));
  ASSERT_EQ(notes.size(), 2u);
  for (const LeftAlone& n : notes) {
    EXPECT_TRUE(n.path.ends_with(folder) || n.path.ends_with(planted)) << n.path;
  }
  EXPECT_TRUE(fs::exists(dir.path() / planted));
  EXPECT_EQ(outside.Read("victim"), "secret");
}

// Two runs alive in one process, each with its own path code page: each finds,
// lists, reads, writes and commits a file named outside ASCII by that name's
// bytes in its code page, and the other run's bytes name no file for it.
TEST(WinTransaction, RunsInOneProcessTakePathsInTheirOwnCodePages) {
  TempDir dir;
  kvtest::WriteFile(dir.path() / L"\u0424\u0430\u0439\u043b.bas", "0");
  const std::string folder = dir.path().string();
  struct Run {
    unsigned codePage;
    std::string name;  // the file's name in that code page
  };
  const std::vector<Run> runs = {{1251, "\xd4\xe0\xe9\xeb.bas"},
                                 {CP_UTF8, "\xd0\xa4\xd0\xb0\xd0\xb9\xd0\xbb.bas"}};
  std::vector<std::unique_ptr<Transaction>> live;
  for (const Run& run : runs) {
    Transaction::Options options;
    options.pathCodePage = run.codePage;
    live.push_back(std::make_unique<Transaction>(std::move(options)));
  }
  std::string text, expected = "0";
  for (size_t i = 0; i < runs.size(); ++i) {
    Transaction& t = *live[i];
    const Run& run = runs[i];
    EXPECT_FALSE(t.Find(runs[1 - i].name, folder)) << run.codePage;
    EXPECT_TRUE(RealDisk({}, run.codePage).Find(run.name, folder)) << run.codePage;
    const std::optional<std::string> found = t.Find(run.name, folder);
    ASSERT_TRUE(found) << run.codePage;
    EXPECT_TRUE(t.Canonical(*found).value_or("").ends_with("\\" + run.name)) << run.codePage;
    const auto listed = t.ListFolder(folder);
    ASSERT_TRUE(listed && listed->size() == 1) << run.codePage;
    // In the run's code page (a UTF-8 name behind the mark that says so).
    EXPECT_TRUE(listed->front().name.ends_with(run.name)) << run.codePage;
    ASSERT_FALSE(t.ReadAll(*found, &text)) << run.codePage;
    EXPECT_EQ(text, expected);
    expected += "," + std::to_string(run.codePage);
    ASSERT_FALSE(t.WriteAll(*found, expected)) << run.codePage;
    ASSERT_FALSE(t.Commit().failure) << run.codePage;
  }
  EXPECT_EQ(kvtest::ReadFile(dir.path() / L"\u0424\u0430\u0439\u043b.bas"), "0,1251,65001");
  // The default code page, Windows-1252, reads neither name as this file.
  for (const Run& run : runs) EXPECT_FALSE(RealDisk().Find(run.name, folder)) << run.codePage;
}

}  // namespace
}  // namespace kv
