// What a run leaves behind: each reason of the leftover scan, found on a
// project tree after a real run, and the summary that tells it.
#include "report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "disk.h"
#include "test_util.h"
#include "vb6_engine.h"

namespace kv {
namespace {

using kvtest::TempDir;

TEST(LeftoverScan, EachReasonOnAProjectTree) {
  TempDir dir;
  dir.Write("P.vbp",
            "Reference=*\\G{830C3FD1-54A5-4249-97B6-097AC6407367}#1.0#0#REDidIzo.dll#Lib\r\n"
            "Form=A.frm\r\nForm=VUVedaZir\\D.frm\r\nClass=C; C.cls\r\nModule=B; Bad.bas\r\n");
  dir.Write("VUVedaZir/D.frm", "Sub X()\r\nEnd Sub\r\n");
  dir.Write("A.frm",
            "Begin VB.Form A\r\n"
            "Object = \"{742e88d2-dc33-4929-b200-74b7b42ca37e}#1.0#0\"; \"x.ocx\"\r\n"
            "Sub S()\r\n  Me.FillColor = 1\r\nEnd Sub\r\n"
            "' {830C3FD1-54A5-4249-97B6-097AC6407367} in a comment\r\n");
  dir.Write("A.frx", std::string("\0\x01RUVivEvu\0", 11));
  dir.Write("C.cls", "Sub D(c)\r\n  c.PenColor = 1\r\nEnd Sub\r\n");
  dir.Write("Bad.bas", "Sub E()\r\nEnd Sub\r\n");
  dir.Write("sub/Loose.bas", "\nDim d As VUVedaZir.Canvas ' VUVedaZir5 is fine\n");
  dir.Write("notes.txt", "REDidIzo");  // not a kind that is searched

  // The run reads Bad.bas; afterwards it cannot be read any more.
  bool runDone = false;
  RealDisk disk([&](DiskOp op, const std::string& path) {
    return runDone && op == DiskOp::Open && path.ends_with("Bad.bas") ? EACCES : 0;
  });
  RunRecord record(dir / "P.vbp");
  Vb6Migrator(disk).ConvertFile(dir / "P.vbp", record);
  runDone = true;
  record.Scan(disk, Vb6Migrator(disk).LeftoverHooks());

  using Row = std::tuple<std::string, size_t, size_t, std::string, LeftoverReason>;
  std::vector<Row> found;
  for (const Leftover& l : record.leftovers()) {
    std::string rel = l.path.substr(dir.path().string().size() + 1);
    std::replace(rel.begin(), rel.end(), '\\', '/');  // as on every system
    found.emplace_back(rel, l.line, l.column, l.text, l.reason);
  }
  const std::vector<Row> expected = {
      {"A.frm", 2, 12, "742e88d2-dc33-4929-b200-74b7b42ca37e", LeftoverReason::LowerCaseGuid},
      {"A.frm", 4, 5, ".FillColor", LeftoverReason::OwnMember},
      {"A.frm", 6, 4, "830C3FD1-54A5-4249-97B6-097AC6407367", LeftoverReason::Other},
      {"A.frx", 1, 3, "RUVivEvu", LeftoverReason::Binary},
      {"Bad.bas", 0, 0, "", LeftoverReason::Unreadable},
      {"C.cls", 2, 4, ".PenColor", LeftoverReason::NotFollowed},
      {"P.vbp", 3, 6, "VUVedaZir", LeftoverReason::EntryPath},
      {"sub/Loose.bas", 2, 10, "VUVedaZir", LeftoverReason::NotListed},
  };
  EXPECT_EQ(found, expected);
  // VB's own member and the folder named in an entry are right as they are.
  EXPECT_EQ(record.BlockingLeftovers(), expected.size() - 2);

  const std::string report = FormatReport(record, 2);
  EXPECT_EQ(report.substr(0, report.find('\n') + 1),
            "Summary: 4 files migrated (1 changed, 3 unchanged), 0 missing, 0 not modified\n");
  EXPECT_NE(report.find("Left over: 8 (6 to look at)\n"), std::string::npos) << report;
  EXPECT_NE(report.find("  1 not listed by the project\n"), std::string::npos);
  EXPECT_NE(report.find("A.frm:4:5: .FillColor (member of VB's own object"), std::string::npos);
  EXPECT_EQ(report.find("A.frx:"), std::string::npos);
  EXPECT_TRUE(report.ends_with("... and 6 more\n")) << report;
}

// Names reach the JSON record whatever their bytes: UTF-8 as it is, other
// bytes one character each, control bytes and quotes escaped.
TEST(RunRecordJson, NamesOfAnyBytes) {
  RunRecord record("P.vbp");
  record.Report(ProgressEvent{.kind = EventKind::FileMissing, .name = "a\xE9\n\"b"});
  record.Report(ProgressEvent{.kind = EventKind::FileMissing, .name = "caf\xC3\xA9\\"});
  const std::string json = RunRecordJson(record, AllRuleRows());
  EXPECT_NE(
      json.find(R"("name": "a\u00e9\u000a\"b", "path": null, "kind": "", "status": "missing")"),
      std::string::npos)
      << json;
  EXPECT_NE(json.find("\"name\": \"caf\xC3\xA9\\\\\""), std::string::npos) << json;
  EXPECT_NE(json.find(R"("missing": 2,)"), std::string::npos);
}

}  // namespace
}  // namespace kv
