// Projects as their owners write them, end to end through kvmigrate-cli:
// member paths that keep their bytes, web projects, linked files, MSBuild
// items and COM references, VB6 groups and the further member kinds.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using kvtest::Cli;
using kvtest::CommandResult;
using kvtest::Quote;
using kvtest::SplitLines;
using kvtest::TempDir;
using Lines = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

constexpr char kOldGuid[] = "{830C3FD1-54A5-4249-97B6-097AC6407367}";
constexpr char kNewGuid[] = "{40A55DB2-3BA5-4295-AE1B-49DB83A90929}";

// A solution's projects; `folder`: a solution folder block written first.
std::string Solution(const std::vector<std::string>& projects, bool folder = false) {
  std::string sln = "Microsoft Visual Studio Solution File, Format Version 9.00\r\n";
  if (folder) {
    sln +=
        "Project(\"{2150e333-8fdc-42a3-9474-1a3956d46de8}\") = \"Solution Items\", \"Solution "
        "Items\", \"{22222222-2222-3333-4444-555555555555}\"\r\n\tProjectSection(SolutionItems) "
        "= preProject\r\n\t\tREADME.md = README.md\r\n\tEndProjectSection\r\nEndProject\r\n";
  }
  for (const std::string& p : projects) {
    sln += "Project(\"{FAE04EC0-301F-11D3-BF4B-00C04F79EFBC}\") = \"P\", \"" + p +
           "\", \"{11111111-2222-3333-4444-555555555555}\"\r\nEndProject\r\n";
  }
  return sln;
}

const Files kWebTree = {
    {"S.sln", Solution({"http://localhost/W/W.csproj", "P\\P.csproj"})},
    {"P/P.csproj", "<File RelPath = \"a.cs\" />"},
    {"P/a.cs", "x.PenColor = 1;"},
    {"www/W/W.csproj", "<File RelPath = \"w.cs\" />"},
    {"www/W/w.cs", "new REDidIzo.Drawing();"},
};

#ifndef _WIN32
// Form and module names written in Chinese (936), Korean (949) and Russian
// (1251) code pages; the files are named in UTF-8.
const Files kCodePageTree = {
    {"P.vbp",
     "Form=\xD7\xE9"
     "1.frm\r\nForm=\xC6\xFB.frm\r\nModule=M; \xD4\xEE\xF0\xEC\xE0.bas\r\n"},
    {"\u7EC41.frm", "x.PenColor = 1\r\n"},
    {"\uD3FC.frm", "x.PenColor = 1\r\n"},
    {"\u0424\u043E\u0440\u043C\u0430.bas", "x.PenColor = 1\r\n"},
};
#endif

// An SDK-style project: listed files first, then those below its folder that
// it compiles by default, neither removed nor in its output folders.
const Files kSdkTree = {
    {"S.sln", Solution({"P\\P.csproj"}, true)},
    {"P/P.csproj",
     "<Project Sdk=\"Microsoft.NET.Sdk\">\n<ItemGroup>\n<Compile Include=\"..\\L.cs\" />\n"
     "<Compile Include=\"Sub\\a.cs\" />\n<Compile Remove=\"gen\\**;**\\*.g.cs\" />\n"
     "<EmbeddedResource Remove=\"Skip.resx\" />\n</ItemGroup>\n</Project>\n"},
    {"L.cs", "x.PenColor = 1;"},
    {"P/b.cs", "x.PenColor = 1;"},
    {"P/Sub/a.cs", "x.PenColor = 1;"},
    {"P/Sub/obj/c.cs", "x.PenColor = 1;"},
    {"P/R.resx", "x.PenColor = 1;"},
    {"P/obj/Debug/o.cs", "x.PenColor = 1;"},
    {"P/BIN/x.cs", "x.PenColor = 1;"},
    {"P/.vs/h.cs", "x.PenColor = 1;"},
    {"P/Gen/deep/g.cs", "x.PenColor = 1;"},
    {"P/Sub/t.g.cs", "x.PenColor = 1;"},
    {"P/Skip.resx", "x.PenColor = 1;"},
    {"P/v.vb", "x.PenColor = 1"},
};

