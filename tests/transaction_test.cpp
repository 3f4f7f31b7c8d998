// The run as a transaction: unchanged files untouched, metadata and hard
// links kept, files swapped or edited during a run stop it with no change,
// and a failure or a kill at every operation of a run, its commit or the
// recovery after it ends, once recovered, in all old or all new files.
#include "transaction.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "test_util.h"
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

struct stat Stat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(Transaction, UnchangedFilesAreNeverWrittenAndStagedTextReadsBack) {
  TempDir dir;
  dir.Write("same.txt", "NO CHANGE");
  dir.Write("ro.txt", "READ ONLY");
  dir.Write("sub/b.txt", "bee");
  ::chmod((dir / "ro.txt").c_str(), 0444);
  const struct stat before = Stat(dir / "same.txt");
  Transaction t;
  std::string text;
  for (const char* name : {"same.txt", "ro.txt", "sub/b.txt"}) {
    ASSERT_FALSE(t.ReadAll(dir / name, &text)) << name;
    EXPECT_FALSE(t.WriteAll(dir / name, Upper(text))) << name;  // read-only, but unchanged
  }
  EXPECT_EQ(t.StagedCount(), 1u);
  ASSERT_FALSE(t.ReadAll(dir / "sub/b.txt", &text));
  EXPECT_EQ(text, "BEE");
  EXPECT_EQ(dir.Read("sub/b.txt"), "bee");  // nothing before the commit
  ASSERT_FALSE(t.Commit().failure);
  EXPECT_EQ(dir.Read("sub/b.txt"), "BEE");
  const struct stat after = Stat(dir / "same.txt");
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(ScanTree(dir.path()).ours, 0);
  // Writing the old text back unstages; rollback leaves everything.
  Transaction u;
  ASSERT_FALSE(u.ReadAll(dir / "sub/b.txt", &text));
  ASSERT_FALSE(u.WriteAll(dir / "sub/b.txt", "x"));
  ASSERT_FALSE(u.WriteAll(dir / "sub/b.txt", "BEE"));
  EXPECT_EQ(u.StagedCount(), 0u);
  ASSERT_FALSE(u.WriteAll(dir / "sub/b.txt", "y"));
  u.Rollback();
  EXPECT_EQ(dir.Read("sub/b.txt"), "BEE");
  EXPECT_EQ(ScanTree(dir.path()).ours, 0);
}

