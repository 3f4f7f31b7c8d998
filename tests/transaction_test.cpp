// The run as a transaction on POSIX systems: unchanged files untouched,
// metadata and hard links kept, files swapped or edited during a run stop it
// with no change, and nothing planted in a folder is trusted by the recovery.
// The fault and kill tests of the commit are transaction_faults_test.cpp.
#include "transaction.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "journal.h"
#include "test_util.h"
#include "transaction_run.h"
#include "transaction_test_util.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using kvtest::Files;
using kvtest::RunUpper;
using kvtest::ScanTree;
using kvtest::TempDir;
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

// A file met under a second name (a hard link made before the run) is the
// same record: it reads back the staged text, and the commit writes it once.
TEST(Transaction, OneFileUnderTwoNamesIsOneRecord) {
  TempDir dir;
  dir.Write("a.txt", "abc");
  fs::create_hard_link(dir / "a.txt", dir / "b.txt");
  Transaction t;
  std::string text;
  ASSERT_FALSE(t.ReadAll(dir / "a.txt", &text));
  ASSERT_FALSE(t.WriteAll(dir / "a.txt", Upper(text)));
  ASSERT_FALSE(t.ReadAll(dir / "b.txt", &text));
  EXPECT_EQ(text, "ABC");
  EXPECT_EQ(t.Key(dir / "b.txt"), t.Key(dir / "a.txt"));
  EXPECT_EQ(t.StagedCount(), 1u);
  ASSERT_FALSE(t.Commit().failure);
  EXPECT_EQ(dir.Read("b.txt"), "ABC");
  EXPECT_EQ(ScanTree(dir.path()).ours, 0);
}

