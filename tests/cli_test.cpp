// The command-line front end's contract: lines, exit statuses and options.
#include <gtest/gtest.h>

#include <filesystem>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using kvtest::Cli;
using kvtest::CommandResult;
using kvtest::Quote;
using kvtest::RunCommand;
using kvtest::SplitLines;
using kvtest::TempDir;
using Lines = std::vector<std::string>;

const Lines kSampleLines = {
    "Replacing key in [Sample.vbp]",     "Replacing key in [Sample.vbp]",
    "Replacing key in [Sample.vbp]",     "Found Form [frmMain.frm]",
    "Replacing key in [frmMain.frm]",    "Found Form [Forms\\frmOptions.frm]",
    "Replacing key in [frmOptions.frm]", "Found Module [modDrawing.bas]",
    "Found Module [modGlobals.bas]",     "Finish...",
};

class CliVb6 : public ::testing::Test {
 protected:
  void SetUp() override {
    kvtest::CopyTree(fs::path(KV_SOURCE_DIR) / "examples/vb6", dir.path());
    original = dir.Snapshot();
  }
  TempDir dir;
  std::map<std::string, std::string> original;
};

TEST_F(CliVb6, MigratesTheSampleAndASecondRunChangesNothing) {
  const CommandResult r = Cli(Quote(dir / "Sample.vbp"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SplitLines(r.out), kSampleLines);
  EXPECT_TRUE(r.err.starts_with(
      "Summary: 5 files migrated (5 changed, 0 unchanged), 0 missing, 0 not modified\n"
      "Left over: 2 (2 to look at)\n"))
      << r.err;

  const std::string vbp = dir.Read("Sample.vbp");
  EXPECT_NE(vbp.find("{40A55DB2-3BA5-4295-AE1B-49DB83A90929}#5.0#0#..\\Korvane\\REDidIzo5.dll#"
                     "REDidIzo5 Drawing"),
            std::string::npos);
  EXPECT_NE(vbp.find("{D282E57A-EE4B-4F50-A5E2-01E4D421631C}#5.0#0#..\\Korvane\\RUVivEvu5.dll#"
                     "RUVivEvu5 Viewer"),
            std::string::npos);
  EXPECT_NE(vbp.find("Object={A1D8BCA2-BAD5-4DA7-BECE-00A51A4B1529}#5.0#0; VUVedaZir5.ocx\r\n"),
            std::string::npos);
  EXPECT_NE(vbp.find("IconForm=\"frmMain\"\r\n"), std::string::npos);
  const std::string main = dir.Read("frmMain.frm");
  for (const char* s :
       {"Canvas1.PenColor.ColorIndex = vbRed", "Canvas1.FillColor.ColorIndex = vbYellow",
        "d.IMGSaveSize = 1024", "New REDidIzo5.Drawing", "Begin VUVedaZir5.Canvas"}) {
    EXPECT_NE(main.find(s), std::string::npos) << s;
  }
  EXPECT_EQ(dir.Read("clsShape.cls"), original.at("clsShape.cls"));  // classes are not listed

  const auto migrated = dir.Snapshot();
  const CommandResult again = Cli(Quote(dir / "Sample.vbp"));
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(SplitLines(again.out),
            (Lines{"Found Form [frmMain.frm]", "Found Form [Forms\\frmOptions.frm]",
                   "Found Module [modDrawing.bas]", "Found Module [modGlobals.bas]", "Finish..."}));
  EXPECT_EQ(dir.Snapshot(), migrated);
}

TEST_F(CliVb6, DryRunDiffAndQuiet) {
  const CommandResult dry = Cli("--dry-run " + Quote(dir / "Sample.vbp"));
  EXPECT_EQ(dry.status, 0);
  EXPECT_EQ(SplitLines(dry.out), kSampleLines);
  EXPECT_EQ(dir.Snapshot(), original);

  const CommandResult diff = Cli("--dry-run --diff --quiet " + Quote(dir / "Sample.vbp"));
  EXPECT_EQ(diff.status, 0);
  EXPECT_EQ(dir.Snapshot(), original);
  EXPECT_NE(diff.out.find("+++ b/" + (dir / "frmMain.frm")), std::string::npos) << diff.out;
  EXPECT_NE(diff.out.find("\n-    Canvas1.PenColor = vbRed\r\n"), std::string::npos);
  EXPECT_NE(diff.out.find("\n+    Canvas1.PenColor.ColorIndex = vbRed\r\n"), std::string::npos);
  EXPECT_EQ(diff.out.find("Found Form"), std::string::npos);  // quiet: no progress lines
  EXPECT_EQ(diff.out.find("clsShape"), std::string::npos);

  const CommandResult quiet = Cli("-q " + Quote(dir / "Sample.vbp"));
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_NE(dir.Snapshot(), original);
}

TEST_F(CliVb6, RelativePathIsTakenAgainstTheCurrentFolder) {
  const CommandResult r = Cli("Sample.vbp", dir.path().string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SplitLines(r.out), kSampleLines);
}

TEST_F(CliVb6, MissingFileExitsOne) {
  fs::remove(dir.path() / "modGlobals.bas");
  const CommandResult r = Cli(Quote(dir / "Sample.vbp"));
  EXPECT_EQ(r.status, 1);
  const Lines lines = SplitLines(r.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Can't find the : modGlobals.bas");
  EXPECT_EQ(lines.back(), "Finish...");
}

// A reader that goes away after the first line (`| head -1`) stops the run
// like Ctrl-C: no file changes, the status says so, standard error says why.
// (The project lists enough missing forms for its lines to fill the pipe
// before the run ends.)
TEST_F(CliVb6, ClosedOutputStopsTheRunWithNoChange) {
#ifdef _WIN32
  GTEST_SKIP() << "the command is a POSIX shell pipeline";
#endif
  std::string project = dir.Read("Sample.vbp");
  for (int i = 0; i < 4000; ++i) project += "Form=missing" + std::to_string(i) + ".frm\r\n";
  dir.Write("Sample.vbp", project);
  const auto before = dir.Snapshot();
  const CommandResult r = RunCommand("{ { " + Quote(KV_CLI_PATH) + " " + Quote(dir / "Sample.vbp") +
                                     " </dev/null; echo \"status=$?\" >&2; } | head -1; }");
  EXPECT_EQ(r.out, "Replacing key in [Sample.vbp]\n");
  EXPECT_NE(r.err.find("could not write the output: Broken pipe; no file was changed"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("status=130"), std::string::npos) << r.err;
  EXPECT_EQ(dir.Snapshot(), before);
}

TEST_F(CliVb6, FailureExitsThreeWithTheReasonLast) {
  kvtest::MakeReadOnly(dir / "modDrawing.bas");
  const CommandResult r = Cli(Quote(dir / "Sample.vbp"));
  EXPECT_EQ(r.status, 3);
  const Lines lines = SplitLines(r.out);
  const std::string expected = "Stopped: could not write [" + (dir / "modDrawing.bas") +
                               "]: Permission denied; no file was changed";
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), expected);
  EXPECT_TRUE(r.err.ends_with(expected + "\n")) << r.err;
  EXPECT_EQ(dir.Read("Sample.vbp"), original.at("Sample.vbp"));
  EXPECT_EQ(dir.Read("modDrawing.bas"), original.at("modDrawing.bas"));
}

// --check writes nothing and passes only when a run would change nothing and
// nothing is left over; --no-scan leaves the leftovers out of the gate.
TEST_F(CliVb6, CheckGatesASecondRun) {
  std::string vbp = dir.Read("Sample.vbp");
  vbp.erase(vbp.find("Class="), vbp.find("IconForm") - vbp.find("Class="));
  dir.Write("Sample.vbp", vbp);
  fs::remove(dir.path() / "clsShape.cls");
  const auto before = dir.Snapshot();
  const std::string project = Quote(dir / "Sample.vbp");

  const CommandResult first = Cli("--check --quiet " + project);
  EXPECT_EQ(first.status, 1);
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(dir.Snapshot(), before);  // nothing written, nothing staged
  EXPECT_TRUE(Cli("--check " + project).err.ends_with("Check: not done: 5 files would change\n"));

  EXPECT_EQ(Cli(project).status, 0);
  const CommandResult second = Cli("--check " + project);
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_TRUE(second.err.ends_with(
      "Left over: nothing\nCheck: done; a run would change nothing and nothing is left over\n"))
      << second.err;

  dir.Write("Extra/old.bas", "x = \"{830c3fd1-54a5-4249-97b6-097ac6407367}\"\n");
  const CommandResult left = Cli("--check " + project);
  EXPECT_EQ(left.status, 1);
  EXPECT_NE(left.err.find((dir.path() / "Extra" / "old.bas").string() +
                          ":1:7: 830c3fd1-54a5-4249-97b6-097ac6407367 "
                          "(not listed by the project)\n"),
            std::string::npos)
      << left.err;
  EXPECT_EQ(Cli("--check --no-scan " + project).status, 0);
  EXPECT_EQ(Cli("--scan " + project).status, 1);
  fs::remove(dir.path() / "Extra/old.bas");
  EXPECT_EQ(Cli("--scan " + project).status, 0);
}

// The JSON record of a run holds to its documented schema, for both kinds of
// project, after a run with leftovers and after a failure.
TEST(CliJson, RecordMatchesItsSchema) {
  kvtest::TempDir dir;
  kvtest::CopyTree(fs::path(KV_SOURCE_DIR) / "examples", dir.path());
  const std::string schema = (fs::path(KV_SOURCE_DIR) / "docs/run-record.schema.json").string();
  const std::string validate =
      "python3 " + Quote((fs::path(KV_SOURCE_DIR) / "tests/validate_json.py").string()) + " " +
      Quote(schema) + " ";
  for (const char* project : {"vb6/Sample.vbp", "dotnet/Sample.sln", "vb6/Missing.vbp"}) {
    const std::string json = dir / (std::string(project) + ".json");
    Cli("--json " + Quote(json) + " " + Quote(dir / project));
#ifndef _WIN32  // the validator is a Python script; the Windows build writes the same record
    const CommandResult valid = RunCommand(validate + Quote(json) + " 2>&1");
    EXPECT_EQ(valid.status, 0) << project << ": " << valid.out;
#endif
  }
  const std::string vb6 = dir.Read("vb6/Sample.vbp.json");
  // The file's path as the system writes it ("\" on Windows), escaped for JSON.
  std::string path = (dir.path() / "vb6" / "frmMain.frm").string();
  for (size_t at = 0; (at = path.find('\\', at)) != std::string::npos; at += 2) {
    path.insert(at, 1, '\\');
  }
  EXPECT_NE(vb6.find("\"path\": \"" + path +
                     "\", \"kind\": \"frm\", \"status\": \"migrated\", \"changed\": true"),
            std::string::npos)
      << vb6;
  EXPECT_NE(vb6.find("\"reason\": \"not-followed\""), std::string::npos);
}

// Bad arguments: exit 2 before anything is read, one line naming the fault,
// then the usage; every option takes "--name value" and "--name=value".
TEST(CliArguments, UsageHelpAndVersion) {
  struct Case {
    std::string args;
    int status;
    std::string message;  // the first line on standard error; empty: none
  };
  const std::vector<Case> cases = {
      {"", 2, "no PATH given"},
      {"--bogus x.vbp", 2, "unknown option --bogus"},
      {"--bogus=1 x.vbp", 2, "unknown option --bogus=1"},
      {"project.txt", 2, "PATH must end in .vbp, .vbg or .sln: project.txt"},
      {"a.vbp b.vbp", 2, "only one PATH may be given"},
      {"--scan=a.vbp b.vbp", 2, "only one PATH may be given"},
      {"--scan a.vbp --no-scan", 2, "--scan and --no-scan exclude each other"},
      {"--major", 2, "--major needs a TEXT"},
      {"x.sln --json", 2, "--json needs a FILE"},
      {"--json= x.sln", 2, "--json needs a FILE, not an empty text"},
      {"--json " + Quote("") + " x.sln", 2, "--json needs a FILE, not an empty text"},
      {"--web-root= x.sln", 2, "--web-root needs a DIR, not an empty text"},
      {"--codepage= x.sln", 2, "--codepage needs a NAME, not an empty text"},
      {"--codepage=NO-SUCH x.sln", 2, "unknown code page NO-SUCH"},
      {"--scan=", 2, "--scan needs a PATH, not an empty text"},
      {"--dry-run=yes x.vbp", 2, "--dry-run takes no value"},
      {"--major \"</VersionMajor><Evil/>\" x.sln", 2,
       "--major </VersionMajor><Evil/>: a version text may not hold a quote, <, >, & or a "
       "control character"},
      {Quote("--minor=a&b") + " x.sln", 2,
       "--minor a&b: a version text may not hold a quote, <, >, & or a control character"},
      {"--json no-such-folder/r.json x.sln", 2,
       "--json no-such-folder/r.json: its folder no-such-folder cannot be used: No such file or "
       "directory"},
      {"--help", 0, ""},
      {"-h --bogus", 0, ""},
  };
  for (const Case& c : cases) {
    const CommandResult r = Cli(c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_EQ(r.err.find("Usage: kvmigrate-cli") != std::string::npos, c.status == 2) << c.args;
    if (c.status == 2) {
      EXPECT_EQ(SplitLines(r.err).front(), "kvmigrate-cli: " + c.message) << c.args;
      EXPECT_EQ(r.out, "") << c.args;
    } else {
      EXPECT_TRUE(r.out.starts_with("Usage: kvmigrate-cli")) << c.args;
    }
  }
  // An empty --major or --minor is a version text like any other; "-" is a
  // value, "--" ends the options.
  kvtest::TempDir dir;
  const std::string path = dir / "-P.sln";
  const std::vector<std::string> runs = {"--major= --minor " + Quote("") + " --json=- -- -P.sln",
                                         "--major -1 --minor=-- --json - " + Quote(path)};
  for (const std::string& args : runs) {
    const CommandResult r = Cli(args, dir.path().string());
    EXPECT_EQ(r.status, 1) << args << r.err;
    // --json -: the record alone on standard output, the lines on standard error.
    EXPECT_NE(r.err.find("Can't find the : "), std::string::npos) << args << r.err;
    EXPECT_TRUE(r.out.starts_with("{\n") && r.out.ends_with("}\n")) << args << r.out;
  }
  EXPECT_EQ(Cli("--version").out, "kvmigrate-cli 2.00\n");
  const CommandResult missing = Cli("/nonexistent/P.VBP");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "Can't find the : /nonexistent/P.VBP\nFinish...\n");
}

}  // namespace

