// The VB6 project migration on temporary project trees.
#include <gtest/gtest.h>

#include <filesystem>

#include "disk.h"
#include "string_functions.h"
#include "test_util.h"
#include "vb6_engine.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using kvtest::CollectingSink;
using kvtest::TempDir;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

const std::string kOld0 = "{830C3FD1-54A5-4249-97B6-097AC6407367}";
const std::string kNew0 = "{40A55DB2-3BA5-4295-AE1B-49DB83A90929}";
const std::string kOld2 = "{742E88D2-DC33-4929-B200-74B7B42CA37E}";
const std::string kNew2 = "{A1D8BCA2-BAD5-4DA7-BECE-00A51A4B1529}";

std::string ToLower(std::string s) {
  for (char& c : s) c = FoldAscii(c);
  return s;
}

struct Result {
  Lines lines;
  RunOutcome outcome;
};

Result Migrate(const std::string& path, Disk* disk = nullptr) {
  RealDisk real;
  Vb6Migrator migrator(disk ? *disk : real);
  CollectingSink sink;
  RunOutcome outcome = migrator.ConvertFile(path, sink);
  return {sink.lines, outcome};
}

TEST(Vb6Engine, WorkedExample) {
  TempDir dir;
  dir.Write("P.vbp", "Type=Exe\r\nReference=*\\G" + kOld0 +
                         "#1.0#0#C:\\x.dll#REDidIzo lib\r\nForm=A.frm\r\nModule=M; M.bas\r\n");
  dir.Write("A.frm", "Object = \"" + kOld2 + "#2.1#0\"; \"x.ocx\"\r\nc.PenColor = 1\r\n");
  dir.Write("M.bas", "Attribute VB_Name = \"M\"\r\n");
  const Result r = Migrate(dir / "P.vbp");
  EXPECT_EQ(r.outcome.status, RunOutcome::Status::Completed);
  EXPECT_EQ(r.lines, (Lines{"Replacing key in [P.vbp]", "Found Form [A.frm]",
                            "Replacing key in [A.frm]", "Found Module [M.bas]"}));
  EXPECT_EQ(dir.Read("P.vbp"),
            "Type=Exe\r\nReference=*\\G" + kNew0 +
                "#5.0#0#C:\\x.dll#REDidIzo5 lib\r\nForm=A.frm\r\nModule=M; M.bas\r\n");
  EXPECT_EQ(dir.Read("A.frm"),
            "Object = \"" + kNew2 + "#5.0#0\"; \"x.ocx\"\r\nc.PenColor.ColorIndex = 1\r\n");
  EXPECT_EQ(dir.Read("M.bas"), "Attribute VB_Name = \"M\"\r\n");

  // A second run finds nothing left to change.
  const auto before = dir.Snapshot();
  const Result again = Migrate(dir / "P.vbp");
  EXPECT_EQ(again.lines, (Lines{"Found Form [A.frm]", "Found Module [M.bas]"}));
  EXPECT_EQ(dir.Snapshot(), before);
}

TEST(Vb6Engine, EntriesResolveAgainstTheProjectFolder) {
  TempDir dir;
  dir.Write("proj/P.vbp",
            "Form=Forms\\Sub.frm\nForm=forms\\LOWER.FRM\nModule=X;  Mods\\m  1.bas  \n");
  dir.Write("proj/Forms/Sub.frm", "a.TextColor\n");
  dir.Write("proj/Forms/Lower.frm", "a.TextColor\n");
  dir.Write("proj/Mods/m 1.bas", "a.TextColor\n");
  // The process's own folder has nothing to do with it.
  const Result r = Migrate(dir / "proj/P.vbp");
  EXPECT_EQ(r.lines, (Lines{"Found Form [Forms\\Sub.frm]", "Found Form [forms\\LOWER.FRM]",
                            "Found Module [Mods\\m 1.bas]"}));
  for (const char* f : {"proj/Forms/Sub.frm", "proj/Forms/Lower.frm", "proj/Mods/m 1.bas"}) {
    EXPECT_EQ(dir.Read(f), "a.TextColor.ColorIndex\n") << f;
  }
}