const Files kMembersTree = {
    {"P.vbp",
     "Type=Exe\r\nUserControl=U.ctl\r\nClass=C; C.cls\r\nPropertyPage=G.pag\r\n"
     "UserDocument=D.dob\r\nDesigner=E.Dsr\r\nDesigner=E.dca\r\nx Class=N; N.cls\r\n"},
    {"U.ctl", "Begin VUVedaZir.Canvas C1"},
    {"C.cls", "d.FillColor = 1"},
    {"G.pag", "d.TextColor = 1"},
    {"D.dob", "d.WMFSaveSize = 1"},
    {"E.Dsr", "Dim r As RUVivEvu.Layer"},
    {"E.dca", "RUVivEvu"},
    {"N.cls", "RUVivEvu"},
};

// Each rule on its own: a small tree, the arguments, the lines and exit
// status, then what some files hold afterwards ("" = unchanged).
TEST(CliRealProjects, EachRuleOnItsOwn) {
  struct Case {
    std::string name;
    Files files;
    std::string args;  // "{dir}" stands for the tree's folder
    Lines lines;
    int status;
    std::vector<std::pair<std::string, std::string>> holds;  // file, text it contains
  };
  const std::vector<Case> cases = {
      {"VB6 entry paths keep their bytes, library paths change",
       {{"P.vbp", std::string("Reference=*\\G") + kOldGuid +
                      "#1.0#0#..\\lib\\REDidIzo.dll#REDidIzo Drawing\r\n"
                      "Form=REDidIzoForms\\A.frm\r\nModule=M;  REDidIzoLib\\M.bas\r\n"},
        {"REDidIzoForms/A.frm", "Dim d As redidizo.Drawing\r\n"},
        {"REDidIzoLib/M.bas", "x.PenColor = 1\r\n"}},
       "{dir}/P.vbp",
       {"Replacing key in [P.vbp]", "Found Form [REDidIzoForms\\A.frm]",
        "Found Module [REDidIzoLib\\M.bas]", "Finish..."},
       0,
       {{"P.vbp", std::string(kNewGuid) + "#5.0#0#..\\lib\\REDidIzo5.dll#REDidIzo5 Drawing"},
        {"P.vbp", "Form=REDidIzoForms\\A.frm\r\nModule=M;  REDidIzoLib\\M.bas\r\n"},
        {"REDidIzoForms/A.frm", "REDidIzo5.Drawing"},
        {"REDidIzoLib/M.bas", ".PenColor.ColorIndex"}}},
      {".NET RelPath keeps its bytes",
       {{"S.sln", Solution({"P\\P.csproj"})},
        {"P/P.csproj", "<Reference Name = \"REDidIzo\" />\n<File RelPath = \"REDidIzoWrap.cs\" />"},
        {"P/REDidIzoWrap.cs", "REDidIzo.Drawing"}},
       "{dir}/S.sln",
       {"Parsing Solution [S.sln]", "Find Project [P.csproj]", "Parsing Project [P.csproj]",
        "Parsing Project [REDidIzoWrap.cs]", "Finish..."},
       0,
       {{"P/P.csproj", "Name = \"REDidIzo5\" />\n<File RelPath = \"REDidIzoWrap.cs\" />"},
        {"P/REDidIzoWrap.cs", "REDidIzo5.Drawing"}}},
      {"web project passed over, the rest migrates",
       kWebTree,
       "{dir}/S.sln",
       {"Parsing Solution [S.sln]", "Skipping web project [http://localhost/W/W.csproj]",
        "Find Project [P.csproj]", "Parsing Project [P.csproj]", "Parsing Project [a.cs]",
        "Finish..."},
       1,
       {{"P/a.cs", ".PenColor.ColorIndex"}, {"www/W/w.cs", ""}}},
      {"web project from the web root",
       kWebTree,
       "--web-root {dir}/www {dir}/S.sln",
       {"Parsing Solution [S.sln]", "Find Project [W.csproj]", "Find Project [P.csproj]",
        "Parsing Project [W.csproj]", "Parsing Project [P.csproj]", "Parsing Project [w.cs]",
        "Parsing Project [a.cs]", "Finish..."},
       0,
       {{"www/W/w.cs", "REDidIzo5.Drawing"}}},
      {"linked file migrated where Link says",
       {{"S.sln", Solution({"P\\P.csproj"})},
        {"P/P.csproj", "<File RelPath = \"x.cs\" Link = \"..\\Shared\\REDidIzoX.cs\" />"},
        {"P/x.cs", "RUVivEvu"},
        {"Shared/REDidIzoX.cs", "RUVivEvu"}},
       "{dir}/S.sln",
       {"Parsing Solution [S.sln]", "Find Project [P.csproj]", "Parsing Project [P.csproj]",
        "Parsing Project [REDidIzoX.cs]", "Finish..."},
       0,
       {{"Shared/REDidIzoX.cs", "RUVivEvu5"},
        {"P/x.cs", ""},
        {"P/P.csproj", "Link = \"..\\Shared\\REDidIzoX.cs\""}}},
      {"MSBuild items and COM reference versions",
       {{"S.sln", Solution({"P\\P.csproj"})},
        {"P/P.csproj",
         std::string("<Project>\n<ItemGroup>\n<compile include = 'B.cs' />\n"
                     "<Compile Include=\"REDidIzoA.cs\"><SubType>Code</SubType></Compile>\n"
                     "<Compile Include=\"*.cs\" /><CompileX Include=\"y.cs\" />\n"
                     "<None Include=\"n.txt\" /><None XInclude=\"z.cs\" />\n"
                     "<EmbeddedResource Include=\"R.resx\" />\n</ItemGroup>\n"
                     "<COMReference Include=\"REDidIzo\">\n<Guid>") +
             kOldGuid +
             "</Guid>\n<VersionMajor>12</VersionMajor>\n<VersionMinor></VersionMinor>\n"
             "</COMReference>\n<COMReference Include=\"Other\">\n<Guid>{0}</Guid>\n"
             "<VersionMajor>2</VersionMajor>\n</COMReference>\n</Project>"},
        {"P/B.cs", "x.PenColor"},
        {"P/REDidIzoA.cs", "x.PenColor"},
        {"P/R.resx", "x.PenColor"}},
       "--major 7 {dir}/S.sln",
       {"Parsing Solution [S.sln]", "Find Project [P.csproj]", "Parsing Project [P.csproj]",
        "Parsing Project [B.cs]", "Parsing Project [REDidIzoA.cs]", "Parsing Project [R.resx]",
        "Finish..."},
       0,
       {{"P/P.csproj", "<Compile Include=\"REDidIzoA.cs\">"},
        {"P/P.csproj",
         std::string("<Guid>") + kNewGuid +
             "</Guid>\n<VersionMajor>7</VersionMajor>\n<VersionMinor>0</VersionMinor>"},
        {"P/P.csproj", "<VersionMajor>2</VersionMajor>"},
        {"P/REDidIzoA.cs", ".PenColor.ColorIndex"},
        {"P/R.resx", ".PenColor.ColorIndex"}}},
      {"VB6 group: each project in order, a missing one passed, a shared file once",
       {{"G.vbg",
         "VBGROUP 5.0\r\nStartupProject=A\\A.vbp\r\nProject=Gone.vbp\r\n"
         "project=REDidIzoB\\B.vbp\r\n"},
        {"A/A.vbp", "Module=S; ..\\S.bas\r\n"},
        {"REDidIzoB/B.vbp", "Module=S; ..\\S.bas\r\nModule=T; T.bas\r\n"},
        {"REDidIzoB/T.bas", "x.PenColor = 1\r\n"},
        {"S.bas", "x.PenColor = 1\r\n"}},
       "{dir}/G.vbg",
       {"Found Project [A\\A.vbp]", "Found Module [..\\S.bas]", "Found Project [Gone.vbp]",
        "Can't find the : Gone.vbp", "Found Project [REDidIzoB\\B.vbp]", "Found Module [..\\S.bas]",
        "Found Module [T.bas]", "Finish..."},
       1,
       {{"S.bas", ".PenColor.ColorIndex"},
        {"REDidIzoB/T.bas", ".PenColor.ColorIndex"},
        {"G.vbg", ""}}},
      {"solution folder passed over; SDK-style project with its unlisted files",
       kSdkTree,
       "{dir}/S.sln",
       {"Parsing Solution [S.sln]", "Find Project [P.csproj]", "Parsing Project [P.csproj]",
        "Parsing Project [L.cs]", "Parsing Project [a.cs]", "Parsing Project [b.cs]",
        "Parsing Project [R.resx]", "Parsing Project [c.cs]", "Finish..."},
       0,
       {{"L.cs", ".PenColor.ColorIndex"},
        {"P/b.cs", ".PenColor.ColorIndex"},
        {"P/Sub/obj/c.cs", ".PenColor.ColorIndex"},
        {"P/R.resx", ".PenColor.ColorIndex"},
        {"P/obj/Debug/o.cs", ""},
        {"P/BIN/x.cs", ""},
        {"P/.vs/h.cs", ""},
        {"P/Gen/deep/g.cs", ""},
        {"P/Sub/t.g.cs", ""},
        {"P/Skip.resx", ""},
        {"P/v.vb", ""}}},
      {"SDK-style projects without default sources, or without any default items",
       {{"S.sln", Solution({"V\\V.vbproj", "W\\W.csproj"})},
        {"V/V.vbproj",
         "<Project Sdk='Microsoft.NET.Sdk'><PropertyGroup><EnableDefaultCompileItems "
         "Condition=\"'$(X)' == ''\"> False "
         "</EnableDefaultCompileItems></PropertyGroup></Project>"},
        {"V/a.vb", "x.PenColor = 1"},
        {"V/R.resx", "x.PenColor = 1"},
        {"W/W.csproj",
         "<Project SDK=\"Microsoft.NET.Sdk\"><PropertyGroup><EnableDefaultItems>false"
         "</EnableDefaultItems></PropertyGroup></Project>"},
        {"W/a.cs", "x.PenColor = 1;"}},
       "{dir}/S.sln",
       {"Parsing Solution [S.sln]", "Find Project [V.vbproj]", "Find Project [W.csproj]",
        "Parsing Project [V.vbproj]", "Parsing Project [W.csproj]", "Parsing Project [R.resx]",
        "Finish..."},
       0,
       {{"V/R.resx", ".PenColor.ColorIndex"}, {"V/a.vb", ""}, {"W/a.cs", ""}}},
      {"MSBuild escapes in Include values",
       {{"S.sln", Solution({"P\\P.csproj"})},
        {"P/P.csproj",
         "<Project><ItemGroup><Compile Include=\"My%20File.cs\" /><Compile Include=\"100%25.cs\" "
         "/><Compile Include=\"a%zz.cs\" /></ItemGroup></Project>"},
        {"P/My File.cs", "x.PenColor = 1;"},
        {"P/100%.cs", "x.PenColor = 1;"},
        {"P/a%zz.cs", "x.PenColor = 1;"}},
       "{dir}/S.sln",
       {"Parsing Solution [S.sln]", "Find Project [P.csproj]", "Parsing Project [P.csproj]",
        "Parsing Project [My File.cs]", "Parsing Project [100%.cs]", "Parsing Project [a%zz.cs]",
        "Finish..."},
       0,
       {{"P/My File.cs", ".PenColor.ColorIndex"},
        {"P/100%.cs", ".PenColor.ColorIndex"},
        {"P/a%zz.cs", ".PenColor.ColorIndex"},
        {"P/P.csproj", "Include=\"My%20File.cs\""}}},
#ifndef _WIN32  // names in UTF-8 on disk; windows_names.sh tries the Windows build
      {"names in any ANSI code page, without --codepage",
       kCodePageTree,
       "{dir}/P.vbp",
       {"Found Form [\xD7\xE9"
        "1.frm]",
        "Found Form [\xC6\xFB.frm]", "Found Module [\xD4\xEE\xF0\xEC\xE0.bas]", "Finish..."},
       0,
       {{"\u7EC41.frm", ".PenColor.ColorIndex"},
        {"\uD3FC.frm", ".PenColor.ColorIndex"},
        {"\u0424\u043E\u0440\u043C\u0430.bas", ".PenColor.ColorIndex"}}},
      {"--codepage tries that code page alone",
       kCodePageTree,
       "--codepage CP949 {dir}/P.vbp",
       {"Found Form [\xD7\xE9"
        "1.frm]",
        "Can't find the : \xD7\xE9"
        "1.frm",
        "Found Form [\xC6\xFB.frm]", "Found Module [\xD4\xEE\xF0\xEC\xE0.bas]",
        "Can't find the : \xD4\xEE\xF0\xEC\xE0.bas", "Finish..."},
       1,
       {{"\uD3FC.frm", ".PenColor.ColorIndex"}, {"\u7EC41.frm", ""}}},
      {"group and solution members resolve their entries where they were found",
       {{"g/G.vbg", "VBGROUP 5.0\r\nProject=\x83\x41\\P.vbp\r\n"},
        {"g/\u30A2/P.vbp", "Form=F.frm\r\n"},
        {"g/\u30A2/F.frm", "x.PenColor = 1\r\n"},
        {"S.sln", Solution({"Caf\xE9\\P.csproj"})},
        {"Caf\u00E9/P.csproj", "<File RelPath = \"a.cs\" />"},
        {"Caf\u00E9/a.cs", "x.PenColor = 1;"}},
       "{dir}/g/G.vbg",
       {"Found Project [\x83\x41\\P.vbp]", "Found Form [F.frm]", "Finish..."},
       0,
       {{"g/\u30A2/F.frm", ".PenColor.ColorIndex"}}},
#endif
      {"further member kinds not followed by default",
       kMembersTree,
       "{dir}/P.vbp",
       {"Finish..."},
       0,
       {{"C.cls", ""}, {"U.ctl", ""}}},
      {"further member kinds with --all-modules, kind by kind",
       kMembersTree,
       "--all-modules {dir}/P.vbp",
       {"Found Class [C.cls]", "Found UserControl [U.ctl]", "Found PropertyPage [G.pag]",
        "Found UserDocument [D.dob]", "Found Designer [E.Dsr]", "Found Designer [E.dca]",
        "Finish..."},
       0,
       {{"C.cls", ".FillColor.ColorIndex"},
        {"U.ctl", "VUVedaZir5"},
        {"G.pag", ".TextColor.ColorIndex"},
        {"D.dob", ".IMGSaveSize"},
        {"E.Dsr", "RUVivEvu5"},
        {"E.dca", ""},
        {"N.cls", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    for (const auto& [name, bytes] : c.files) dir.Write(name, bytes);
    std::string args = c.args;
    for (size_t p; (p = args.find("{dir}")) != std::string::npos;) {
      args.replace(p, 5, dir.path().string());
    }
    const CommandResult r = Cli(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(SplitLines(r.out), c.lines);
    for (const auto& [name, text] : c.holds) {
      const std::string now = dir.Read(name);
      if (text.empty()) {
        EXPECT_EQ(now, c.files.at(name)) << name;
      } else {
        EXPECT_NE(now.find(text), std::string::npos) << name << ":\n" << now;
      }
    }
  }
}

// The bundled examples of real projects migrate completely: no old GUID in a
// project file, nothing old in any member file.
TEST(CliRealProjects, ExamplesMigrateCompletely) {
  TempDir dir;
  for (const char* example : {"vb6group", "dotnet2005", "vb6intl", "dotnet2019"}) {
    kvtest::CopyTree(fs::path(KV_SOURCE_DIR) / "examples" / example, dir.path() / example);
  }
  const CommandResult vb6 = Cli("--all-modules " + Quote(dir / "vb6group/Group.vbg"));
  EXPECT_EQ(vb6.status, 0) << vb6.out;
  const CommandResult net = Cli("--web-root " + Quote(dir / "dotnet2005/wwwroot") + " " +
                                Quote(dir / "dotnet2005/Portal.sln"));
  EXPECT_EQ(net.status, 0) << net.out;
  const CommandResult intl = Cli(Quote(dir / "vb6intl/Palette.vbp"));
  EXPECT_EQ(intl.status, 0) << intl.out;
  const CommandResult sdk = Cli(Quote(dir / "dotnet2019/Canvas.sln"));
  EXPECT_EQ(sdk.status, 0) << sdk.out;
  EXPECT_NE(sdk.out.find("Parsing Project [CanvasView.cs]\n"), std::string::npos) << sdk.out;
  EXPECT_EQ(sdk.out.find("AssemblyInfo"), std::string::npos) << sdk.out;
  for (const std::string line :
       {"Found Class [clsBeta.cls]", "Found UserControl [..\\Shared\\ctlSwatch.ctl]"}) {
    EXPECT_NE(vb6.out.find(line + "\n"), std::string::npos) << line;
  }
  for (const std::string line : {"Find Project [WebPortal.csproj]", "Parsing Project [Palette.cs]",
                                 "Parsing Project [REDidIzoWrapper.cs]"}) {
    EXPECT_NE(net.out.find(line + "\n"), std::string::npos) << line;
  }
  EXPECT_NE(dir.Read("vb6group/Alpha/Alpha.vbp").find("Form=REDidIzoForms\\frmAlpha.frm\r\n"),
            std::string::npos);
  EXPECT_NE(dir.Read("dotnet2005/Reports/Reports.csproj").find("<VersionMajor>5</VersionMajor>"),
            std::string::npos);

  // Nothing old left: an old GUID in any file, an old name or member in a
  // member file (line by line, in any letter case).
  const std::regex guid("830C3FD1-54A5|E21B186C-2923|742E88D2-DC33");
  const std::regex old(
      "(REDidIzo|RUVivEvu|VUVedaZir)([^5]|$)|[.]WMFSaveSize|[.](Grip|OSnap|Pen|ActiveFill|Active|"
      "ActiveFillBk|FillBk|Fill|Text|ExtLine)Color([^.]|$)|[.]BkColorEx([^.]|$)",
      std::regex::icase);
  const std::regex member(".*[.](frm|bas|cls|ctl|cs|resx)");
  std::vector<std::string> left;
  for (const auto& [name, bytes] : dir.Snapshot()) {
    bool found = std::regex_search(bytes, guid);
    if (std::regex_match(name, member)) {
      for (const std::string& line : SplitLines(bytes))
        found = found || std::regex_search(line, old);
    }
    if (found) left.push_back(name);
  }
  EXPECT_EQ(left, std::vector<std::string>{});
}

}  // namespace

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// --sarif: one rule per reason and one result per leftover with its place;
// paths below the project's folder relative to PROJECTROOT, others absolute.
// A folder that cannot take the log is refused before the run; the log
// replaces a symlink at its name instead of writing through it.
TEST(CliSarif, LeftoversAsALog) {
  TempDir dir;
  dir.Write("p/P.vbp", "Form=F.frm\r\nModule=M; ..\\shared\\M.bas\r\n");
  dir.Write("p/F.frm", "Begin VB.Form F\r\nMe.FillColor = 1\r\n");
  dir.Write("p/Sub/N b.bas", "Dim a As RUVivEvu.Layer\r\n");
  dir.Write("shared/M.bas", "x.PenColor = 1\r\n");
  dir.Write("shared/O.bas", "y.TextColor = 2\r\n");
  const auto before = dir.Snapshot();
  const CommandResult refused =
      Cli("--sarif " + Quote(dir / "none/x.sarif") + " " + Quote(dir / "p/P.vbp"));
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("cannot be used"), std::string::npos) << refused.err;
  EXPECT_EQ(dir.Snapshot(), before);
  dir.Write("ro.sarif", "old");
  kvtest::MakeReadOnly(dir.path() / "ro.sarif");
  EXPECT_EQ(Cli("--sarif " + Quote(dir / "ro.sarif") + " " + Quote(dir / "p/P.vbp")).status, 2);
  EXPECT_EQ(dir.Read("ro.sarif"), "old");

  const std::string log = dir / "out.sarif";
#ifndef _WIN32
  dir.Write("keep.txt", "keep");
  fs::create_symlink(dir.path() / "keep.txt", log);
#endif
  const CommandResult r = Cli("--sarif " + Quote(log) + " " + Quote(dir / "p/P.vbp"));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string sarif = kvtest::ReadFile(log);
  EXPECT_FALSE(fs::is_symlink(log));
  EXPECT_NE(sarif.find("\"version\": \"2.1.0\""), std::string::npos);
  EXPECT_EQ(Count(sarif, "\"defaultConfiguration\""), 8u);
  EXPECT_EQ(Count(sarif, "\"ruleId\""), 3u) << sarif;
  for (const std::string& part : {
           std::string("\"ruleId\": \"own-member\", \"ruleIndex\": 4, \"level\": \"note\""),
           std::string("{\"uri\": \"Sub/N%20b.bas\", \"uriBaseId\": \"PROJECTROOT\"}, \"region\": "
                       "{\"startLine\": 1, \"startColumn\": 10, \"endColumn\": 18, "
                       "\"byteOffset\": 9, \"byteLength\": 8"),
       }) {
    EXPECT_NE(sarif.find(part), std::string::npos) << part << "\n" << sarif;
  }
#ifndef _WIN32
  EXPECT_EQ(dir.Read("keep.txt"), "keep");
  const std::string root = fs::canonical(dir.path()).string();
  EXPECT_NE(sarif.find("{\"PROJECTROOT\": {\"uri\": \"file://" + root + "/p/\"}}"),
            std::string::npos);
  EXPECT_NE(sarif.find("{\"uri\": \"file://" + root + "/shared/O.bas\"}"), std::string::npos);
#endif
}

}  // namespace
