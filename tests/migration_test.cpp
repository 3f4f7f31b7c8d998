// RunMigration, as every front end runs a project: a real run, a dry run, a
// run without the scan and a stopped one, over the same small project.
#include "migration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "vb6_engine.h"

namespace kv {
namespace {

TEST(RunMigration, EndsScansAndWritesAsAsked) {
  const std::string project =
      "Reference=*\\G{830C3FD1-54A5-4249-97B6-097AC6407367}#1.0#0#REDidIzo.dll#Lib\r\n"
      "Form=A.frm\r\n";
  struct Case {
    const char* name;
    bool dryRun, scan, stop;
    bool written, scanned;
    std::string last;
  };
  const Case cases[] = {
      {"real", false, true, false, true, true, "Finish..."},
      {"dry run", true, true, false, false, true, "Finish..."},
      {"no scan", false, false, false, true, false, "Finish..."},
      {"stopped", false, true, true, false, false, "Stopped: interrupted"},
  };
  for (const Case& c : cases) {
    kvtest::TempDir dir;
    dir.Write("P.vbp", project);
    dir.Write("A.frm", "Sub S()\r\nEnd Sub\r\n");
    MigrationRequest request{.path = dir / "P.vbp", .kind = &kVb6Migration};
    request.dryRun = c.dryRun;
    request.scan = c.scan;
    std::vector<std::string> observed;
    request.onWrite = [&](const std::string& path, std::string_view before, std::string_view) {
      if (before == project) observed.push_back(path);
    };
    const CancelFlag cancel{c.stop};
    kvtest::CollectingSink sink;
    RunRecord record(request.path);
    RunMigration(request, sink, &cancel, &record);
    EXPECT_EQ(dir.Read("P.vbp") != project, c.written) << c.name;
    EXPECT_EQ(record.scanned(), c.scanned) << c.name;
    EXPECT_EQ(record.preview(), c.dryRun) << c.name;
    EXPECT_EQ(observed.size(), c.stop ? 0u : 1u) << c.name;
    ASSERT_FALSE(sink.lines.empty()) << c.name;
    EXPECT_EQ(sink.lines.back().substr(0, c.last.size()), c.last) << c.name;
  }
}

}  // namespace
}  // namespace kv
