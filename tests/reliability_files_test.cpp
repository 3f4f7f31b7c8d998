// Permissions and odd files, through kvmigrate-cli. Where the tests run as
// root, the runs that need an ordinary user's permissions run as "nobody"
// (setpriv), so that permission bits bind; without setpriv those runs are
// skipped. Each case builds a tree from an example, says which files must
// keep their bytes (every other file a run converts must be fully migrated),
// the exit status and the lines the user sees.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <functional>
#include <set>

#include "reliability_util.h"
#include "test_util.h"

namespace kvrel {
namespace {

using kvtest::CommandResult;
using kvtest::Quote;
using kvtest::SplitLines;
using kvtest::TempDir;
using Lines = std::vector<std::string>;

enum class User {
  Self,    // the user the tests run as (root included)
  Nobody,  // an unprivileged user: "nobody" when the tests run as root
};

bool CanSwitchToNobody() {
  return kvtest::RunningAsRoot() && ::access("/usr/bin/setpriv", X_OK) == 0 &&
         ::getpwnam("nobody") != nullptr && ::getgrnam("nogroup") != nullptr;
}

// Hands every entry below `root` (symlinks themselves, not their targets) to
// nobody:nogroup; chown walks paths of any length.
void GiveToNobody(const fs::path& root) {
  const CommandResult r = kvtest::RunCommand("chown -R -h nobody:nogroup " + Quote(root.string()));
  ASSERT_EQ(r.status, 0) << r.err;
}

// Gives the owner back every permission, so that the test can read all.
void OpenUp(const fs::path& root) {
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_symlink()) {
      std::error_code ignored;  // a path too long to name in one piece keeps its bits
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
}

// Runs the front end on `path`; a run that does not end within a minute is
// stopped (a hang counts as a failure, exit status 124).
CommandResult Cli(const std::string& path, User user) {
  const std::string as = user == User::Nobody && kvtest::RunningAsRoot()
                             ? "setpriv --reuid=nobody --regid=nogroup --clear-groups "
                             : "";
  return kvtest::RunCommand("timeout -s KILL 60 " + as + Quote(KV_CLI_PATH) + " " + Quote(path) +
                            " </dev/null");
}

void Chmod(const fs::path& p, mode_t mode) { ASSERT_EQ(::chmod(p.c_str(), mode), 0) << p; }

void Symlink(const std::string& target, const fs::path& link) { fs::create_symlink(target, link); }

// Replaces the first `from` in a file by `to`.
void Edit(const fs::path& file, const std::string& from, const std::string& to) {
  std::string text = kvtest::ReadFile(file);
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
  kvtest::WriteFile(file, text);
}

void AppendEntry(const fs::path& file, const std::string& line) {
  kvtest::WriteFile(file, kvtest::ReadFile(file) + line + "\r\n");
}

// A chain of `count` folders of 200 bytes each, every one followed by `sep`.
std::string Folders(int count, char sep) {
  std::string rel;
  for (int i = 0; i < count; ++i) rel += std::string(200, static_cast<char>('a' + i)) + sep;
  return rel;
}
constexpr int kNearPathMax = 18;    // about 3,600 bytes below the project
constexpr int kBeyondPathMax = 21;  // more than the 4,096 bytes a path may have

// Moves a listed file of the project down a chain of folders and makes the
// project list it there.
void MoveDeep(const fs::path& proj, const std::string& name, int count) {
  const int top = ::open(proj.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(top, 0);
  int dir = ::dup(top);
  for (int i = 0; i < count; ++i) {
    const std::string folder(200, static_cast<char>('a' + i));
    ASSERT_EQ(::mkdirat(dir, folder.c_str(), 0755), 0);
    const int next = ::openat(dir, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(dir);
    ASSERT_GE(next, 0);
    dir = next;
  }
  ASSERT_EQ(::renameat(top, name.c_str(), dir, name.c_str()), 0);
  ::close(dir);
  ::close(top);
  Edit(proj / "Sample.vbp", "Form=" + name, "Form=" + Folders(count, '\\') + name);
}

using Step = std::function<void(const fs::path& proj, const fs::path& outside)>;

struct Case {
  std::string name;
  std::string example;  // "vb6" or "dotnet"
  User user;
  Step build;     // shapes the tree, before it is handed to the user
  Step restrict;  // takes permissions away, after that
  int status;
  // Lines that standard output shows, in this order; "$/" stands for the
  // project folder.
  Lines out;
  // All of standard error ("$/" as above, "@/" the folder that holds the
  // project folder and the one outside it); empty: nothing.
  std::string err;
  std::set<std::string> unchanged;  // files (below the test folder) that keep their bytes;
                                    // all of them when the run stops (status 3)
  std::set<std::string> links;      // entries that must still be symlinks
  bool needsRoot = false;           // the tree needs an owner other than the user
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string Expand(const std::string& text, const fs::path& proj) {
  std::string out = text;
  for (const auto& [mark, folder] :
       {std::pair{"$/", proj.string() + "/"}, std::pair{"@/", proj.parent_path().string() + "/"}}) {
    for (size_t at = out.find(mark); at != std::string::npos;
         at = out.find(mark, at + folder.size())) {
      out.replace(at, 2, folder);
    }
  }
  return out;
}

// Whether `want` appears in `lines` in this order (other lines may come between).
bool InOrder(const Lines& lines, const Lines& want) {
  size_t next = 0;
  for (const std::string& line : lines) {
    if (next < want.size() && line == want[next]) ++next;
  }
  return next == want.size();
}

void RunCase(const Case& c) {
  SCOPED_TRACE(c.name);
  if (c.user == User::Nobody && kvtest::RunningAsRoot() && !CanSwitchToNobody()) {
    GTEST_SKIP() << "setpriv or the user nobody is missing";
  }
  if (c.needsRoot && !kvtest::RunningAsRoot()) GTEST_SKIP() << "needs root to set an owner";
  TempDir root;
  const fs::path proj = root.path() / "proj";
  const fs::path outside = root.path() / "outside";
  kvtest::CopyTree(ExampleDir(c.example), proj);
  fs::create_directories(outside);
  if (c.build) c.build(proj, outside);
  const Files original = Scan(root.path()).files;
  if (c.user == User::Nobody && kvtest::RunningAsRoot()) GiveToNobody(root.path());
  if (c.restrict) c.restrict(proj, outside);
  if (::testing::Test::HasFatalFailure()) return;

  const std::string entry = c.example == "vb6" ? "Sample.vbp" : "Sample.sln";
  const CommandResult r = Cli((proj / entry).string(), c.user);
  OpenUp(root.path());

  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  Lines out;
  for (const std::string& line : c.out) out.push_back(Expand(line, proj));
  EXPECT_TRUE(InOrder(SplitLines(r.out), out)) << r.out;
  // A run that stops changes no file, and its last line says so. The summary
  // and leftovers that follow a completed run are the report tests' business.
  const std::string unchangedNote = c.status == 3 ? "; no file was changed" : "";
  const std::string notices = r.err.substr(0, r.err.find("Summary: "));
  EXPECT_EQ(notices, c.err.empty() ? "" : Expand(c.err, proj) + unchangedNote + "\n");
  const Lines lines = SplitLines(r.out);
  if (c.status == 3) {
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back() + "\n", r.err);
  } else if (!lines.empty()) {
    EXPECT_EQ(lines.back(), "Finish...");
  }

  const TreeScan after = Scan(root.path());
  EXPECT_TRUE(after.temps.empty()) << after.temps.front();
  Files expected;
  for (const auto& [name, bytes] : original) {
    const bool kept = c.status == 3 || c.unchanged.count(name);
    expected[name] = kept ? bytes : MigratedBytes(name, bytes);
  }
  for (const auto& [name, bytes] : after.files) {
    EXPECT_EQ(bytes == expected[name], true)
        << name << (bytes == original.at(name) ? " kept its bytes" : " was changed");
  }
  EXPECT_EQ(after.files.size(), original.size());
  for (const std::string& link : c.links) {
    EXPECT_TRUE(fs::is_symlink(root.path() / link)) << link;
  }
}

class OddFiles : public ::testing::TestWithParam<Case> {};

TEST_P(OddFiles, EachFileMigratedOrUntouchedAndTheRunSaysWhy) { RunCase(GetParam()); }

const std::set<std::string> kVb6All = {"proj/Sample.vbp", "proj/frmMain.frm",
                                       "proj/Forms/frmOptions.frm", "proj/modDrawing.bas",
                                       "proj/modGlobals.bas"};
const std::set<std::string> kDotNetAll = {
    "proj/Viewer/Viewer.csproj", "proj/Viewer/AssemblyInfo.cs", "proj/Viewer/MainForm.cs",
    "proj/Viewer/MainForm.resx", "proj/Tools/Tools.vbproj",     "proj/Tools/AssemblyInfo.vb",
    "proj/Tools/Exporter.vb"};

std::vector<Case> Vb6Cases() {
  const std::string denied = "Permission denied";
  return {
      {"unreadable form",
       "vb6",
       User::Nobody,
       nullptr,
       [](auto& p, auto&) { Chmod(p / "frmMain.frm", 0); },
       3,
       {"Found Form [frmMain.frm]"},
       "Stopped: could not read [$/frmMain.frm]: " + denied,
       kVb6All,
       {}},
      {"unreadable folder",
       "vb6",
       User::Nobody,
       nullptr,
       [](auto& p, auto&) { Chmod(p / "Forms", 0); },
       1,
       {"Found Form [Forms\\frmOptions.frm]", "Can't find the : Forms\\frmOptions.frm",
        "Found Module [modGlobals.bas]"},
       "",
       {"proj/Forms/frmOptions.frm"},
       {}},
      {"folder without write permission",
       "vb6",
       User::Nobody,
       nullptr,
       [](auto& p, auto&) { Chmod(p / "Forms", 0555); },
       3,
       {"Replacing key in [frmOptions.frm]"},
       "Stopped: could not write [$/Forms/frmOptions.frm]: " + denied,
       {"proj/Sample.vbp", "proj/Forms/frmOptions.frm", "proj/modDrawing.bas",
        "proj/modGlobals.bas"},
       {}},
      {"read-only module, as root",
       "vb6",
       User::Self,
       nullptr,
       [](auto& p, auto&) { Chmod(p / "modGlobals.bas", 0444); },
       3,
       {"Found Module [modGlobals.bas]"},
       "Stopped: could not write [$/modGlobals.bas]: " + denied,
       {"proj/Sample.vbp", "proj/modGlobals.bas"},
       {}},
      {"read-only module, as a user",
       "vb6",
       User::Nobody,
       nullptr,
       [](auto& p, auto&) { Chmod(p / "modGlobals.bas", 0444); },
       3,
       {},
       "Stopped: could not write [$/modGlobals.bas]: " + denied,
       {"proj/Sample.vbp", "proj/modGlobals.bas"},
       {}},
      {"form of another owner",
       "vb6",
       User::Nobody,
       nullptr,
       [](auto& p, auto&) {
         ASSERT_EQ(::lchown((p / "frmMain.frm").c_str(), 0, 0), 0);
         Chmod(p / "frmMain.frm", 0644);
       },
       3,
       {},
       "Stopped: could not write [$/frmMain.frm]: " + denied,
       kVb6All,
       {},
       true},
      {"writable form of another owner",
       "vb6",
       User::Nobody,
       nullptr,
       [](auto& p, auto&) {
         ASSERT_EQ(::lchown((p / "frmMain.frm").c_str(), 0, 0), 0);
         Chmod(p / "frmMain.frm", 0666);
       },
       3,
       {},
       "Stopped: could not write [$/frmMain.frm]: its owner or group cannot be kept by this user",
       kVb6All,
       {},
       true},
      {"form symlinked out of the tree",
       "vb6",
       User::Nobody,
       [](auto& p, auto& o) {
         fs::rename(p / "frmMain.frm", o / "real main.frm");
         Symlink("../outside/real main.frm", p / "frmMain.frm");
       },
       nullptr,
       0,
       {"Found Form [frmMain.frm]", "Replacing key in [frmMain.frm]"},
       "kvmigrate-cli: outside the project's folder, followed: frmMain.frm (@/outside/real "
       "main.frm)",
       {},
       {"proj/frmMain.frm"}},
      {"symlinked folder",
       "vb6",
       User::Nobody,
       [](auto& p, auto& o) {
         fs::rename(p / "Forms", o / "Shared Forms");
         Symlink((o / "Shared Forms").string(), p / "Forms");
       },
       nullptr,
       0,
       {"Replacing key in [frmOptions.frm]"},
       "kvmigrate-cli: outside the project's folder, followed: Forms\\frmOptions.frm "
       "(@/outside/Shared Forms/frmOptions.frm)",
       {},
       {"proj/Forms"}},
      {"symlink loop, dangling link, folder, fifo and device listed as forms",
       "vb6",
       User::Nobody,
       [](auto& p, auto&) {
         for (const char* name : {"loop.frm", "gone.frm", "Folder.frm", "pipe.frm", "zero.frm"}) {
           AppendEntry(p / "Sample.vbp", std::string("Form=") + name);
         }
         Symlink("loop2.frm", p / "loop.frm");
         Symlink("loop.frm", p / "loop2.frm");
         Symlink("nowhere.frm", p / "gone.frm");
         fs::create_directories(p / "Folder.frm");
         ASSERT_EQ(::mkfifo((p / "pipe.frm").c_str(), 0644), 0);
         Symlink("/dev/zero", p / "zero.frm");
       },
       nullptr,
       1,
       {"Found Form [loop.frm]", "Can't find the : loop.frm", "Found Form [gone.frm]",
        "Can't find the : gone.frm", "Found Form [Folder.frm]", "Can't find the : Folder.frm",
        "Found Form [pipe.frm]", "Can't find the : pipe.frm", "Found Form [zero.frm]",
        "Can't find the : zero.frm"},
       "",
       {},
       {"proj/loop.frm", "proj/loop2.frm", "proj/gone.frm", "proj/zero.frm"}},
      {"names with spaces",
       "vb6",
       User::Nobody,
       [](auto& p, auto&) {
         Edit(p / "Sample.vbp", "Form=frmMain.frm", "Form=My Forms\\Main  Form.frm");
         fs::create_directories(p / "My Forms");
         fs::rename(p / "frmMain.frm", p / "My Forms/Main  Form.frm");
         Edit(p / "Sample.vbp", "modGlobals.bas", "my globals.bas");
         fs::rename(p / "modGlobals.bas", p / "my globals.bas");
       },
       nullptr,
       0,
       {"Found Form [My Forms\\Main  Form.frm]", "Replacing key in [Main Form.frm]",
        "Found Module [my globals.bas]"},
       "",
       {},
       {}},
      {"names that are not UTF-8",
       "vb6",
       User::Nobody,
       [](auto& p, auto&) {
         Edit(p / "Sample.vbp", "Form=frmMain.frm", "Form=caf\xe9\\\xff\xfe.frm");
         fs::create_directories(p / "caf\xe9");
         fs::rename(p / "frmMain.frm", p / "caf\xe9/\xff\xfe.frm");
       },
       nullptr,
       0,
       {"Found Form [caf\xe9\\\xff\xfe.frm]", "Replacing key in [\xff\xfe.frm]"},
       "",
       {},
       {}},
      {"longest file name",
       "vb6",
       User::Nobody,
       [](auto& p, auto&) {
         const std::string name = std::string(251, 'L') + ".frm";  // 255 bytes
         Edit(p / "Sample.vbp", "Form=frmMain.frm", "Form=" + name);
         fs::rename(p / "frmMain.frm", p / name);
       },
       nullptr,
       0,
       {"Finish..."},
       "",
       {},
       {}},
      {"path close to the longest a path may be",
       "vb6",
       User::Nobody,
       [](auto& p, auto&) { MoveDeep(p, "frmMain.frm", kNearPathMax); },
       nullptr,
       0,
       {"Replacing key in [frmMain.frm]", "Finish..."},
       "",
       {},
       {}},
      {"path longer than a path may be",
       "vb6",
       User::Nobody,
       [](auto& p, auto&) { MoveDeep(p, "frmMain.frm", kBeyondPathMax); },
       nullptr,
       1,
       {"Can't find the : " + Folders(kBeyondPathMax, '\\') + "frmMain.frm",
        "Found Module [modGlobals.bas]", "Finish..."},
       "",
       {"proj/" + Folders(kBeyondPathMax, '/') + "frmMain.frm"},
       {}},
  };
}

std::vector<Case> DotNetCases() {
  const std::string denied = "Permission denied";
  return {
      {"unreadable source file",
       "dotnet",
       User::Nobody,
       nullptr,
       [](auto& p, auto&) { Chmod(p / "Viewer/MainForm.cs", 0); },
       3,
       {"Parsing Project [AssemblyInfo.cs]", "Parsing Project [MainForm.cs]"},
       "Stopped: could not read [$/Viewer/MainForm.cs]: " + denied,
       {"proj/Viewer/MainForm.cs", "proj/Viewer/MainForm.resx", "proj/Tools/AssemblyInfo.vb",
        "proj/Tools/Exporter.vb"},
       {}},
      {"read-only project, as root",
       "dotnet",
       User::Self,
       nullptr,
       [](auto& p, auto&) { Chmod(p / "Tools/Tools.vbproj", 0444); },
       1,
       {"Parsing Project [Tools.vbproj]", "Could not modify [Tools.vbproj]",
        "Parsing Project [AssemblyInfo.cs]", "Finish..."},
       "kvmigrate-cli: could not modify $/Tools/Tools.vbproj: Permission denied; it keeps its "
       "old content",
       {"proj/Tools/Tools.vbproj"},
       {}},
      {"read-only project, as a user",
       "dotnet",
       User::Nobody,
       nullptr,
       [](auto& p, auto&) { Chmod(p / "Tools/Tools.vbproj", 0444); },
       1,
       {"Parsing Project [Tools.vbproj]", "Could not modify [Tools.vbproj]", "Finish..."},
       "kvmigrate-cli: could not modify $/Tools/Tools.vbproj: Permission denied; it keeps its "
       "old content",
       {"proj/Tools/Tools.vbproj"},
       {}},
      {"project folder without write permission",
       "dotnet",
       User::Nobody,
       nullptr,
       [](auto& p, auto&) { Chmod(p / "Viewer", 0555); },
       1,
       // AssemblyInfo.cs needs no change, so it is not written at all.
       {"Could not modify [Viewer.csproj]", "Parsing Project [AssemblyInfo.cs]",
        "Could not modify [MainForm.cs]", "Could not modify [MainForm.resx]",
        "Parsing Project [Exporter.vb]", "Finish..."},
       "kvmigrate-cli: could not modify $/Viewer/Viewer.csproj: Permission denied; it keeps its "
       "old content\n"
       "kvmigrate-cli: could not modify $/Viewer/MainForm.cs: Permission denied; it keeps its "
       "old content\n"
       "kvmigrate-cli: could not modify $/Viewer/MainForm.resx: Permission denied; it keeps its "
       "old content",
       {"proj/Viewer/Viewer.csproj", "proj/Viewer/AssemblyInfo.cs", "proj/Viewer/MainForm.cs",
        "proj/Viewer/MainForm.resx"},
       {}},
      {"unreadable project folder",
       "dotnet",
       User::Nobody,
       nullptr,
       [](auto& p, auto&) { Chmod(p / "Tools", 0); },
       1,
       {"Find Project [Viewer.csproj]", "Can't find the : $/Tools\\Tools.vbproj", "Finish..."},
       "",
       kDotNetAll,
       {}},
      {"source file symlinked out of the tree",
       "dotnet",
       User::Nobody,
       [](auto& p, auto& o) {
         fs::rename(p / "Viewer/MainForm.cs", o / "MainForm.cs");
         Symlink("../../outside/MainForm.cs", p / "Viewer/MainForm.cs");
       },
       nullptr,
       0,
       {"Parsing Project [MainForm.cs]", "Finish..."},
       "kvmigrate-cli: outside the project's folder, followed: MainForm.cs "
       "(@/outside/MainForm.cs)",
       {},
       {"proj/Viewer/MainForm.cs"}},
      {"symlink loop listed as a source file",
       "dotnet",
       User::Nobody,
       [](auto& p, auto&) {
         Edit(p / "Viewer/Viewer.csproj", "RelPath = \"MainForm.cs\"", "RelPath = \"Loop.cs\"");
         Symlink("Loop2.cs", p / "Viewer/Loop.cs");
         Symlink("Loop.cs", p / "Viewer/Loop2.cs");
       },
       nullptr,
       1,
       {"Parsing Project [Loop.cs]", "Parsing Project [MainForm.resx]", "Finish..."},
       "kvmigrate-cli: listed file not found, passed over: $/Viewer\\Loop.cs",
       {"proj/Viewer/MainForm.cs"},
       {"proj/Viewer/Loop.cs", "proj/Viewer/Loop2.cs"}},
      {"folder and fifo listed as source files",
       "dotnet",
       User::Nobody,
       [](auto& p, auto&) {
         Edit(p / "Viewer/Viewer.csproj", "RelPath = \"AssemblyInfo.cs\"",
              "RelPath = \"Folder.cs\"");
         Edit(p / "Viewer/Viewer.csproj", "RelPath = \"MainForm.cs\"", "RelPath = \"pipe.cs\"");
         fs::create_directories(p / "Viewer/Folder.cs");
         ASSERT_EQ(::mkfifo((p / "Viewer/pipe.cs").c_str(), 0644), 0);
       },
       nullptr,
       1,
       {"Parsing Project [Folder.cs]", "Parsing Project [pipe.cs]",
        "Parsing Project [MainForm.resx]", "Finish..."},
       "kvmigrate-cli: listed file not found, passed over: $/Viewer\\Folder.cs\n"
       "kvmigrate-cli: listed file not found, passed over: $/Viewer\\pipe.cs",
       {"proj/Viewer/AssemblyInfo.cs", "proj/Viewer/MainForm.cs"},
       {}},
  };
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char c : info.param.name)
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Vb6, OddFiles, ::testing::ValuesIn(Vb6Cases()), CaseName);
INSTANTIATE_TEST_SUITE_P(DotNet, OddFiles, ::testing::ValuesIn(DotNetCases()), CaseName);

// Two runs over the same tree at the same time end in the bytes of one run:
// each completes, or stops because the other replaced a file it had read
// (then changing nothing); at least one completes.
TEST(ConcurrentRuns, TwoRunsAtOnceEndAsOne) {
  for (const std::string example : {"vb6", "dotnet"}) {
    SCOPED_TRACE(example);
    const std::string entry = example == "vb6" ? "Sample.vbp" : "Sample.sln";
    const std::string big = example == "vb6" ? "frmMain.frm" : "Viewer/MainForm.cs";
    auto build = [&](const TempDir& tree) {
      kvtest::CopyTree(ExampleDir(example), tree.path());
      // Make one file large, so that the two runs overlap.
      std::string text = tree.Read(big);
      std::string filler;
      while (filler.size() < (size_t{4} << 20)) filler += text;
      tree.Write(big, filler);
    };
    TempDir single;
    build(single);
    ASSERT_EQ(Cli(single / entry, User::Self).status, 0);
    const Files once = Scan(single.path()).files;

    for (int round = 0; round < 3; ++round) {
      TempDir tree;
      build(tree);
      const std::string command = "timeout -s KILL 120 " + Quote(KV_CLI_PATH) + " --quiet " +
                                  Quote(tree / entry) + " </dev/null 2>&1";
      // Both start together; each reports its own exit status.
      const CommandResult r =
          kvtest::RunCommand("(" + command + "; echo a=$?) & (" + command + "; echo b=$?) & wait");
      const bool a0 = r.out.find("a=0") != std::string::npos;
      const bool b0 = r.out.find("b=0") != std::string::npos;
      EXPECT_TRUE(a0 || b0) << r.out << r.err;
      EXPECT_TRUE(a0 || r.out.find("a=3") != std::string::npos) << r.out << r.err;
      EXPECT_TRUE(b0 || r.out.find("b=3") != std::string::npos) << r.out << r.err;
      if (!a0 || !b0) {
        EXPECT_NE(r.out.find("the file changed during the run; no file was changed"),
                  std::string::npos)
            << r.out;
      }
      const TreeScan after = Scan(tree.path());
      EXPECT_EQ(after.files, once);
      EXPECT_TRUE(after.temps.empty());
    }
  }
}

}  // namespace
}  // namespace kvrel
