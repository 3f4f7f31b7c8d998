// A kill at any moment: kvmigrate-cli runs over a tree of large files and is
// killed with SIGKILL at many moments spread over the time a whole run takes,
// its commit included. After each kill every user file is its original or its
// migrated bytes (a leftover file of ours carries our marker); once the
// recovery that the next run starts with has run, the tree is all old or all
// new; and that run leaves exactly what an uninterrupted run leaves, with no
// user file lost and nothing of ours left.
//
// KV_KILL_POINTS sets the number of kill moments per engine (default 20).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <thread>

#include "reliability_util.h"
#include "test_util.h"
#include "transaction.h"

namespace kvrel {
namespace {

using kvtest::TempDir;
using Clock = std::chrono::steady_clock;

constexpr size_t kLargeFileBytes = size_t{3} << 20;

// Lines of code that mix what the rules rewrite with what they leave.
std::string LargeSource(unsigned seed, const std::vector<std::string>& lines) {
  std::mt19937 random(seed);
  std::string text;
  text.reserve(kLargeFileBytes + 200);
  while (text.size() < kLargeFileBytes) {
    text += lines[random() % lines.size()];
    text += "\r\n";
  }
  return text;
}

// A VB6 project whose forms and modules are large.
void WriteVb6Tree(const TempDir& tree) {
  const std::vector<std::string> lines = {
      "Object = \"{742E88D2-DC33-4929-B200-74B7B42CA37E}#1.0#0\"; \"VUVedaZir.ocx\"",
      "    Canvas1.PenColor = vbRed",
      "    Dim d As REDidIzo.Drawing",
      "    d.WMFSaveSize = 1024",
      "    total = total + 1 ' a line that no rule touches",
  };
  std::string project =
      "Type=Exe\r\nReference=*\\G{830C3FD1-54A5-4249-97B6-097AC6407367}#1.0#0#x.dll#REDidIzo\r\n";
  for (int i = 0; i < 3; ++i) {
    const std::string name = "Forms\\Form" + std::to_string(i) + ".frm";
    project += "Form=" + name + "\r\n";
    tree.Write("Forms/Form" + std::to_string(i) + ".frm", LargeSource(i, lines));
  }
  project += "Module=Big; Big Module.bas\r\n";
  tree.Write("Big Module.bas", LargeSource(7, lines));
  tree.Write("Big.vbp", project);
}

// A .NET solution of two projects, each with large source files.
void WriteDotNetTree(const TempDir& tree) {
  const std::vector<std::string> lines = {
      "            canvas.PenColor = Color.Red;",
      "            REDidIzo.Drawing d = new redidizo.Drawing();",
      "            d.WMFSaveSize = 1024;",
      "            total += 1; // a line that no rule touches",
  };
  std::string sln = "Microsoft Visual Studio Solution File, Format Version 8.00\r\n";
  for (const std::string project : {"Alpha", "Beta"}) {
    sln += "Project(\"{FAE04EC0-301F-11D3-BF4B-00C04F79EFBC}\") = \"" + project + "\", \"" +
           project + "\\" + project + ".csproj\", \"{00000000-0000-0000-0000-000000000000}\"\r\n" +
           "EndProject\r\n";
    std::string csproj =
        "<VisualStudioProject>\r\n<Reference Name = \"REDidIzo\" Guid = "
        "\"{830C3FD1-54A5-4249-97B6-097AC6407367}\" VersionMajor = \"1\" VersionMinor = "
        "\"0\" />\r\n<Files>\r\n<Include>\r\n";
    for (int i = 0; i < 2; ++i) {
      const std::string file = "Code" + std::to_string(i) + ".cs";
      csproj += "<File RelPath = \"" + file + "\" BuildAction = \"Compile\" />\r\n";
      tree.Write(project + "/" + file,
                 LargeSource(static_cast<unsigned>(project.size() + i), lines));
    }
    tree.Write(project + "/" + project + ".csproj", csproj + "</Include>\r\n</Files>\r\n");
  }
  tree.Write("Big.sln", sln);
}

pid_t StartCli(const std::string& target) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execl(KV_CLI_PATH, KV_CLI_PATH, "--quiet", target.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

// Waits for the process; its exit status, or -signal when a signal ended it.
int Wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

int KillPoints() {
  const char* text = std::getenv("KV_KILL_POINTS");
  const int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : 20;
}

void KillAtManyMoments(void (*write)(const TempDir&), const std::string& entry) {
  TempDir tree;
  write(tree);
  const std::string target = tree / entry;
  const Files original = Scan(tree.path()).files;

  auto restore = [&] {
    const TreeScan now = Scan(tree.path());
    for (const std::string& temp : now.temps) fs::remove(tree.path() / temp);
    for (const auto& [name, bytes] : now.files) {
      if (bytes != original.at(name)) kvtest::WriteFile(tree.path() / name, original.at(name));
    }
  };

  // Uninterrupted runs: the migrated state, and how long a run takes (the
  // quicker of two, so that the kills do not all come after the end).
  Files migrated;
  Clock::duration runTime = Clock::duration::max();
  for (int i = 0; i < 2; ++i) {
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(Wait(StartCli(target)), 0);
    runTime = std::min(runTime, Clock::now() - start);
    migrated = Scan(tree.path()).files;
    ASSERT_NE(migrated, original);
    restore();
  }

  const int points = KillPoints();
  std::mt19937 random(12345);
  int killedRunning = 0;
  int partial = 0;
  int withTemps = 0;
  for (int i = 0; i < points; ++i) {
    // Moments spread evenly over the run, each shifted a little at random.
    const double at = (i + std::uniform_real_distribution<double>(0, 1)(random)) / points;
    const auto delay = std::chrono::duration_cast<Clock::duration>(runTime * at);
    SCOPED_TRACE("kill " + std::to_string(i) + " at " + std::to_string(at * 100) + "% of a run");

    const pid_t pid = StartCli(target);
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    const int status = Wait(pid);
    killedRunning += status == -SIGKILL;

    const TreeScan killed = Scan(tree.path());
    ASSERT_EQ(OriginalOrMigrated(killed.files, original, migrated), "");
    for (const std::string& temp : killed.temps) {
      EXPECT_TRUE(IsOurTemp(fs::path(temp).filename().string())) << temp;
    }
    withTemps += !killed.temps.empty();
    auto mixed = [&](const Files& files) {
      bool anyMigrated = false;
      bool anyOriginal = false;
      for (const auto& [name, bytes] : files) {
        if (original.at(name) == migrated.at(name)) continue;
        anyMigrated = anyMigrated || bytes == migrated.at(name);
        anyOriginal = anyOriginal || bytes == original.at(name);
      }
      return anyMigrated && anyOriginal;
    };
    partial += mixed(killed.files);
    // What the next run does first: complete a commit the kill cut short.
    // Then no file is old while another is new.
    EXPECT_FALSE(kv::Transaction::Recover(tree.path().string()));
    EXPECT_FALSE(mixed(Scan(tree.path()).files));

    // Run again to the end: the result is that of an uninterrupted run, no
    // user file has gone, and nothing of ours is left.
    ASSERT_EQ(Wait(StartCli(target)), 0);
    const TreeScan finished = Scan(tree.path());
    ASSERT_EQ(finished.files, migrated);
    EXPECT_EQ(finished.temps, std::vector<std::string>());
    restore();
  }
  // The kills must have met the program at work, or nothing was tested.
  EXPECT_GE(killedRunning * 2, points) << "most kills came after the run had ended";
  std::cout << "[ figures  ] " << points << " kill points survived: " << killedRunning
            << " while running, " << partial << " with the tree part migrated before recovery, "
            << withTemps << " with a temporary file left (run of "
            << std::chrono::duration_cast<std::chrono::milliseconds>(runTime).count() << " ms)\n";
}

TEST(KillAtAnyMoment, Vb6Project) { KillAtManyMoments(WriteVb6Tree, "Big.vbp"); }

TEST(KillAtAnyMoment, DotNetSolution) { KillAtManyMoments(WriteDotNetTree, "Big.sln"); }

}  // namespace
}  // namespace kvrel