TEST(Transaction, KeepsOwnerModeXattrsAclsAndHardLinks) {
  if (!kvtest::RunningAsRoot()) GTEST_SKIP() << "setting another owner needs root";
  TempDir dir;
  dir.Write("suid.txt", "set uid");
  dir.Write("linked.txt", "linked");
  ASSERT_EQ(::chown((dir / "suid.txt").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod((dir / "suid.txt").c_str(), 06755), 0);
  if (::setxattr((dir / "suid.txt").c_str(), "user.note", "kept", 4, 0) != 0)
    GTEST_SKIP() << "the temporary folder takes no extended attributes";
  const bool acl =
      kvtest::RunCommand("setfacl -m u:nobody:rw " + (dir / "suid.txt") + " 2>&1").status == 0;
  const bool cap =
      kvtest::RunCommand("setcap cap_net_raw+ep " + (dir / "linked.txt") + " 2>&1").status == 0;
  fs::create_hard_link(dir.path() / "linked.txt", dir.path() / "second.txt");
  const struct stat suid = Stat(dir / "suid.txt");
  const struct stat linked = Stat(dir / "linked.txt");
  const std::string aclBefore = kvtest::RunCommand("getfacl -c " + (dir / "suid.txt")).out;

  ASSERT_FALSE(RunUpper(dir.path(), {"suid.txt", "linked.txt", "second.txt"}).failure);
  EXPECT_EQ(dir.Read("suid.txt"), "SET UID");
  const struct stat now = Stat(dir / "suid.txt");
  EXPECT_EQ(now.st_mode, suid.st_mode);
  EXPECT_EQ(now.st_uid, 65534u);
  EXPECT_EQ(now.st_gid, 65534u);
  char value[16] = {};
  EXPECT_EQ(::getxattr((dir / "suid.txt").c_str(), "user.note", value, sizeof value), 4);
  EXPECT_STREQ(value, "kept");
  if (acl) {
    EXPECT_EQ(kvtest::RunCommand("getfacl -c " + (dir / "suid.txt")).out, aclBefore);
  }
  // One file under both names, migrated once, still the same inode.
  EXPECT_EQ(dir.Read("second.txt"), "LINKED");
  EXPECT_EQ(Stat(dir / "second.txt").st_ino, linked.st_ino);
  EXPECT_EQ(Stat(dir / "linked.txt").st_nlink, 2u);
  if (cap) {
    EXPECT_NE(kvtest::RunCommand("getcap " + (dir / "linked.txt")).out, "");
  }
  EXPECT_EQ(ScanTree(dir.path()).ours, 0);
}

// As an ordinary user: a writable file of another owner cannot keep its
// owner, so it is refused; the user's own file keeps its group.
TEST(Transaction, OtherOwnersWritableFileIsRefusedForAUser) {
  if (!kvtest::RunningAsRoot()) GTEST_SKIP() << "needs root to make the second owner";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  TempDir dir;
  dir.Write("theirs.txt", "theirs");
  dir.Write("mine.txt", "mine");
  ::chmod(dir.path().c_str(), 0777);
  ::chmod((dir / "theirs.txt").c_str(), 0666);
  ASSERT_EQ(::chown((dir / "mine.txt").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
        ::setuid(nobody->pw_uid) != 0)
      ::_exit(10);
    Transaction t;
    std::string text;
    if (t.ReadAll(dir / "theirs.txt", &text) || t.ReadAll(dir / "mine.txt", &text)) ::_exit(11);
    const IoError refused = t.WriteAll(dir / "theirs.txt", "THEIRS");
    if (refused.code != EPERM || refused.Message().find("owner") == std::string::npos) ::_exit(12);
    if (t.WriteAll(dir / "mine.txt", "MINE") || t.Commit().failure) ::_exit(13);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(dir.Read("theirs.txt"), "theirs");
  EXPECT_EQ(dir.Read("mine.txt"), "MINE");
  EXPECT_EQ(Stat(dir / "mine.txt").st_gid, nobody->pw_gid);
}

// Someone who can write the folder changes a file between the read and the
// commit: the run stops, changes nothing, and the victim of a symlink or the
// user's edit stays as it is.
TEST(Transaction, FileSwappedOrEditedDuringTheRunStopsIt) {
  struct Attack {
    const char* name;
    std::function<void(const TempDir&)> act;
    bool atWrite;  // before the write rather than between write and commit
  };
  const std::vector<Attack> attacks = {
      {"symlink swapped in",
       [](const TempDir& d) {
         fs::remove(d.path() / "b.txt");
         fs::create_symlink(d.path() / "victim", d.path() / "b.txt");
       },
       false},
      {"edited in place", [](const TempDir& d) { d.Write("b.txt", "user's edit"); }, false},
      {"saved by rename",
       [](const TempDir& d) {
         d.Write("new", "user's edit");
         fs::rename(d.path() / "new", d.path() / "b.txt");
       },
       false},
      {"symlink before the write",
       [](const TempDir& d) {
         fs::remove(d.path() / "b.txt");
         fs::create_symlink(d.path() / "victim", d.path() / "b.txt");
       },
       true},
  };
  for (const Attack& attack : attacks) {
    SCOPED_TRACE(attack.name);
    TempDir dir;
    dir.Write("a.txt", "aaa");
    dir.Write("b.txt", "bbb");
    dir.Write("victim", "secret");
    Transaction t;
    std::string a, b;
    ASSERT_FALSE(t.ReadAll(dir / "a.txt", &a));
    ASSERT_FALSE(t.ReadAll(dir / "b.txt", &b));
    ASSERT_FALSE(t.WriteAll(dir / "a.txt", "AAA"));
    if (attack.atWrite) {
      attack.act(dir);
      EXPECT_EQ(t.WriteAll(dir / "b.txt", "BBB").code, ESTALE);
      t.Rollback();
    } else {
      ASSERT_FALSE(t.WriteAll(dir / "b.txt", "BBB"));
      attack.act(dir);
      const Transaction::CommitResult r = t.Commit();
      EXPECT_EQ(r.failure.error.Message(), "the file changed during the run");
      EXPECT_FALSE(r.pending);
    }
    EXPECT_EQ(dir.Read("a.txt"), "aaa");
    EXPECT_EQ(dir.Read("victim"), "secret");
    if (std::string(attack.name) != "symlink swapped in" && !attack.atWrite) {
      EXPECT_EQ(dir.Read("b.txt"), "user's edit");
    }
    EXPECT_EQ(ScanTree(dir.path()).ours, 0);
  }
}

// A tree of files in two folders, one with two hard-linked names.
void BuildTree(const TempDir& dir) {
  dir.Write("p.vbp", "project");
  dir.Write("a.txt", std::string(3000, 'a'));
  dir.Write("sub/b.txt", "bee");
  dir.Write("sub/same.txt", "SAME");
  fs::create_hard_link(dir.path() / "sub/b.txt", dir.path() / "b2.txt");
}
const std::vector<std::string> kNames = {"p.vbp", "a.txt", "sub/b.txt", "sub/same.txt", "b2.txt"};

// What a tree is once recovered: all old or all new, and nothing of ours.
void ExpectWhole(const fs::path& root, const Files& old, const Files& migrated,
                 const std::string& what) {
  const Tree t = ScanTree(root);
  EXPECT_TRUE(t.files == old || t.files == migrated)
      << what << ": p.vbp " << t.files.at("p.vbp") << ", sub/b.txt " << t.files.at("sub/b.txt");
  EXPECT_EQ(t.ours, 0) << what;
}

// Every operation of a run, of its commit and of the recovery after it,
// failed in turn (once, or from there on), and killed at (the process ends
// there): once the next run has recovered, the tree is all old or all new.
TEST(Transaction, FailureOrKillAtEveryOperationLeavesAllOldOrAllNew) {
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

  // Every commit both ways: with the one-step swap, and with the link and
  // rename of file systems that lack it (there with every staged file also
  // flushed in the background as soon as it is staged).
  enum class Mode { Once, Lasting, Kill };
  for (const bool exchange : {true, false})
    for (const Mode mode : {Mode::Once, Mode::Lasting, Mode::Kill}) {
      for (size_t k = 0; k < operations; ++k) {
        const std::string what = std::string(mode == Mode::Kill ? "kill" : "failure") + " at " +
                                 std::to_string(k) + (mode == Mode::Lasting ? " on" : "") +
                                 (exchange ? "" : " (link and rename, background flushes)");
        TempDir dir;
        BuildTree(dir);
        size_t seen = 0;
        auto hook = [&](DiskOp, const std::string&) {
          const size_t i = seen++;
          if (mode == Mode::Kill && i == k) ::_exit(9);
          return (mode == Mode::Once ? i == k : i >= k) ? EIO : 0;
        };
        if (mode == Mode::Kill) {
          const pid_t child = ::fork();
          if (child == 0) {
            RunUpper(dir.path(), kNames, hook, exchange, !exchange);
            ::_exit(0);
          }
          int status = 0;
          ::waitpid(child, &status, 0);
        } else {
          // A failure stops the run with no change, or leaves a commit for
          // the recovery; a failed removal of our leftovers is no failure.
          const Transaction::CommitResult r =
              RunUpper(dir.path(), kNames, hook, exchange, !exchange);
          if (!r.pending) {
            EXPECT_TRUE(ScanTree(dir.path()).files == (r.failure ? old : migrated)) << what;
          }
        }
        // The recovery itself may fail or die at any of its operations; the
        // one after it completes.
        kvtest::RecoverThroughFaults(dir.path(), what);
        Transaction::Recover((dir.path() / "sub").string());
        ExpectWhole(dir.path(), old, migrated, what);
        // A run afterwards ends as an uninterrupted one.
        ASSERT_FALSE(RunUpper(dir.path(), kNames).failure) << what;
        EXPECT_EQ(ScanTree(dir.path()).files, migrated) << what;
        EXPECT_EQ(Stat(dir / "b2.txt").st_ino, Stat(dir / "sub/b.txt").st_ino) << what;
        if (HasFailure()) return;
      }
    }
  std::cout << "[ figures  ] " << operations << " operations, each failed once, failed from "
            << "there on, and killed at\n";
}

}  // namespace
}  // namespace kv