// Odd entries and odd text: each row gives the project text, the expected
// lines, and the expected project text afterwards.
TEST(Vb6Engine, OddProjectTexts) {
  struct Case {
    const char* name;
    std::string project;
    Lines lines;
    std::string after;
  };
  const std::vector<Case> cases = {
      {"missing form",
       "Form=Gone.frm\r\n",
       {"Found Form [Gone.frm]", "Can't find the : Gone.frm"},
       "Form=Gone.frm\r\n"},
      {"empty entry at end", "Form=", {"Found Form []", "Can't find the : "}, "Form="},
      {"icon form",
       "IconForm=\"Main\"\r\nform=A.frm",
       {"Found Form [A.frm]"},
       "IconForm=\"Main\"\r\nform=A.frm"},
      {"module without semicolon",
       "Module=M\r\nModule=N; A.frm\r\n",
       {"Found Module [A.frm]"},
       "Module=M\r\nModule=N; A.frm\r\n"},
      {"lf only, no final break",
       "Form=A.frm\nModule=M;A.frm",
       {"Found Form [A.frm]", "Found Module [A.frm]"},
       "Form=A.frm\nModule=M;A.frm"},
      {"old guid without #",
       kOld0 + "\r\n" + kOld0 + "#1.0\r\n#",
       {},
       kOld0 + "\r\n" + kOld0 + "#1.0\r\n#"},
      {"every reference, one line per row",
       "R=" + kOld0 + "#1.0#0\r\nR=" + kOld0 + "#2.1#x\r\nR=" + kOld0.substr(0, 10) + "\r\n",
       {"Replacing key in [P.vbp]"},
       "R=" + kNew0 + "#5.0#0\r\nR=" + kNew0 + "#5.0#x\r\nR=" + kOld0.substr(0, 10) + "\r\n"},
      {"lower-case old guid is not a reference",
       "R=" + ToLower(kOld0) + "#1.0#0",
       {},
       "R=" + ToLower(kOld0) + "#1.0#0"},
      {"nul and high bytes", "\0\xff.fillcolor\x80"s, {}, "\0\xff.FillColor.ColorIndex\x80"s},
      {"empty file", "", {}, ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    dir.Write("P.vbp", c.project);
    dir.Write("A.frm", "x.PenColor\r\n");
    const Result r = Migrate(dir / "P.vbp");
    EXPECT_EQ(r.outcome.status, RunOutcome::Status::Completed) << c.name;
    EXPECT_EQ(r.lines, c.lines) << c.name;
    EXPECT_EQ(dir.Read("P.vbp"), c.after) << c.name;
    const bool listed = c.project.find("A.frm") != std::string::npos;
    EXPECT_EQ(dir.Read("A.frm"), listed ? "x.PenColor.ColorIndex\r\n" : "x.PenColor\r\n") << c.name;
  }
}

TEST(Vb6Engine, EachFileAtMostOncePerRun) {
  TempDir dir;
  dir.Write("P.vbp", "Form=A.frm\r\nForm=a.frm\r\nForm=L.frm\r\nModule=M;A.frm\r\n");
  dir.Write("A.frm", "Form=A.frm\r\nx.PenColor\r\n");  // lists itself
#ifdef _WIN32
  fs::create_hard_link(dir.path() / "A.frm", dir.path() / "L.frm");  // links need a privilege
#else
  fs::create_symlink("A.frm", dir.path() / "L.frm");
#endif
  const Result r = Migrate(dir / "P.vbp");
  EXPECT_EQ(r.lines, (Lines{"Found Form [A.frm]", "Found Form [A.frm]", "Found Form [a.frm]",
                            "Found Form [L.frm]", "Found Module [A.frm]"}));
  EXPECT_EQ(dir.Read("A.frm"), "Form=A.frm\r\nx.PenColor.ColorIndex\r\n");
#ifndef _WIN32
  EXPECT_TRUE(fs::is_symlink(dir.path() / "L.frm"));
#endif
}

TEST(Vb6Engine, MissingProjectAndRelativePath) {
  const Result r = Migrate("/nonexistent/kv/P.vbp");
  EXPECT_EQ(r.lines, Lines{"Can't find the : /nonexistent/kv/P.vbp"});
  EXPECT_EQ(r.outcome.status, RunOutcome::Status::Completed);

  TempDir dir;
  dir.Write("P.vbp", "Form=A.frm\r\n");
  dir.Write("A.frm", ".PenColor");
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  const Result rel = Migrate("p.VBP");
  fs::current_path(cwd);
  EXPECT_EQ(rel.lines, Lines{"Found Form [A.frm]"});
  EXPECT_EQ(dir.Read("A.frm"), ".PenColor.ColorIndex");
}

// A failure stops the run with a line that names the file and the reason; the
// project file, written last, keeps its old bytes.
TEST(Vb6Engine, FailuresStopTheRunAndKeepTheProject) {
  struct Case {
    const char* name;
    DiskOp op;
    std::string failingFile;
    std::string linePrefix;
  };
  const std::vector<Case> cases = {
      {"unreadable form", DiskOp::Read, "A.frm", "Stopped: could not read ["},
      {"unwritable module", DiskOp::Rename, "M.bas", "Stopped: could not write ["},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string project =
        "Reference=*\\G" + kOld0 + "#1.0#0\r\nForm=A.frm\r\nModule=M;M.bas\r\n";
    dir.Write("P.vbp", project);
    dir.Write("A.frm", ".PenColor");
    dir.Write("M.bas", ".PenColor");
    RealDisk disk([&](DiskOp op, const std::string& path) {
      return op == c.op && fs::path(path).filename() == c.failingFile ? EIO : 0;
    });
    const Result r = Migrate(dir / "P.vbp", &disk);
    EXPECT_EQ(r.outcome.status, RunOutcome::Status::Failed) << c.name;
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines.back(), r.outcome.failure);
    EXPECT_TRUE(r.lines.back().starts_with(c.linePrefix)) << r.lines.back();
    EXPECT_NE(r.lines.back().find(c.failingFile + "]: Input/output error"), std::string::npos)
        << r.lines.back();
    EXPECT_EQ(dir.Read("P.vbp"), project) << c.name;
    EXPECT_EQ(dir.Snapshot().size(), 3u) << c.name;  // no temporary file left
  }
}

