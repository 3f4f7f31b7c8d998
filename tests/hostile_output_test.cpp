// What someone who can write the project's folder, or type the command line,
// may try against a run's outputs and its search for leftovers: a symlink
// where the record goes, version texts that would break a project file, a web
// address that climbs out of the web root, and folders the search cannot
// read, a file too large to hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "leftover_scan.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using kvtest::Cli;
using kvtest::CommandResult;
using kvtest::Quote;
using kvtest::RunCommand;
using kvtest::TempDir;

const std::string kForm = "x.PenColor = 1\r\n";
const std::string kOldGuid = "{830C3FD1-54A5-4249-97B6-097AC6407367}";

// p/P.vbp with one form to migrate.
void WriteVb6(const TempDir& dir) {
  dir.Write("p/P.vbp", "Form=F.frm\r\n");
  dir.Write("p/F.frm", kForm);
}

bool Migrated(const TempDir& dir) { return dir.Read("p/F.frm") != kForm; }

// The record replaces what is at its name, a symlink included, and is written
// whatever the run's end; its folder is checked before anything is read.
TEST(HostileOutput, TheRecordFile) {
  TempDir dir;
  WriteVb6(dir);
  const std::string project = Quote(dir / "p/P.vbp");
  const std::string record = dir / "p/r.json";

  dir.Write("victim.txt", "keep");
  fs::create_symlink(dir / "victim.txt", record);
  CommandResult r = Cli("--json " + Quote(record) + " " + project);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.Read("victim.txt"), "keep");
  EXPECT_FALSE(fs::is_symlink(record));
  EXPECT_NE(dir.Read("p/r.json").find("\"status\": \"completed\""), std::string::npos);
  for (const auto& entry : fs::directory_iterator(dir.path() / "p")) {
    EXPECT_EQ(entry.path().filename().string().find(".kvout-"), std::string::npos);  // none left
  }

  // A missing folder: a usage error, and the project is not even read.
  WriteVb6(dir);
  r = Cli("--json " + Quote(dir / "none/r.json") + " " + project);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.starts_with("kvmigrate-cli: --json " + (dir / "none/r.json") + ": its folder " +
                                (dir / "none") + " cannot be used: "))
      << r.err;
  EXPECT_FALSE(Migrated(dir));

  // A run that stops (a form that may not be written) replaces the older
  // record with its own.
  kvtest::MakeReadOnly(dir / "p/F.frm");
  r = Cli("--json " + Quote(record) + " " + project);
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(dir.Read("p/r.json").find("\"status\": \"failed\""), std::string::npos);
  fs::permissions(dir / "p/F.frm", fs::perms::owner_write, fs::perm_options::add);

  // Standard output closed from the start: the run stops, the record tells.
  r = RunCommand(Quote(KV_CLI_PATH) + " --json " + Quote(record) + " " + project +
                 " </dev/null >&-");
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_NE(dir.Read("p/r.json").find("\"status\": \"cancelled\""), std::string::npos);
  EXPECT_FALSE(Migrated(dir));

  // The record cannot be written after the run changed its files (a file
  // size limit smaller than the record): a status of its own, not 3.
  r = RunCommand("trap '' XFSZ; ulimit -f 1; exec " + Quote(KV_CLI_PATH) + " --json " +
                 Quote(record) + " " + project + " </dev/null");
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_TRUE(Migrated(dir));
  EXPECT_NE(r.err.find("could not write the record " + record +
                       ": File too large; the run had completed and changed its files"),
            std::string::npos)
      << r.err;
}

// A version text that would end the value it is written into is refused
// before anything is read.
TEST(HostileOutput, VersionTextsThatWouldBreakAProject) {
  TempDir dir;
  kvtest::CopyTree(fs::path(KV_SOURCE_DIR) / "examples/dotnet", dir.path());
  const auto before = dir.Snapshot();
  for (const std::string text : {"5\" Evil=\"1", "5\nEvil", "</VersionMajor><Evil/>", "1&amp;"}) {
    for (const std::string option : {"--major", "--minor"}) {
      // As "--major=TEXT" and as "--major TEXT".
      for (const std::string& args : {Quote(option + "=" + text), option + " " + Quote(text)}) {
        const CommandResult r = Cli(args + " " + Quote(dir / "Sample.sln"));
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(": a version text may not hold a quote, <, >, & or a control "
                             "character\n"),
                  std::string::npos)
            << r.err;
      }
    }
  }
  EXPECT_EQ(dir.Snapshot(), before);
}

