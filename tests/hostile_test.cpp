// Project files from anywhere: names that try to forge lines or reach other
// files, names in a Windows code page, paths outside the project, a stop
// asked for during the last file, and nesting as deep as memory allows.
#include <gtest/gtest.h>

#include <filesystem>

#include "cancel.h"
#include "diff.h"
#include "disk.h"
#include "dotnet_engine.h"
#include "mem_disk.h"
#include "test_util.h"
#include "vb6_engine.h"

namespace {

namespace fs = std::filesystem;
using kvtest::Cli;
using kvtest::CommandResult;
using kvtest::Quote;
using kvtest::SplitLines;
using kvtest::TempDir;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

const std::string kMatch = "x.PenColor = 1\r\n";
const std::string kMigrated = "x.PenColor.ColorIndex = 1\r\n";

// A project whose entries hold control bytes, a NUL, a run of blanks, names
// in Shift-JIS (0x5C as second byte) and Windows-1252, and a path to a
// shared folder beside the project's.
void WriteHostileVb6(const TempDir& dir) {
  dir.Write("p/P.vbp",
            "Form=A\x1b[2J\r\nX.frm\r\n"
            "Form=\x83\x5c.frm\r\n"
            "Form=..\\shared\\S.frm\r\n"
            "Form=..\\SHARED\\s.frm\r\n"
            "Module=M; x\0y.bas\r\n"s
            "Module=N; two  blanks.bas\r\n"
            "Module=C; caf\xe9.bas\r\n");
  for (const char* name : {"p/\xe3\x82\xbd.frm", "p/two  blanks.bas", "p/caf\xc3\xa9.bas", "p/x",
                           "p/xy.bas", "shared/S.frm"}) {
    dir.Write(name, kMatch);
  }
}

TEST(HostileNames, ShownEscapedResolvedOnceAndConfined) {
  TempDir dir;
  WriteHostileVb6(dir);
  const CommandResult r = Cli("--no-scan " + Quote(dir / "p/P.vbp"));
  EXPECT_EQ(r.status, 1) << r.err;  // two entries name no file
  EXPECT_EQ(SplitLines(r.out), (Lines{
                                   "Found Form [A\\x1B[2J]",
                                   "Can't find the : A\\x1B[2J",
                                   "Found Form [\x83\x5c.frm]",
                                   "Found Form [..\\shared\\S.frm]",
                                   "Found Form [..\\SHARED\\s.frm]",
                                   "Found Module [x\\x00y.bas]",
                                   "Can't find the : x\\x00y.bas",
                                   "Found Module [two blanks.bas]",
                                   "Found Module [caf\xe9.bas]",
                                   "Finish...",
                               }));
  // Once per file outside the project's folder, however often it is listed.
  // (The summary follows on standard error.)
  EXPECT_EQ(r.err.substr(0, r.err.find("Summary:")),
            "kvmigrate-cli: outside the project's folder, followed: ..\\shared\\S.frm (" +
                fs::canonical(dir / "shared/S.frm").string() + ")\n");
  for (const char* name :
       {"p/\xe3\x82\xbd.frm", "p/two  blanks.bas", "p/caf\xc3\xa9.bas", "shared/S.frm"}) {
    EXPECT_EQ(dir.Read(name), kMigrated) << name;
  }
  EXPECT_EQ(dir.Read("p/x"), kMatch);  // a NUL does not cut the name short
  EXPECT_EQ(dir.Read("p/xy.bas"), kMatch);

  // --confine refuses the shared file; a code page named is the only one tried.
  TempDir again;
  WriteHostileVb6(again);
  const CommandResult confined =
      Cli("--no-scan --confine --codepage CP1252 " + Quote(again / "p/P.vbp"));
  EXPECT_EQ(confined.status, 1);
  const Lines lines = SplitLines(confined.out);
  for (const std::string& line :
       {"Can't find the : ..\\shared\\S.frm"s, "Can't find the : ..\\SHARED\\s.frm"s,
        "Can't find the : \x83\x5c.frm"s}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
  EXPECT_NE(confined.err.find("outside the project's folder, refused: ..\\shared\\S.frm"),
            std::string::npos);
  EXPECT_EQ(again.Read("shared/S.frm"), kMatch);
  EXPECT_EQ(again.Read("p/caf\xc3\xa9.bas"), kMigrated);
  EXPECT_EQ(Cli("--no-scan --codepage NO-SUCH-PAGE " + Quote(again / "p/P.vbp")).status, 2);
}

TEST(HostileNames, DotNetPathsTheSameHoweverTheSolutionIsTyped) {
  TempDir dir;
  // An absolute project path, and source entries holding a line feed and a
  // NUL (the lines show file names cleaned of control bytes; standard error
  // names the entries as listed).
  dir.Write("S.sln", "Project(\"{X}\") = \"P\", \"" + (dir / "P/P.csproj") + "\", \"{Y}\"\r\n" +
                         "EndProject\r\n");
  dir.Write("P/P.csproj",
            "<File RelPath = \"a\nb.cs\" />\r\n<File RelPath = \"M\0.cs\" />\r\n"
            "<File RelPath = \"ok.cs\" />\r\n"s);
  dir.Write("P/M", kMatch);
  for (const std::string& typed : {dir / "S.sln", "S.sln"s}) {
    dir.Write("P/ok.cs", kMatch);
    const CommandResult r = Cli("--no-scan " + Quote(typed), dir.path().string());
    EXPECT_EQ(r.status, 1) << typed;
    EXPECT_EQ(SplitLines(r.out),
              (Lines{"Parsing Solution [S.sln]", "Find Project [P.csproj]",
                     "Parsing Project [P.csproj]", "Parsing Project [ab.cs]",
                     "Parsing Project [M.cs]", "Parsing Project [ok.cs]", "Finish..."}))
        << typed;
    EXPECT_NE(r.err.find("passed over: " + (dir / "P/a\\x0Ab.cs")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("passed over: " + (dir / "P/M\\x00.cs")), std::string::npos) << r.err;
    EXPECT_EQ(dir.Read("P/ok.cs"), kMigrated) << typed;
    EXPECT_EQ(dir.Read("P/M"), kMatch);
  }
}

// Raises the stop flag when a given line is reported, as Ctrl-C would then.
struct StopAt : kvtest::CollectingSink {
  std::string at;
  kv::CancelFlag* flag;
  StopAt(std::string line, kv::CancelFlag* f) : at(std::move(line)), flag(f) {}
  void Line(const std::string& line) override {
    CollectingSink::Line(line);
    if (line == at) flag->store(true);
  }
};

TEST(HostileRuns, AStopDuringTheLastFileStopsTheRun) {
  TempDir dir;
  kvtest::CopyTree(fs::path(KV_SOURCE_DIR) / "examples", dir.path());
  kv::RealDisk disk;
  kv::CancelFlag flag{false};
  StopAt vb6Sink("Found Module [modGlobals.bas]", &flag);
  const auto before = dir.Snapshot();
  kv::Vb6Migrator vb6(disk);
  EXPECT_EQ(vb6.ConvertFile(dir / "vb6/Sample.vbp", vb6Sink, &flag).status,
            kv::RunOutcome::Status::Cancelled);
  EXPECT_EQ(dir.Read("vb6/Sample.vbp"), before.at("vb6/Sample.vbp"));  // not written after the stop

  flag.store(false);
  StopAt dotnetSink("Parsing Project [Exporter.vb]", &flag);
  kv::DotNetMigrator dotnet(disk);
  EXPECT_EQ(dotnet.ConvertFile(dir / "dotnet/Sample.sln", dotnetSink, &flag).status,
            kv::RunOutcome::Status::Cancelled);
  EXPECT_EQ(dir.Read("dotnet/Tools/Exporter.vb"), before.at("dotnet/Tools/Exporter.vb"));
}

// Form i lists form i + 1: a chain of files nested `depth` deep, made up as
// they are read.
class ChainDisk : public kv::Disk {
 public:
  explicit ChainDisk(size_t depth) : depth_(depth) {}
  std::optional<std::string> Find(std::string_view path, std::string_view) override {
    return Index(path) <= depth_ ? std::optional<std::string>(path) : std::nullopt;
  }
  std::optional<kv::FileKey> Key(const std::string& path) override {
    return kv::FileKey{1, Index(path)};
  }
  kv::IoError ReadAll(const std::string& path, std::string* contents) override {
    const size_t i = Index(path);
    *contents = i < depth_ ? "Form=" + std::to_string(i + 1) + "\n" : kMatch;
    return kv::IoError{};
  }
  kv::IoError WriteAll(const std::string&, std::string_view) override {
    ++writes;
    return kv::IoError{};
  }
  size_t writes = 0;

 private:
  static size_t Index(std::string_view path) { return std::stoul(std::string(path)); }
  size_t depth_;
};

TEST(HostileRuns, AMillionLevelsOfNesting) {
  constexpr size_t kDepth = 1'000'000;
  ChainDisk disk(kDepth);
  kv::Vb6Migrator migrator(disk);
  struct Count : kv::Reporter {
    size_t events = 0;
    void Report(const kv::ProgressEvent&) override { ++events; }
  } count;
  const kv::RunOutcome outcome = migrator.ConvertFile("0", count);
  EXPECT_EQ(outcome.status, kv::RunOutcome::Status::Completed);
  EXPECT_EQ(outcome.counts.converted, kDepth + 1);
  EXPECT_EQ(disk.writes, 1u);  // only the innermost file changes
}

TEST(HostileRuns, DiffOfLargeTextsInHunks) {
  // Changes far apart make separate hunks; the label is shown escaped.
  std::string before, after;
  for (int i = 0; i < 20; ++i) {
    before += "l" + std::to_string(i) + "\n";
    after += (i == 2 || i == 15 ? "L" : "l") + std::to_string(i) + "\n";
  }
  EXPECT_EQ(kv::UnifiedDiff(before, after, "a\nb"),
            "--- a/a\\x0Ab\n+++ b/a\\x0Ab\n"
            "@@ -1,6 +1,6 @@\n l0\n l1\n-l2\n+L2\n l3\n l4\n l5\n"
            "@@ -13,7 +13,7 @@\n l12\n l13\n l14\n-l15\n+L15\n l16\n l17\n l18\n");
}

// About 4 MiB of `unit`.
std::string Large(const std::string& unit) {
  std::string text;
  while (text.size() < (size_t{4} << 20)) text += unit;
  return text;
}

TEST(HostileRuns, AStopInsideOneLargeFileEndsTheRunAtOnce) {
  // Work for every stage: references, VB's own members, rule matches,
  // version 5 GUIDs with version keys; a project file with member items and
  // COM references that needs no change (only the large source file does).
  const std::string large = Large(
      "Object={830C3FD1-54A5-4249-97B6-097AC6407367}#1.0#0; REDidIzo.ocx\r\n"
      "Begin VB.Form Me1\r\nWith Me1\r\n.FillColor = 2\r\nEnd With\r\n" +
      kMatch +
      "<Reference Guid = \"{40A55DB2-3BA5-4295-AE1B-49DB83A90929}\" VersionMajor = \"1\" "
      "VersionMinor = \"0\" />\r\n");
  const std::string project = Large(
      "<None Include=\"a.txt\" />\r\n<COMReference Include=\"x\"><Guid>"
      "{40A55DB2-3BA5-4295-AE1B-49DB83A90929}</Guid><VersionMajor>5</VersionMajor>"
      "<VersionMinor>0</VersionMinor></COMReference>\r\n");
  struct Engine {
    const char* name;
    std::string project;
    std::vector<std::pair<std::string, std::string>> files;
  };
  const Engine engines[] = {
      {"vb6", "P.vbp", {{"P.vbp", "Form=Big.frm\r\n"}, {"Big.frm", large}}},
      {"dotnet",
       "S.sln",
       {{"S.sln", "Project(\"{X}\") = \"P\", \"P.csproj\", \"{Y}\"\r\nEndProject\r\n"},
        {"P.csproj", "<File RelPath = \"Big.cs\" />\r\n" + project},
        {"Big.cs", large}}},
  };
  for (const Engine& engine : engines) {
    // Raises the flag at the `stopAt`-th look at it (never with 0); returns
    // the number of looks.
    auto run = [&](size_t stopAt, kvtest::MemoryDisk& disk, kvtest::CollectingSink& sink,
                   kv::RunOutcome& outcome) {
      for (const auto& [name, text] : engine.files) disk.Put(name, text);
      kv::CancelFlag flag{false};
      size_t looks = 0;
      kv::SetCancelPollHook([&] {
        if (++looks == stopAt) flag.store(true);
      });
      kv::RunOutcome result;
      if (engine.project == "P.vbp") {
        result = kv::Vb6Migrator(disk).ConvertFile(engine.project, sink, &flag);
      } else {
        result = kv::DotNetMigrator(disk).ConvertFile(engine.project, sink, &flag);
      }
      outcome = kv::ReportEnd(sink, result);
      kv::SetCancelPollHook({});
      return looks;
    };
    kvtest::MemoryDisk whole;
    kvtest::CollectingSink wholeSink;
    kv::RunOutcome completed;
    const size_t looks = run(0, whole, wholeSink, completed);
    ASSERT_EQ(completed.status, kv::RunOutcome::Status::Completed) << engine.name;
    ASSERT_FALSE(whole.writes().empty()) << engine.name;
    ASSERT_GT(looks, 20u) << engine.name;  // the stages look at the flag as they go
    // From the first look to the last, the run stops where it is: no further
    // look, nothing written, no "Finish...".
    for (const size_t stopAt : {size_t{1}, looks / 4, looks / 2, looks * 3 / 4, looks}) {
      kvtest::MemoryDisk disk;
      kvtest::CollectingSink sink;
      kv::RunOutcome outcome;
      EXPECT_EQ(run(stopAt, disk, sink, outcome), stopAt) << engine.name << " " << stopAt;
      EXPECT_EQ(outcome.status, kv::RunOutcome::Status::Cancelled) << engine.name << " " << stopAt;
      EXPECT_TRUE(disk.writes().empty()) << engine.name << " " << stopAt;
      ASSERT_FALSE(sink.lines.empty());
      EXPECT_EQ(sink.lines.back(), "Stopped: interrupted; no file was changed") << engine.name;
      EXPECT_EQ(std::count(sink.lines.begin(), sink.lines.end(), "Finish..."), 0);
    }
  }
}

TEST(HostileNames, SolutionProjectPathsResolvedLikeOtherEntries) {
  // The project path of a solution, as written, and the lines of the run.
  const struct {
    std::string path;
    Lines lines;
  } cases[] = {
      // A NUL names no file (not "Px.csproj", which exists): missing, shown escaped.
      {"P\0x.csproj"s,
       {"Parsing Solution [S.sln]", "Can't find the : P\\x00x.csproj", "Finish..."}},
      // A name not found with its blanks collapsed is found as written.
      {"two  blanks.csproj",
       {"Parsing Solution [S.sln]", "Find Project [two blanks.csproj]",
        "Parsing Project [two blanks.csproj]", "Finish..."}},
  };
  for (const auto& c : cases) {
    kvtest::MemoryDisk disk;
    disk.Put("S.sln", "Project(\"{X}\") = \"P\", \"" + c.path + "\", \"{Y}\"\r\nEndProject\r\n");
    disk.Put("Px.csproj", kMatch);
    disk.Put("two  blanks.csproj", kMatch);
    kvtest::CollectingSink sink;
    kv::ReportEnd(sink, kv::DotNetMigrator(disk).ConvertFile("S.sln", sink));
    EXPECT_EQ(sink.lines, c.lines) << c.path;
    EXPECT_EQ(disk.Get("Px.csproj"), kMatch);
  }
}

}  // namespace