TEST(Vb6Engine, ReadOnlyFormStopsTheRunUntouched) {
  TempDir dir;
  dir.Write("P.vbp", "Form=A.frm\r\n");
  dir.Write("A.frm", ".PenColor");
  kvtest::MakeReadOnly(dir / "A.frm");
  const Result r = Migrate(dir / "P.vbp");
  EXPECT_EQ(r.outcome.status, RunOutcome::Status::Failed);
  EXPECT_EQ(r.lines.back(), "Stopped: could not write [" + (dir / "A.frm") +
                                "]: Permission denied; no file was changed");
  EXPECT_EQ(dir.Read("A.frm"), ".PenColor");
  EXPECT_EQ(dir.Read("P.vbp"), "Form=A.frm\r\n");
}

TEST(Vb6Engine, CancelStopsAtAFileBoundary) {
  TempDir dir;
  dir.Write("P.vbp", "Form=A.frm\r\n");
  dir.Write("A.frm", ".PenColor");
  RealDisk disk;
  Vb6Migrator migrator(disk);
  CollectingSink sink;
  CancelFlag cancel{true};
  EXPECT_EQ(migrator.ConvertFile(dir / "P.vbp", sink, &cancel).status,
            RunOutcome::Status::Cancelled);
  EXPECT_EQ(sink.lines, std::vector<std::string>{"Stopped: interrupted; no file was changed"});
  EXPECT_EQ(dir.Read("A.frm"), ".PenColor");
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

// VB's own FillColor is a number: on a form, a PictureBox, a Shape, a user
// control, Me and Printer it keeps its bytes, however it is reached; the
// library control's FillColor beside them still gains ".ColorIndex".
TEST(Vb6Engine, OwnMembersKeepTheirFillColor) {
  const std::string before =
      "Begin VB.Form frmDraw\r\n"
      "   Begin VB.PictureBox picBack\r\n"
      "   Begin VB.Shape   shpDot\r\n"
      "   Begin VUVedaZir.Canvas Canvas1\r\n"
      "End\r\n"
      "Sub Paint()\r\n"
      "  shpDot.FillColor = 1: Canvas1.FillColor = 2\r\n"
      "  SHPDOT(i + Idx(2)).fillcolor = 3\r\n"
      "  Me.FillColor = Printer.FillColor\r\n"
      "  frmDraw.picBack.FillColor = 4\r\n"
      "  With picBack ' the picture\r\n"
      "    .FillColor = 5\r\n"
      "    With Canvas1(3)\r\n"
      "      .FillColor = 6\r\n"
      "    End With\r\n"
      "    .FillColor = 7\r\n"
      "  End With\r\n"
      "  .FillColor = 8\r\n"
      "  With Me.Canvas1\r\n"
      "    .FillColor = 9\r\n"
      "  End With\r\n"
      "  Other.FillColor = shpDot.FillColor\r\n"
      "End Sub\r\n";
  std::string after = before;
  for (const char* library : {"Canvas1.FillColor = 2", "      .FillColor = 6", "  .FillColor = 8",
                              "    .FillColor = 9", "Other.FillColor = "}) {
    const size_t at = after.find(library);
    ASSERT_NE(at, std::string::npos) << library;
    after.insert(after.find("FillColor", at) + 9, ".ColorIndex");
  }
  after.replace(after.find("VUVedaZir"), 9, "VUVedaZir5");
  RealDisk disk;
  const Vb6Migrator migrator(disk);
  std::string text = before;
  EXPECT_EQ(migrator.ApplyTextRules(text), 8u);  // own members left alone
  EXPECT_EQ(text, after);
  EXPECT_EQ(migrator.ApplyTextRules(text), 8u);
  EXPECT_EQ(text, after);  // a second run changes nothing more
}

}  // namespace
}  // namespace kv