namespace {

TEST(CliDotNet, MigratesTheSampleSolution) {
  kvtest::TempDir dir;
  kvtest::CopyTree(fs::path(KV_SOURCE_DIR) / "examples/dotnet", dir.path());
  const auto original = dir.Snapshot();
  const Lines expected = {
      "Parsing Solution [Sample.sln]",
      "Find Project [Viewer.csproj]",
      "Find Project [Tools.vbproj]",
      "Parsing Project [Viewer.csproj]",
      "Parsing Project [Tools.vbproj]",
      "Parsing Project [AssemblyInfo.cs]",
      "Parsing Project [MainForm.cs]",
      "Parsing Project [MainForm.resx]",
      "Parsing Project [AssemblyInfo.vb]",
      "Parsing Project [Exporter.vb]",
      "Finish...",
  };
  const CommandResult dry = Cli("--dry-run --major 10 --minor= " + Quote(dir / "Sample.sln"));
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(SplitLines(dry.out), expected);
  EXPECT_EQ(dir.Snapshot(), original);

  const CommandResult r = Cli("--major 10 --minor= " + Quote(dir / "Sample.sln"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SplitLines(r.out), expected);
  const std::string csproj = dir.Read("Viewer/Viewer.csproj");
  EXPECT_NE(csproj.find("Guid = \"{40A55DB2-3BA5-4295-AE1B-49DB83A90929}\"\r\n"
                        "                    VersionMajor = \"10\"\r\n"
                        "                    VersionMinor = \"\""),
            std::string::npos)
      << csproj;
  EXPECT_EQ(dir.Read("Sample.sln"), original.at("Sample.sln"));
  EXPECT_EQ(dir.Read("Viewer/App.ico"), original.at("Viewer/App.ico"));

  // Read-only project: reported, untouched, and the run goes on (exit 1).
  kvtest::MakeReadOnly(dir / "Tools/Tools.vbproj");
  const CommandResult again = Cli(Quote(dir / "Sample.sln"));
  EXPECT_EQ(again.status, 1);
  const Lines lines = SplitLines(again.out);
  ASSERT_EQ(lines.size(), expected.size() + 1);
  EXPECT_EQ(lines[5], "Could not modify [Tools.vbproj]");
  EXPECT_EQ(lines.back(), "Finish...");
}

}  // namespace