// A large file read in place (mapped) and written as an edited text: the
// commit gives the edited bytes, an edit that gives the text back stages
// nothing, and a file written to after the read is refused at the commit.
TEST(Transaction, MappedReadAndEditedWrite) {
  TempDir dir;
  std::string bytes((size_t{2} << 20) + 11, 'a');
  bytes[7] = 'b';
  dir.Write("big.cs", bytes);
  dir.Write("other.cs", bytes);
  const TextEdit edits[] = {{7, 8, "BB"}, {bytes.size() - 1, bytes.size(), ""}};
  std::string expected = bytes;
  expected.replace(bytes.size() - 1, 1, "");
  expected.replace(7, 1, "BB");
  Transaction t;
  std::string buffer;
  MappedText big, other;
  ASSERT_FALSE(t.ReadMapped(dir / "big.cs", &buffer, &big));
  ASSERT_FALSE(t.ReadMapped(dir / "other.cs", &buffer, &other));
  EXPECT_TRUE(big.mapped());
  EXPECT_EQ(big.view(), bytes);
  const TextEdit same[] = {{7, 8, "b"}};
  ASSERT_FALSE(t.WriteEdited(dir / "big.cs", EditedText{big.view(), same}));
  EXPECT_EQ(t.StagedCount(), 0u);
  ASSERT_FALSE(t.WriteEdited(dir / "big.cs", EditedText{big.view(), edits}));
  ASSERT_FALSE(t.WriteEdited(dir / "other.cs", EditedText{other.view(), edits}));
  EXPECT_EQ(t.StagedCount(), 2u);
  dir.Write("other.cs", bytes + "x");  // changed after it was read
  const Transaction::CommitResult result = t.Commit();
  EXPECT_EQ(result.failure.error.code, ESTALE);
  EXPECT_EQ(dir.Read("big.cs"), bytes);
  Transaction u;
  MappedText again;
  ASSERT_FALSE(u.ReadMapped(dir / "big.cs", &buffer, &again));
  ASSERT_FALSE(u.WriteEdited(dir / "big.cs", EditedText{again.view(), edits}));
  again.Reset();
  ASSERT_FALSE(u.Commit().failure);
  EXPECT_EQ(dir.Read("big.cs"), expected);
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

// The id of a process that has ended: what the files of a dead run carry.
pid_t DeadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

// Files planted in a project's folder by someone who can write it, for a
// later run (perhaps root's): the recovery and the clean-up use or remove
// none of them unless it is a file of ours by every check. Nothing outside
// the project changes, nothing planted stops the run, and each planted file
// that looks like ours is named once.
TEST(Transaction, RecoveryTrustsNothingPlantedInTheFolder) {
  if (!kvtest::RunningAsRoot()) GTEST_SKIP() << "giving files another owner needs root";
  const std::string maker = std::to_string(DeadPid()) + "-0123456789abcdef";
  const std::string journal = std::string(Transaction::kJournalMarker) + maker;
  auto temp = [&](const std::string& name, int serial = 1) {
    return "." + name + std::string(Transaction::kTempMarker) + maker + "-" +
           std::to_string(serial);
  };
  struct Plant {
    const char* what;
    std::function<void(const TempDir& p, const TempDir& o)> plant;
    std::string named;  // the file the run names as left alone ("": none)
  };
  // A journal of one replacement of a.txt by its planted staged copy, with
  // `edit` applied to the entry and to the text.
  auto plantJournal = [&](const TempDir& p, std::function<void(JournalEntry&)> edit,
                          std::function<void(std::string&)> editText = {}) {
    p.Write(temp("a.txt"), "PLANTED");
    const struct stat folder = Stat(p.path().string()), a = Stat(p / "a.txt"),
                      t = Stat(p / temp("a.txt"));
    JournalEntry e{'R',
                   p.path().string(),
                   "a.txt",
                   temp("a.txt"),
                   temp("a.txt", 2),
                   folder.st_dev,
                   folder.st_ino,
                   a.st_ino,
                   t.st_ino,
                   7,
                   ""};
    if (edit) edit(e);
    std::string text = EncodeJournal({e});
    if (editText) editText(text);
    p.Write(journal, text);
    ::chmod((p / journal).c_str(), 0600);
  };
  auto victim = [](const TempDir& o) { return o.path().string(); };
  const std::vector<Plant> plants = {
      {"name with ..",
       [&](const TempDir& p, const TempDir& o) {
         plantJournal(p, [&](JournalEntry& e) {
           e.name = "../" + fs::path(victim(o)).filename().string() + "/victim";
         });
       },
       journal},
      {"absolute name",
       [&](const TempDir& p, const TempDir& o) {
         plantJournal(p, [&](JournalEntry& e) { e.name = o / "victim"; });
       },
       journal},
      {"staged name with a separator",
       [&](const TempDir& p, const TempDir&) {
         plantJournal(p, [&](JournalEntry& e) { e.temp = "../" + e.temp; });
       },
       journal},
      {"staged name of another run",
       [&](const TempDir& p, const TempDir&) {
         plantJournal(
             p, [&](JournalEntry& e) { e.old = ".a.txt.kvmigrate-tmp-1-0123456789abcdef-1"; });
       },
       journal},
      {"folder outside, forged inodes",
       [&](const TempDir& p, const TempDir& o) {
         o.Write(temp("victim"), "PLANTED");
         plantJournal(p, [&](JournalEntry& e) {
           e.folder = victim(o);
           e.name = "victim";
           e.temp = temp("victim");
           e.old = "";
           e.inode = Stat(o / "victim").st_ino;
           e.newInode = Stat(o / temp("victim")).st_ino;
           e.folderInode = Stat(victim(o)).st_ino + 7919;  // not that folder
         });
       },
       ""},
      {"name a symlink out, written in place",
       [&](const TempDir& p, const TempDir& o) {
         fs::create_symlink(o / "victim", p.path() / "link");
         plantJournal(p, [&](JournalEntry& e) {
           fs::rename(p.path() / e.temp, p.path() / temp("link"));
           e.kind = 'W';
           e.name = "link";
           e.temp = temp("link");
           e.old = temp("link", 2);
           e.inode = Stat(o / "victim").st_ino;
         });
       },
       ""},
      {"staged file a symlink out",
       [&](const TempDir& p, const TempDir& o) {
         plantJournal(p, {});
         fs::remove(p.path() / temp("a.txt"));
         fs::create_symlink(o / "victim", p.path() / temp("a.txt"));
       },
       temp("a.txt")},
      {"staged file another user's",
       [&](const TempDir& p, const TempDir&) {
         plantJournal(p, {});
         ::chown((p / temp("a.txt")).c_str(), 65534, 65534);
       },
       temp("a.txt")},
      {"forged checksum",
       [&](const TempDir& p, const TempDir& o) {
         plantJournal(
             p, [&](JournalEntry& e) { e.name = o / "victim"; },
             [](std::string& text) { text[text.size() - 3] ^= 1; });
       },
       ""},
      {"journal another user's",
       [&](const TempDir& p, const TempDir&) {
         plantJournal(p, {});
         ::chown((p / journal).c_str(), 65534, 65534);
       },
       journal},
      {"journal writable by its group",
       [&](const TempDir& p, const TempDir&) {
         plantJournal(p, {});
         ::chmod((p / journal).c_str(), 0620);
       },
       journal},
      {"journal with a second name",
       [&](const TempDir& p, const TempDir& o) {
         plantJournal(p, {});
         fs::create_hard_link(p.path() / journal, o.path() / "link");
       },
       journal},
      {"journal a FIFO",
       [&](const TempDir& p, const TempDir&) { ::mkfifo((p / journal).c_str(), 0600); }, journal},
      {"journal a symlink",
       [&](const TempDir& p, const TempDir& o) {
         fs::create_symlink(o / "victim", p.path() / journal);
       },
       journal},
      {"journal a folder",
       [&](const TempDir& p, const TempDir&) { fs::create_directory(p.path() / journal); },
       journal},
      {"journal huge and sparse",
       [&](const TempDir& p, const TempDir&) {
         p.Write(journal, "kvmigrate journal 1\n");
         ::chmod((p / journal).c_str(), 0600);
         fs::resize_file(p.path() / journal, Transaction::kJournalLimit + 1);
       },
       journal},
      {"stale temp a symlink out",
       [&](const TempDir& p, const TempDir& o) {
         fs::create_symlink(o / "victim", p.path() / temp("a.txt"));
       },
       temp("a.txt")},
      {"stale temp name with more after it",
       [&](const TempDir& p, const TempDir& o) {
         fs::create_symlink(o / "victim", p.path() / (temp("a.txt") + "-x"));
         p.Write(temp("a.txt") + "x", "not ours");
       },
       ""},
      {"stale temp another user's",
       [&](const TempDir& p, const TempDir&) {
         p.Write(temp("gone.txt"), "theirs");
         ::chown((p / temp("gone.txt")).c_str(), 65534, 65534);
       },
       temp("gone.txt")},
  };
  for (const Plant& plant : plants) {
    SCOPED_TRACE(plant.what);
    TempDir p, o;
    p.Write("a.txt", "aaa");
    o.Write("victim", "secret");
    ::chmod((o / "victim").c_str(), 0440);
    plant.plant(p, o);
    const Files outside = o.Snapshot();
    // The run over the project goes as if nothing were there.
    std::vector<std::string> notices;
    struct Notices : Reporter {
      std::vector<std::string>* out;
      void Report(const ProgressEvent& e) override {
        if (auto n = FormatNotice(e)) out->push_back(*n);
      }
    } reporter;
    reporter.out = &notices;
    const RunOutcome outcome = RunAsTransaction(
        p / "a.txt", reporter, nullptr, [&](Disk& disk, Reporter&, const CancelFlag*) {
          std::string text;
          EXPECT_FALSE(disk.ReadAll(p / "a.txt", &text));
          EXPECT_FALSE(disk.WriteAll(p / "a.txt", Upper(text)));
          return RunOutcome{};
        });
    EXPECT_EQ(outcome.status, RunOutcome::Status::Completed) << outcome.failure;
    EXPECT_EQ(p.Read("a.txt"), "AAA");
    EXPECT_EQ(o.Snapshot(), outside);
    EXPECT_EQ(Stat(o / "victim").st_mode & 07777, 0440u);
    if (plant.named.empty()) {
      EXPECT_TRUE(notices.empty()) << notices.front();
    } else {
      ASSERT_EQ(notices.size(), 1u);
      EXPECT_TRUE(notices[0].starts_with("left alone: " + (p / plant.named) + ": ")) << notices[0];
      EXPECT_TRUE(fs::exists(fs::symlink_status(p.path() / plant.named)));
    }
  }
}

// A file with several names is written into at the commit; when a kill cuts
// that short, the recovery writes it again and, as the commit does, sets
// again the setuid bit that an ordinary user's write clears.
TEST(Transaction, RecoveryWritingInPlaceKeepsTheSetuidBit) {
  if (!kvtest::RunningAsRoot()) GTEST_SKIP() << "running as a second user needs root";
  TempDir dir;
  dir.Write("tool", "old");
  fs::create_hard_link(dir.path() / "tool", dir.path() / "tool2");
  ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown((dir / "tool").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod((dir / "tool").c_str(), 04755), 0);
  auto asNobody = [&](const std::function<void()>& act) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
          ::setresuid(65534, 65534, 65534) != 0)
        ::_exit(10);
      act();
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
  };
  // Killed once the text is in the file, before it is flushed.
  asNobody([&] {
    int flushes = 0;
    RunUpper(dir.path(), {"tool"}, [&](DiskOp op, const std::string& path) {
      if (op == DiskOp::Flush && path == dir / "tool" && ++flushes == 2) ::_exit(9);
      return 0;
    });
  });
  ::chmod((dir / "tool").c_str(), 0755);  // as the write by that user left it
  ASSERT_EQ(asNobody([&] { ::_exit(Transaction::Recover(dir.path().string()) ? 1 : 0); }), 0);
  EXPECT_EQ(dir.Read("tool2"), "OLD");
  EXPECT_EQ(Stat(dir / "tool").st_mode & 07777, 04755u);
  EXPECT_EQ(ScanTree(dir.path()).ours, 0);
}

}  // namespace
}  // namespace kv