// An address under --web-root that climbs out of it and of the solution's
// folder is named on standard error, and refused under --confine.
TEST(HostileOutput, WebAddressOutOfTheWebRoot) {
  TempDir dir;
  dir.Write("sln/S.sln",
            "Project(\"{X}\") = \"A\", \"http://localhost/App/App.csproj\", \"{Y}\"\r\n"
            "EndProject\r\n"
            "Project(\"{X}\") = \"E\", \"http://localhost/../victim/Evil.csproj\", \"{Z}\"\r\n"
            "EndProject\r\n");
  const std::string csproj = "Guid = \"" + kOldGuid + "\"\r\n";
  dir.Write("www/App/App.csproj", csproj);
  dir.Write("victim/Evil.csproj", csproj);
  const std::string args =
      "--no-scan --web-root " + Quote(dir / "www") + " " + Quote(dir / "sln/S.sln");
  const std::string canonical = fs::canonical(dir / "victim/Evil.csproj").string();

  CommandResult r = Cli("--confine " + args);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("Can't find the : "), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("outside the project's folder, refused: "
                       "http://localhost/../victim/Evil.csproj (" +
                       canonical + ")"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(dir.Read("victim/Evil.csproj"), csproj);

  r = Cli(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("outside the project's folder, followed: "
                       "http://localhost/../victim/Evil.csproj (" +
                       canonical + ")"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("App.csproj"), std::string::npos) << r.err;  // inside the web root
  EXPECT_NE(dir.Read("victim/Evil.csproj"), csproj);
}

// What the search could not read is left over as unreadable, with the
// system's reason, and fails --check: a folder it may not open (as an
// ordinary user), a walk that cannot open another folder (no file number
// left), a path too long to open.
TEST(HostileOutput, TheSearchTellsWhatItCouldNotRead) {
  TempDir dir;
  WriteVb6(dir);
  EXPECT_EQ(Cli(Quote(dir / "p/P.vbp")).status, 0);
  dir.Write("p/locked/Old.bas", "x = \"" + kOldGuid + "\"\r\n");
  ::chmod((dir / "p/locked").c_str(), 0);
  const bool root = kvtest::RunningAsRoot();
  if (root && ::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is missing";
  // As root, the run is made as "nobody", for whom the bits hold: the tree
  // is handed to it.
  if (root) {
    ASSERT_EQ(RunCommand("chmod 0755 " + Quote(dir.path().string()) + " && chown -R nobody " +
                         Quote(dir.path().string()))
                  .status,
              0);
  }
  const std::string as = root ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
  const CommandResult r =
      RunCommand(as + Quote(KV_CLI_PATH) + " --check " + Quote(dir / "p/P.vbp") + " </dev/null");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("locked: could not be read: Permission denied\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Left over: 1 (1 to look at)"), std::string::npos) << r.err;
  ::chmod((dir / "p/locked").c_str(), 0755);

  // The walk cannot open a folder: every file number is taken.
  kv::RealDisk disk;
  const kv::ScanRequest request{.folders = {dir / "p"}, .migrated = {}};
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  const int lowest = ::dup(0);
  ::close(lowest);
  rlimit few = files;
  few.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
  const std::vector<kv::Leftover> walk = kv::ScanLeftovers(disk, request);
  ::setrlimit(RLIMIT_NOFILE, &files);
  ASSERT_FALSE(walk.empty());
  EXPECT_EQ(walk.front().reason, kv::LeftoverReason::Unreadable);
  EXPECT_EQ(walk.front().error, EMFILE) << std::strerror(walk.front().error);

  // A folder deeper than a path may name.
  {
    const int top = ::open((dir / "p/locked").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(top, 0);
    int at = top;
    const std::string name(200, 'd');
    for (size_t depth = 0; depth * (name.size() + 1) < PATH_MAX + 400; ++depth) {
      ASSERT_EQ(::mkdirat(at, name.c_str(), 0755), 0);
      const int next = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
      ::close(at);
      at = next;
    }
    ::close(at);
  }
  bool tooLong = false;
  for (const kv::Leftover& l : kv::ScanLeftovers(disk, request)) {
    tooLong |= l.reason == kv::LeftoverReason::Unreadable && l.error == ENAMETOOLONG;
  }
  EXPECT_TRUE(tooLong);
  RunCommand("rm -rf " + Quote(dir / "p/locked"));
}

// An 8 GiB file the project does not list, sparse, with an old GUID at its
// end: searched in pieces, within an address space of 1 GiB (without
// AddressSanitizer, whose shadow memory needs far more; with it, the child's
// peak memory is checked instead).
TEST(HostileOutput, AHugeUnlistedFileIsStreamed) {
  TempDir dir;
  dir.Write("p/P.vbp", "Form=F.frm\r\n");
  dir.Write("p/F.frm", kForm);
  const fs::path big = dir.path() / "p/sub/Big.cs";
  fs::create_directories(big.parent_path());
  {
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    constexpr off_t kSize = off_t{8} << 30;
    const std::string tail = "\n" + kOldGuid + "\n";
    const off_t at = kSize - static_cast<off_t>(tail.size());
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), at), static_cast<ssize_t>(tail.size()));
    ::close(fd);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
#if !defined(__SANITIZE_ADDRESS__)
    const rlimit space{rlim_t{1} << 30, rlim_t{1} << 30};
    if (::setrlimit(RLIMIT_AS, &space) != 0) ::_exit(10);
#endif
    kv::RealDisk disk;
    const std::vector<kv::Leftover> found = kv::ScanLeftovers(
        disk, kv::ScanRequest{.folders = {big.parent_path().string()}, .migrated = {}});
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    if (found.size() != 1) ::_exit(11);
    if (found[0].reason != kv::LeftoverReason::NotListed || found[0].line != 2 ||
        found[0].column != 2) {
      ::_exit(12);
    }
    ::_exit(usage.ru_maxrss < 512 * 1024 ? 0 : 13);  // KiB
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the search died: signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
