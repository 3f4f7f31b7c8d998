// The .NET solution migration: text stages, parsing, and runs over real trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dotnet_engine.h"
#include "fuzz/reference.h"
#include "mem_disk.h"
#include "solution_parsing.h"
#include "string_functions.h"
#include "test_util.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using kvtest::CollectingSink;
using kvtest::TempDir;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

const RuleTable kGuids = BuildGuidRules();
const std::string kOld0 = kGuids[0].oldText, kNew0 = kGuids[0].newText;
const std::string kOld1 = kGuids[1].oldText, kNew1 = kGuids[1].newText;
const std::string kOld2 = kGuids[2].oldText, kNew2 = kGuids[2].newText;
const std::string kOther = "{5B0E7C3A-2D41-4E8F-9A63-7C1D2E4F6B80}";

std::vector<std::string> NewGuids() {
  std::vector<std::string> guids;
  for (const RuleRow& row : kGuids) guids.push_back(row.newText);
  return guids;
}

std::string Lower(std::string s) {
  for (char& c : s) c = FoldAscii(c);
  return s;
}

std::string Ref(const std::string& guid, const std::string& major, const std::string& minor) {
  return "<Reference Name = \"L\" Guid = \"" + guid + "\" VersionMajor = \"" + major +
         "\" VersionMinor = \"" + minor + "\" Lcid = \"0\" WrapperTool = \"tlbimp\" />\r\n";
}

TEST(DotNetText, Migration) {
  struct Case {
    std::string name, major, minor, in, out;
  };
  const std::vector<Case> cases = {
      {.name = "empty", .major = "5", .minor = "0", .in = "", .out = ""},
      {.name = "keys without a GUID",
       .major = "5",
       .minor = "0",
       .in = Ref(kOther, "4", "1"),
       .out = Ref(kOther, "4", "1")},
      {.name = "lower-case old GUID",
       .major = "5",
       .minor = "0",
       .in = Ref(Lower(kOld0), "4", "1"),
       .out = Ref(kNew0, "5", "0")},
      {.name = "lower-case new GUID is not touched",
       .major = "5",
       .minor = "0",
       .in = Ref(Lower(kNew1), "4", "1"),
       .out = Ref(Lower(kNew1), "4", "1")},
      {.name = "two references",
       .major = "5",
       .minor = "0",
       .in = Ref(kOld0, "1", "0") + Ref(kOld2, "3", "2"),
       .out = Ref(kNew0, "5", "0") + Ref(kNew2, "5", "0")},
      {.name = "long and empty targets",
       .major = "10",
       .minor = "",
       .in = Ref(kOld1, "4", "1"),
       .out = Ref(kNew1, "10", "")},
      {.name = "values of 0 and 2 characters",
       .major = "5",
       .minor = "0",
       .in = Ref(kOld1, "", "12"),
       .out = Ref(kNew1, "5", "0")},
      {.name = "GUID without keys, then an unrelated reference",
       .major = "5",
       .minor = "0",
       .in = "<Reference Guid = \"" + kOld0 + "\" />\r\n" + Ref(kOther, "2", "3"),
       .out = "<Reference Guid = \"" + kNew0 + "\" />\r\n" + Ref(kOther, "2", "3")},
      {.name = "minor key before the major key",
       .major = "5",
       .minor = "0",
       .in = "<R Guid=\"" + kNew2 + "\" VersionMinor = \"9\" VersionMajor = \"8\"/>",
       .out = "<R Guid=\"" + kNew2 + "\" VersionMinor = \"0\" VersionMajor = \"5\"/>"},
      {.name = "two GUIDs in one element share its keys",
       .major = "5",
       .minor = "0",
       .in = "<R Guid = \"" + kOld0 + "\" Alt = \"" + kOld1 + "\" VersionMajor = \"3\" />",
       .out = "<R Guid = \"" + kNew0 + "\" Alt = \"" + kNew1 + "\" VersionMajor = \"5\" />"},
      {.name = "value without closing quote in its element",
       .major = "5",
       .minor = "0",
       .in = "<R Guid = \"" + kNew0 + "\" VersionMajor = \"4 />\r\n<R VersionMajor = \"7\" />",
       .out = "<R Guid = \"" + kNew0 + "\" VersionMajor = \"4 />\r\n<R VersionMajor = \"7\" />"},
      {.name = "keys without blanks",
       .major = "5",
       .minor = "0",
       .in = "Guid=\"" + kOld0 + "\" VersionMajor=\"4\"",
       .out = "Guid=\"" + kNew0 + "\" VersionMajor=\"4\""},
      {.name = "GUID ends the text",
       .major = "5",
       .minor = "0",
       .in = "x" + Lower(kOld2),
       .out = "x" + kNew2},
      {.name = "GUID and one character end the text",
       .major = "5",
       .minor = "0",
       .in = kOld2 + "\"",
       .out = kNew2 + "\""},
      {.name = "element without '>'",
       .major = "5",
       .minor = "0",
       .in = "Guid = \"" + kOld1 + "\" VersionMajor = \"3\"",
       .out = "Guid = \"" + kNew1 + "\" VersionMajor = \"5\""},
      {.name = "names",
       .major = "5",
       .minor = "0",
       .in = "d.pencolor = 1\r\nv.WMFSaveSize\r\nv.FillColor.ColorIndex\r\nImports redidizo.X, "
             "RUVIVEVU, VUVedaZir5\r\n",
       .out = "d.PenColor.ColorIndex = 1\r\nv.IMGSaveSize\r\nv.FillColor.ColorIndex\r\nImports "
              "REDidIzo5.X, RUVivEvu5, VUVedaZir5\r\n"},
      {.name = "bytes kept",
       .major = "5",
       .minor = "0",
       .in = "\xEF\xBB\xBF\0a\xFF\rb\n"s,
       .out = "\xEF\xBB\xBF\0a\xFF\rb\n"s},
  };
  RealDisk disk;
  DotNetMigrator m(disk);
  for (const Case& c : cases) {
    m.NewVersionMajor = c.major;
    m.NewVersionMinor = c.minor;
    std::string text = c.in;
    EXPECT_EQ(m.ConvertDotNetFile(text), c.out) << c.name;
    EXPECT_EQ(text, c.out) << c.name;
    // A second pass leaves the result of the first.
    EXPECT_EQ(m.ConvertDotNetFile(text), c.out) << c.name << " (twice)";
  }
}

// Values that hold a key or a GUID: rewriting one removes what another relies
// on, so the result is that of rewriting them one after the other, and a
// second migration changes nothing more.
TEST(DotNetText, ValuesHoldingMarkup) {
  RealDisk disk;
  DotNetMigrator m(disk);
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {.in = kNew0 + " VersionMajor = \"VersionMinor = \"\"VersionMinor = \"\"",
       .out = kNew0 + " VersionMajor = \"5\"\"VersionMinor = \"0\""},
      {.in = kNew0 + " VersionMajor = \"" + kNew0 + " VersionMinor = \"7\"",
       .out = kNew0 + " VersionMajor = \"5\"7\""},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    EXPECT_EQ(m.ConvertDotNetFile(text), c.out) << c.in;
    EXPECT_EQ(m.ConvertDotNetFile(text), c.out) << c.in;
  }
}

TEST(DotNetText, ManyReferencesInOneElementShareOneKey) {
  RealDisk disk;
  DotNetMigrator m(disk);
  // Many GUIDs in one endless element, each reaching the same far-away key.
  std::string text;
  for (int i = 0; i < 200000; ++i) text += kNew0 + "\"";
  text += "VersionMajor = \"" + std::string(100000, '1') + "\"";
  m.ConvertDotNetFileVersion(text);
  EXPECT_EQ(text.substr(text.size() - 18), "VersionMajor = \"5\"");
}

// The project paths a solution lists, as the run reads them.
Lines SolutionProjects(const std::string& text) {
  Lines paths;
  for (const SolutionEntry& entry : GetSolutionEntries(text)) paths.push_back(entry.path);
  return paths;
}

TEST(DotNetParse, SolutionProjects) {
  const std::string block = "Project(\"{T}\") = \"A\", \"A\\A.csproj\", \"{G}\"\r\nEndProject\r\n";
  const std::string longSection = "\tProjectSection(X) = preProject\r\n" + std::string(40000, 'x') +
                                  "\r\n\tEndProjectSection\r\n";
  struct Case {
    std::string in;
    Lines out;
  };
  const std::vector<Case> cases = {
      {.in = "Microsoft Visual Studio Solution File\r\nGlobal\r\nEndGlobal\r\n", .out = {}},
      {.in = "Project(\"{T}\") = \"A\", \"A.csproj\", \"{G}\"\r\n", .out = {}},
      {.in = "project(\"{T}\") = \"A\", \"a.vbproj\", \"{G}\"\r\nEndProject", .out = {"a.vbproj"}},
      {.in = "Project(\"{T}\") = \"A\", \"A.csproj\", \"{G}\"\r\nendproject\r\n", .out = {}},
      {.in = block + "Project(\"{T}\") = \"B\", \"B.vbproj\", \"{G}\"\r\n" + longSection +
             "EndProject\r\n" + block,
       .out = {"A\\A.csproj", "B.vbproj", "A\\A.csproj"}},
      {.in = "Project(\"{T}\")\r\nEndProject\r\n" + block, .out = {"A\\A.csproj"}},
      {.in = "Project(\"{T}\") = \"A, B\", \"B.csproj\", \"{G}\"\r\nEndProject\r\n", .out = {"B"}},
      {.in = "Project(\"{T}\") = \"A\", \" My Lib\\x.csproj \", \"{G}\"\r\nEndProject\r\n",
       .out = {"My Lib\\x.csproj"}},
      {.in = "Project(\"{T}\") = \"A\", \"a.csproj\", \"{G}\"EndProjectProject(\"{T}\") = \"B\", "
             "\"b.csproj\", \"{G}\"EndProject",
       .out = {"a.csproj", "b.csproj"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SolutionProjects(c.in), c.out) << c.in.substr(0, 80);
  }
}

std::string FileElement(const std::string& rel) {
  return "        <File\r\n            RelPath = \"" + rel +
         "\"\r\n            BuildAction = \"Compile\"\r\n        />\r\n";
}

TEST(DotNetParse, ProjectFiles) {
  auto project = [](const Lines& names) {
    std::string text = "<VisualStudioProject>\r\n<Files>\r\n    <Include>\r\n";
    for (const std::string& n : names) text += FileElement(n);
    return text + "    </Include>\r\n</Files>\r\n</VisualStudioProject>\r\n";
  };
  struct Case {
    std::string in;
    Lines out;
  };
  const std::vector<Case> cases = {
      {.in = project({"AssemblyInfo.cs", "Form1.cs", "Form1.resx", "App.ico", "Web.config"}),
       .out = {"AssemblyInfo.cs", "Form1.cs", "Form1.resx"}},
      {.in = project({"MODULE1.VB", "module1.vb", "Form1.cs.bak", "README", "Sub\\X.Resx"}),
       .out = {"MODULE1.VB", "module1.vb", "Sub\\X.Resx"}},
      {.in = "<File BuildAction = \"Compile\" />\r\n<File RelPath=\"a.cs\" />\r\n" +
             FileElement("b.cs"),
       .out = {"b.cs"}},
      {.in = FileElement("a.cs") + "<File RelPath = \"b.cs\" >\r\n", .out = {"a.cs"}},
      {.in = "<FILE relpath = \" x y.cs \"/>\r\n<file RelPath = \"z.vb/>\r\n", .out = {"x y.cs"}},
      {.in = "<Compile Include=\"Form1.cs\" />\r\n", .out = {}},
      {.in = "<File RelPath = \"a.cs\"/><File RelPath = \"b.cs\"/>", .out = {"a.cs", "b.cs"}},
  };
  for (const Case& c : cases) EXPECT_EQ(ref::GetProjectFiles(c.in), c.out) << c.in;
}

TEST(DotNetText, ComReferenceVersions) {
  auto com = [](const std::string& guid, const std::string& body) {
    return "<COMReference Include=\"L\">\n<Guid>" + guid + "</Guid>\n" + body + "</COMReference>\n";
  };
  struct Case {
    std::string name, in, out;
  };
  const std::vector<Case> cases = {
      {"both, whatever their length",
       com(kNew0, "<VersionMajor>12</VersionMajor><versionminor></versionminor>"),
       com(kNew0, "<VersionMajor>7</VersionMajor><versionminor>0</versionminor>")},
      {"minor first, only the first of each",
       com(kNew1,
           "<VersionMinor>3</VersionMinor><VersionMajor>1</VersionMajor><VersionMajor>2</"
           "VersionMajor>"),
       com(kNew1,
           "<VersionMinor>0</VersionMinor><VersionMajor>7</VersionMajor><VersionMajor>2</"
           "VersionMajor>")},
      {"another library's element", com(kOther, "<VersionMajor>2</VersionMajor>"),
       com(kOther, "<VersionMajor>2</VersionMajor>")},
      {"keys belong to their own element",
       com(kNew2, "") + com(kOther, "<VersionMajor>2</VersionMajor>"),
       com(kNew2, "") + com(kOther, "<VersionMajor>2</VersionMajor>")},
      {"no end tag", "<COMReference><Guid>" + kNew0 + "</Guid><VersionMajor>1</VersionMajor>",
       "<COMReference><Guid>" + kNew0 + "</Guid><VersionMajor>1</VersionMajor>"},
      {"no closing key", com(kNew0, "<VersionMajor>1"), com(kNew0, "<VersionMajor>1")},
      {"a broken end tag: not replaced with the markup behind it",
       com(kNew0,
           "<VersionMajor>1</VersionM_ajor><VersionMinor>3</VersionMinor><X/>"
           "<VersionMajor>2</VersionMajor>"),
       com(kNew0,
           "<VersionMajor>1</VersionM_ajor><VersionMinor>0</VersionMinor><X/>"
           "<VersionMajor>2</VersionMajor>")},
  };
  RealDisk disk;
  DotNetMigrator m(disk);
  m.NewVersionMajor = "7";
  for (const Case& c : cases) {
    std::string text = c.in;
    EXPECT_EQ(m.ConvertComReferenceVersions(text), c.out) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Runs over temporary trees. In expected lines "$/" stands for the tree.

std::string Sln(const Lines& entries) {
  std::string text = "Microsoft Visual Studio Solution File, Format Version 8.00\r\n";
  for (const std::string& e : entries) {
    text += "Project(\"{FAE04EC0-301F-11D3-BF4B-00C04F79EFBC}\") = \"P\", \"" + e +
            "\", \"{11111111-2222-3333-4444-555555555555}\"\r\nEndProject\r\n";
  }
  // The solution's own text holds what the rules would rewrite.
  return text + "Global\r\n\t" + kOld0 + " REDidIzo\r\nEndGlobal\r\n";
}

std::string Proj(const Lines& files, const std::string& guid = kOld1,
                 const std::string& major = "1") {
  std::string text = "<VisualStudioProject>\r\n<References>\r\n" + Ref(guid, major, "0") +
                     Ref(kOther, "2", "1") + "</References>\r\n<Files>\r\n<Include>\r\n";
  for (const std::string& f : files) text += FileElement(f);
  return text + "</Include>\r\n</Files>\r\n</VisualStudioProject>\r\n";
}

const std::string kSource = "Imports RUVivEvu\r\nx.PenColor = 1\r\n";

struct Scenario {
  std::string name;
  std::map<std::string, std::string> files;
  Lines lines;
  std::set<std::string> changed;  // every other file keeps its bytes
  RunOutcome::Status status = RunOutcome::Status::Completed;
  std::set<std::string> readOnly = {};
  RealDisk::FaultHook hook = nullptr;
  std::string solution = "App.sln";
};

void RunScenario(const Scenario& s) {
  SCOPED_TRACE(s.name);
  TempDir dir;
  for (const auto& [rel, bytes] : s.files) dir.Write(rel, bytes);
  for (const std::string& rel : s.readOnly) fs::permissions(dir.path() / rel, fs::perms(0444));
  const auto before = dir.Snapshot();

  RealDisk disk(s.hook);
  DotNetMigrator m(disk);
  CollectingSink sink;
  const RunOutcome outcome = m.ConvertFile(dir / s.solution, sink);

  Lines expected = s.lines;
  for (std::string& line : expected) {
    if (const size_t p = line.find("$/"); p != std::string::npos) {
      line.replace(p, 2, (dir.path() / "").string());  // with the system's separator
    }
  }
  EXPECT_EQ(sink.lines, expected);
  EXPECT_EQ(outcome.status, s.status);
  if (s.status == RunOutcome::Status::Failed) {
    EXPECT_EQ(outcome.failure, sink.lines.back());
  }

  const auto after = dir.Snapshot();
  ASSERT_EQ(after.size(), before.size()) << "a file came or went";
  for (const auto& [rel, bytes] : before) {
    EXPECT_EQ(after.at(rel) != bytes, s.changed.count(rel) == 1) << rel;
  }
}

int FailOn(DiskOp op, const std::string& path, DiskOp wantOp, const std::string& suffix, int err) {
  return op == wantOp && path.ends_with(suffix) ? err : 0;
}

TEST(DotNetRun, Scenarios) {
  using S = RunOutcome::Status;
  const std::map<std::string, std::string> app = {
      {"App.sln", Sln({"A.csproj", "B.vbproj"})},
      {"A.csproj", Proj({"a1.cs", "App.ico", "a2.resx"})},
      {"B.vbproj", Proj({"b1.vb"})},
      {"a1.cs", kSource},
      {"a2.resx", "<data name=\"x\"><value>AxREDidIzo.Drawing</value></data>\r\n"},
      {"b1.vb", kSource},
      {"App.ico", "REDidIzo"},
  };
  const Lines appLines = {
      "Parsing Solution [App.sln]", "Find Project [A.csproj]",    "Find Project [B.vbproj]",
      "Parsing Project [A.csproj]", "Parsing Project [B.vbproj]", "Could not modify [B.vbproj]",
      "Parsing Project [a1.cs]",    "Parsing Project [a2.resx]",  "Parsing Project [b1.vb]",
  };
  auto with = [](std::map<std::string, std::string> files,
                 const std::map<std::string, std::string>& more) {
    for (const auto& [k, v] : more) files[k] = v;
    return files;
  };
  const std::string eio = std::strerror(EIO);
  const std::vector<Scenario> scenarios = {
      {.name = "read-only project",
       .files = app,
       .lines = appLines,
       .changed = {"A.csproj", "a1.cs", "a2.resx", "b1.vb"},
       .status = S::Completed,
       .readOnly = {"B.vbproj"}},
      {.name = "read-only source",
       .files = app,
       .lines = {"Parsing Solution [App.sln]", "Find Project [A.csproj]", "Find Project [B.vbproj]",
                 "Parsing Project [A.csproj]", "Parsing Project [B.vbproj]",
                 "Parsing Project [a1.cs]", "Could not modify [a1.cs]", "Parsing Project [a2.resx]",
                 "Parsing Project [b1.vb]"},
       .changed = {"A.csproj", "B.vbproj", "a2.resx", "b1.vb"},
       .status = S::Completed,
       .readOnly = {"a1.cs"}},
      {.name = "write fails after the file was opened",
       .files = app,
       .lines = {"Parsing Solution [App.sln]", "Find Project [A.csproj]", "Find Project [B.vbproj]",
                 "Parsing Project [A.csproj]", "Could not modify [A.csproj]",
                 "Parsing Project [B.vbproj]", "Parsing Project [a1.cs]",
                 "Parsing Project [a2.resx]", "Parsing Project [b1.vb]"},
       .changed = {"B.vbproj", "a1.cs", "a2.resx", "b1.vb"},
       .status = S::Completed,
       .readOnly = {},
       .hook =
           [](DiskOp op, const std::string& p) {
             return FailOn(op, p, DiskOp::Write, "A.csproj", ENOSPC);
           }},
      {.name = "unreadable project",
       .files = app,
       .lines = {"Parsing Solution [App.sln]", "Find Project [A.csproj]",
                 "Stopped: could not read [$/B.vbproj]: " + eio + "; no file was changed"},
       .changed = {},
       .status = S::Failed,
       .readOnly = {},
       .hook = [](DiskOp op,
                  const std::string& p) { return FailOn(op, p, DiskOp::Read, "B.vbproj", EIO); }},
      {.name = "unreadable source",
       .files = app,
       .lines = {"Parsing Solution [App.sln]", "Find Project [A.csproj]", "Find Project [B.vbproj]",
                 "Parsing Project [A.csproj]", "Parsing Project [B.vbproj]",
                 "Parsing Project [a1.cs]",
                 "Stopped: could not read [$/a1.cs]: " + eio + "; no file was changed"},
       .changed = {"A.csproj", "B.vbproj"},
       .status = S::Failed,
       .readOnly = {},
       .hook = [](DiskOp op,
                  const std::string& p) { return FailOn(op, p, DiskOp::Open, "a1.cs", EIO); }},
      {.name = "missing solution",
       .files = {},
       .lines = {"Can't find the : $/App.sln"},
       .changed = {}},
      {.name = "missing second project",
       .files = with(app, {{"App.sln", Sln({"A.csproj", "Sub\\B.vbproj"})}}),
       .lines = {"Parsing Solution [App.sln]", "Find Project [A.csproj]",
                 "Can't find the : $/Sub\\B.vbproj"},
       .changed = {}},
      {.name = "subfolder project in another letter case",
       .files = {{"App.sln", Sln({"LIB\\lib.CSPROJ"})},
                 {"Lib/Lib.csproj", Proj({"Util.cs", "Gone.vb", "..\\Shared.VB"})},
                 {"Lib/util.cs", kSource},
                 {"Shared.vb", kSource}},
       .lines = {"Parsing Solution [App.sln]", "Find Project [lib.CSPROJ]",
                 "Parsing Project [lib.CSPROJ]", "Parsing Project [Util.cs]",
                 "Parsing Project [Gone.vb]", "Parsing Project [Shared.VB]"},
       .changed = {"Lib/Lib.csproj", "Lib/util.cs", "Shared.vb"}},
      {.name = "empty solution",
       .files = {{"App.sln", Sln({})}},
       .lines = {"Parsing Solution [App.sln]"},
       .changed = {}},
      {.name = "project without files and a block without EndProject",
       .files = {{"App.sln",
                  Sln({"A.csproj"}) + "Project(\"{T}\") = \"B\", \"B.vbproj\", \"{G}\"\r\n"},
                 {"A.csproj",
                  "<VisualStudioProject>" + Ref(kOld2, "1", "0") + "</VisualStudioProject>"}},
       .lines = {"Parsing Solution [App.sln]", "Find Project [A.csproj]",
                 "Parsing Project [A.csproj]"},
       .changed = {"A.csproj"}},
      {.name = "long project block",
       .files = {{"App.sln",
                  "Project(\"{T}\") = \"A\", \"A.csproj\", \"{G}\"\r\n\tProjectSection(x)\r\n" +
                      std::string(40000, 'x') + "\r\n\tEndProjectSection\r\nEndProject\r\n"},
                 {"A.csproj", Proj({})}},
       .lines = {"Parsing Solution [App.sln]", "Find Project [A.csproj]",
                 "Parsing Project [A.csproj]"},
       .changed = {"A.csproj"}},
      {.name = "nothing to change",
       .files = {{"App.sln", Sln({"A.csproj"})},
                 {"A.csproj", "<File RelPath = \"a.cs\" />\n\0\xFF"s},
                 {"a.cs", "\xEF\xBB\xBFint x;\r\n\0\x80 no newline"s}},
       .lines = {"Parsing Solution [App.sln]", "Find Project [A.csproj]",
                 "Parsing Project [A.csproj]", "Parsing Project [a.cs]"},
       .changed = {}},
  };
  for (const Scenario& s : scenarios) RunScenario(s);
}

TEST(DotNetRun, MigratesWholeTreeOnceAndKeepsOtherReferences) {
  kvtest::MemoryDisk disk;
  disk.Put("/t/App.sln", Sln({"A.csproj"}));
  disk.Put("/t/A.csproj", Proj({"a1.cs"}));
  disk.Put("/t/a1.cs", kSource);
  DotNetMigrator m(disk);
  m.NewVersionMajor = "10";
  CollectingSink sink;
  ASSERT_EQ(m.ConvertFile("/t/App.sln", sink).status, RunOutcome::Status::Completed);
  const auto first = disk.files();
  EXPECT_EQ(disk.Get("/t/A.csproj"), Proj({"a1.cs"}, kNew1, "10"));
  EXPECT_EQ(disk.Get("/t/a1.cs"), "Imports RUVivEvu5\r\nx.PenColor.ColorIndex = 1\r\n");
  EXPECT_EQ(disk.Get("/t/App.sln"), Sln({"A.csproj"}));
  ASSERT_EQ(m.ConvertFile("/t/App.sln", sink).status, RunOutcome::Status::Completed);
  EXPECT_EQ(disk.files(), first);
}

TEST(DotNetRun, RelativeSolutionPathAndCancel) {
  TempDir dir;
  dir.Write("App.sln", Sln({"A.csproj", "B.vbproj"}));
  dir.Write("A.csproj", Proj({}));
  dir.Write("B.vbproj", Proj({}));
  const auto before = dir.Snapshot();
  RealDisk disk;
  DotNetMigrator m(disk);

  // Stopped after the check pass: nothing is written.
  struct CancellingSink : CollectingSink {
    CancelFlag flag{false};
    void Line(const std::string& line) override {
      CollectingSink::Line(line);
      if (line == "Find Project [B.vbproj]") flag = true;
    }
  } cancelling;
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  const RunOutcome stopped = m.ConvertFile("App.sln", cancelling, &cancelling.flag);
  CollectingSink sink;
  const RunOutcome done = m.ConvertFile("App.sln", sink);
  fs::current_path(cwd);

  EXPECT_EQ(stopped.status, RunOutcome::Status::Cancelled);
  ASSERT_EQ(cancelling.lines.size(), 4u);
  EXPECT_EQ(cancelling.lines.back(), "Stopped: interrupted; no file was changed");
  EXPECT_EQ(done.status, RunOutcome::Status::Completed);
  EXPECT_EQ(sink.lines.back(), "Parsing Project [B.vbproj]");
  EXPECT_NE(dir.Read("B.vbproj"), before.at("B.vbproj"));
}

TEST(DotNetRun, SampleSolution) {
  TempDir dir;
  kvtest::CopyTree(fs::path(KV_SOURCE_DIR) / "examples/dotnet", dir.path());
  const auto before = dir.Snapshot();
  RealDisk disk;
  DotNetMigrator m(disk);
  CollectingSink sink;
  ASSERT_EQ(m.ConvertFile(dir / "Sample.sln", sink).status, RunOutcome::Status::Completed);
  EXPECT_EQ(sink.lines,
            (Lines{"Parsing Solution [Sample.sln]", "Find Project [Viewer.csproj]",
                   "Find Project [Tools.vbproj]", "Parsing Project [Viewer.csproj]",
                   "Parsing Project [Tools.vbproj]", "Parsing Project [AssemblyInfo.cs]",
                   "Parsing Project [MainForm.cs]", "Parsing Project [MainForm.resx]",
                   "Parsing Project [AssemblyInfo.vb]", "Parsing Project [Exporter.vb]"}));
  for (const std::string proj : {"Viewer/Viewer.csproj", "Tools/Tools.vbproj"}) {
    const std::string text = dir.Read(proj);
    for (const RuleRow& row : kGuids) {
      EXPECT_EQ(text.find(row.oldText), std::string::npos) << proj;
      EXPECT_NE(text.find(row.newText + "\"\r\n                    VersionMajor = \"5\"\r\n"
                                        "                    VersionMinor = \"0\""),
                std::string::npos)
          << proj;
    }
    EXPECT_NE(text.find(kOther + "\"\r\n                    VersionMajor = \"2\"\r\n"
                                 "                    VersionMinor = \"1\""),
              std::string::npos)
        << proj;
  }
  EXPECT_NE(dir.Read("Tools/Exporter.vb").find("view.IMGSaveSize"), std::string::npos);
  for (const std::string same : {"Sample.sln", "Tools/App.config", "Viewer/App.ico"}) {
    EXPECT_EQ(dir.Read(same), before.at(same)) << same;
  }
}

// The engine plans every version rewrite in one sweep; on any text it must
// agree with the plain reference that the fuzz target uses too.
TEST(DotNetText, VersionStageEqualsRowByRowOnRandomTexts) {
  RealDisk disk;
  DotNetMigrator m(disk);
  const std::vector<std::string> pieces = {kNew0,
                                           kNew1,
                                           kNew2,
                                           Lower(kNew1),
                                           kOld0,
                                           kOther,
                                           "\"",
                                           "\"",
                                           ">",
                                           "/>",
                                           " ",
                                           "4",
                                           "\r\n",
                                           "VersionMajor = \"",
                                           "VersionMinor = \"",
                                           "VersionMajor=\"",
                                           "<R Guid = \"",
                                           "x",
                                           "{",
                                           "\"4\"",
                                           "\"10\"",
                                           "\"\""};
  struct Targets {
    std::string major, minor;
  };
  const std::vector<Targets> targets = {{"5", "0"}, {"", "12"}, {"10", ""}, {"\"", "a=b"}};
  std::mt19937 rng(1208);
  for (const Targets& t : targets) {
    m.NewVersionMajor = t.major;
    m.NewVersionMinor = t.minor;
    for (int iter = 0; iter < 3000; ++iter) {
      std::string text;
      for (size_t k = 0, n = rng() % 40; k < n; ++k) text += pieces[rng() % pieces.size()];
      std::string expected = text;
      ref::ConvertVersions(expected, NewGuids(), t.major, t.minor);
      std::string got = text;
      m.ConvertDotNetFileVersion(got);
      ASSERT_EQ(got, expected) << "input: " << text;
    }
  }
}

// A large source file is planned on its mapping instead of migrated in a
// string of its own: wherever the plan is taken, it must give exactly what
// ConvertDotNetFile gives, counts and verdict too; and it is taken for most
// texts.
TEST(DotNetText, PlannedMigrationEqualsConvertDotNetFile) {
  RealDisk disk;
  DotNetMigrator m(disk);
  std::vector<std::string> pieces = {
      kNew0, kOld0,  kOld1,           Lower(kOld2),        kOther, "\"", ">",    "\r\n",
      " ",   "Vers", "ionMajor = \"", "VersionMinor = \"", "x",    "{",  "\"4\""};
  for (const RuleRow& row : BuildTextRules()) {
    pieces.push_back(row.oldText);
    pieces.push_back(Lower(row.oldText));
  }
  std::mt19937 rng(2023);
  size_t planned = 0;
  for (int iter = 0; iter < 6000; ++iter) {
    std::string text;
    for (size_t k = 0, n = rng() % 30; k < n; ++k) text += pieces[rng() % pieces.size()];
    std::string expected = text;
    std::vector<size_t> hits, planHits;
    bool changed = false, planChanged = false;
    m.ConvertDotNetFile(expected, &hits, &changed);
    std::vector<TextEdit> edits;
    if (!m.PlanDotNetFile(text, &edits, &planHits, &planChanged)) {
      EXPECT_TRUE(edits.empty() && planHits.empty() && !planChanged);
      continue;
    }
    ++planned;
    ASSERT_EQ((EditedText{text, edits}.Join()), expected) << "input: " << text;
    hits.resize(planHits.size());
    EXPECT_EQ(planHits, hits);
    EXPECT_EQ(planChanged, changed);
  }
  EXPECT_GT(planned, 1000u);
}

}  // namespace
}  // namespace kv
