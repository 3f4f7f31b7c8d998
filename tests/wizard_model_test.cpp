// The window model of both migration windows, with a recording front end and
// run starter, and the window run over the VB6 example.
#include "wizard_model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>

#include "migration.h"
#include "test_util.h"
#include "wizard_run.h"

namespace fs = std::filesystem;
using namespace kv::gui;

namespace {

struct Front : RunStarter, WizardView {
  std::vector<RunSettings> started;
  int stops = 0;
  int clears = 0;
  int closes = 0;
  std::vector<std::string> shown;
  void StartRun(const RunSettings& s) override { started.push_back(s); }
  void StopRun() override { ++stops; }
  void ClearList() override {
    ++clears;
    shown.clear();
  }
  void AppendLines(const std::vector<std::string>& l) override {
    shown.insert(shown.end(), l.begin(), l.end());
  }
  void Refresh() override {}
  void Close() override { ++closes; }
  std::vector<Control> focused;
  void FocusBox(Control c) override { focused.push_back(c); }
};

struct Fixture {
  Front front;
  std::set<std::string> files{"C:\\p\\A.vbp", "C:\\p\\S.sln"};
  WizardModel model;
  explicit Fixture(WizardKind kind)
      : model(kind, front, front, [this](const std::string& p) { return files.count(p) > 0; }) {}
};

const kv::RunOutcome kCompleted{};
const kv::RunOutcome kFailed{kv::RunOutcome::Status::Failed, "Stopped: x", {}};
const kv::RunOutcome kCancelled{kv::RunOutcome::Status::Cancelled, {}, {}};

constexpr Control kLockedDuringRun[] = {Control::Path, Control::Browse, Control::Action,
                                        Control::SaveReport};

class WizardModelTest : public ::testing::TestWithParam<WizardKind> {};

TEST_P(WizardModelTest, StartBrowseDropAndCommandLine) {
  Fixture f(GetParam());
  const WizardTexts& t = f.model.texts();
  const std::string project = GetParam() == WizardKind::Vb6 ? "C:\\p\\A.vbp" : "C:\\p\\S.sln";
  EXPECT_EQ(f.model.path(), t.initialPath);
  EXPECT_TRUE(f.model.actionVisible());
  EXPECT_FALSE(f.model.report());
  EXPECT_FALSE(f.model.Enabled(Control::SaveReport));
  EXPECT_EQ(f.model.Enabled(Control::Major), t.hasVersions);
  EXPECT_EQ(f.model.Enabled(Control::AllModules), !t.allModulesText.empty());
  EXPECT_EQ(f.model.BrowseFolder(), "");

  // Cancelling the Open dialog changes nothing; a chosen file that is gone
  // hides the action button, an existing one shows it.
  f.model.BrowseChosen(std::nullopt);
  EXPECT_EQ(f.model.path(), t.initialPath);
  f.model.BrowseChosen("C:\\p\\gone" + t.suffixes.front());
  EXPECT_FALSE(f.model.actionVisible());
  f.model.BrowseChosen(project);
  EXPECT_EQ(f.model.path(), project);
  EXPECT_TRUE(f.model.actionVisible());
  EXPECT_EQ(f.model.BrowseFolder(), "C:\\p\\");

  // Typing changes only the text.
  f.model.PathEdited("typed");
  EXPECT_EQ(f.model.path(), "typed");
  EXPECT_TRUE(f.model.actionVisible());

  // Drops: one file of a suffix the window takes, in any letter case.
  std::string upper = project;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(f.model.Drop({project, project}));
  EXPECT_FALSE(f.model.Drop({"C:\\p\\A.txt"}));
  EXPECT_FALSE(f.model.Drop({}));
  EXPECT_EQ(f.model.path(), "typed");
  EXPECT_TRUE(f.model.Drop({upper}));
  EXPECT_EQ(f.model.path(), upper);
  EXPECT_FALSE(f.model.actionVisible());  // no such file (the test's files match case)

  // The command line: as a chosen file; an empty path changes nothing.
  f.model.OpenPath("");
  EXPECT_EQ(f.model.path(), upper);
  f.model.OpenPath(project);
  EXPECT_EQ(f.model.path(), project);
  EXPECT_TRUE(f.model.actionVisible());
  EXPECT_TRUE(f.front.started.empty());
}

TEST_P(WizardModelTest, RunLocksTakesItsTextsAndEnds) {
  for (const kv::RunOutcome& outcome : {kCompleted, kFailed, kCancelled}) {
    Fixture f(GetParam());
    const WizardTexts& t = f.model.texts();
    f.model.OpenPath("C:\\p\\A.vbp");
    f.model.MajorEdited("10");
    f.model.MinorEdited("");
    f.model.AllModulesToggled(true);
    f.model.AddLines({"old"});
    f.model.Action();
    ASSERT_EQ(f.front.started.size(), 1u);
    const RunSettings& s = f.front.started.front();
    EXPECT_EQ(s.path, "C:\\p\\A.vbp");
    EXPECT_EQ(s.major, "10");
    EXPECT_EQ(s.minor, "");
    EXPECT_EQ(s.allModules, !t.allModulesText.empty());
    EXPECT_EQ(f.front.clears, 1);
    EXPECT_TRUE(f.model.lines().empty());
    EXPECT_TRUE(f.model.running());
    for (Control c : kLockedDuringRun) EXPECT_FALSE(f.model.Enabled(c));
    EXPECT_FALSE(f.model.Enabled(Control::Major));
    EXPECT_FALSE(f.model.Enabled(Control::AllModules));
    EXPECT_TRUE(f.model.Enabled(Control::Exit));
    EXPECT_TRUE(f.model.Enabled(Control::List));

    // No second run, no other project while one goes on.
    f.model.Action();
    f.model.BrowseChosen("C:\\p\\S.sln");
    f.model.OpenPath("C:\\p\\S.sln");
    EXPECT_FALSE(f.model.AcceptsDrop({"C:\\p\\" + std::string("B") + t.suffixes.front()}));
    EXPECT_EQ(f.front.started.size(), 1u);
    EXPECT_EQ(f.model.path(), "C:\\p\\A.vbp");

    f.model.AddLines({"a", "b"});
    f.model.AddLines({});
    f.model.AddLines({"Finish..."});
    EXPECT_EQ(f.model.lines(), (std::vector<std::string>{"a", "b", "Finish..."}));
    EXPECT_EQ(f.front.shown, f.model.lines());

    const bool completed = outcome.status == kv::RunOutcome::Status::Completed;
    f.model.RunEnded(outcome, completed ? std::optional<std::string>("report") : std::nullopt);
    EXPECT_FALSE(f.model.running());
    for (Control c : kLockedDuringRun)
      EXPECT_EQ(f.model.Enabled(c), c != Control::SaveReport || completed);
    // A completed run resets the path box; kvMigrate then hides Migrate until
    // the next file is chosen. A failed or stopped run keeps the path.
    EXPECT_EQ(f.model.path(), completed ? kAfterRunText : "C:\\p\\A.vbp");
    EXPECT_EQ(f.model.actionVisible(), !(completed && t.hidesActionAfterRun));
    EXPECT_EQ(f.model.report().has_value(), completed);
    EXPECT_EQ(f.front.closes, 0);
    // A late second end changes nothing.
    f.model.RunEnded(kCompleted, std::string("other"));
    EXPECT_EQ(f.model.report().has_value(), completed);
  }
}

TEST_P(WizardModelTest, ExitStopsARunAndClosesOnceItStopped) {
  Fixture f(GetParam());
  f.model.Exit();
  EXPECT_EQ(f.front.closes, 1);

  Fixture g(GetParam());
  g.model.Action();
  g.model.Exit();
  g.model.Exit();
  EXPECT_EQ(g.front.stops, 1);
  EXPECT_EQ(g.front.closes, 0);
  EXPECT_TRUE(g.model.closing());
  g.model.Action();
  EXPECT_EQ(g.front.started.size(), 1u);
  g.model.RunEnded(kCancelled, std::string("report"));
  EXPECT_EQ(g.front.closes, 1);
  EXPECT_FALSE(g.model.report());
}

TEST_P(WizardModelTest, ReportSaveOffersTheProjectFolder) {
  Fixture f(GetParam());
  f.model.Action();  // the initial text: no such file
  f.model.RunEnded(kCompleted, std::string("r"));
  EXPECT_EQ(f.model.ReportFileName(), "kvmigrate-report.txt");
  f.model.OpenPath("C:\\p\\S.sln");
  f.model.Action();
  f.model.RunEnded(kCompleted, std::string("r"));
  EXPECT_EQ(f.model.ReportFileName(), "C:\\p\\kvmigrate-report.txt");
  f.model.ReportSaved("C:\\r.txt", "");
  EXPECT_EQ(f.model.reportStatus(), "Saved to C:\\r.txt");
  f.model.ReportSaved("C:\\r.txt", "Access is denied");
  EXPECT_EQ(f.model.reportStatus(), "Could not save C:\\r.txt: Access is denied");
  f.model.Action();
  EXPECT_EQ(f.model.reportStatus(), "");
}

// A version text that would end the value it is written into starts no run:
// the list says why, that box gets the focus, the path stays for a retry.
TEST(WizardModel, HostileVersionTextStartsNoRun) {
  const struct {
    std::string major, minor;
    Control box;
    const char* name;
  } cases[] = {{"5\" Evil=\"1", "0", Control::Major, "major"},
               {"5", "0\nEvil", Control::Minor, "minor"},
               {"</VersionMajor>", "&", Control::Major, "major"}};
  for (const auto& c : cases) {
    Fixture f(WizardKind::DotNet);
    f.model.OpenPath("C:\\p\\S.sln");
    f.model.AddLines({"old"});
    f.model.MajorEdited(c.major);
    f.model.MinorEdited(c.minor);
    f.model.Action();
    EXPECT_TRUE(f.front.started.empty());
    EXPECT_FALSE(f.model.running());
    EXPECT_EQ(f.front.shown, std::vector<std::string>{
                                 "Refused: the " + std::string(c.name) + " version " +
                                 std::string(kv::kVersionTextRule) + "; no file was changed"});
    EXPECT_EQ(f.front.focused, std::vector<Control>{c.box});
    EXPECT_EQ(f.model.path(), "C:\\p\\S.sln");
  }
  // kvMigrate has no version boxes: its texts are never looked at.
  Fixture v(WizardKind::Vb6);
  v.model.MajorEdited("\"");
  v.model.Action();
  EXPECT_EQ(v.front.started.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(BothWindows, WizardModelTest,
                         ::testing::Values(WizardKind::Vb6, WizardKind::DotNet));

TEST(WizardTexts, FiltersAndCaptions) {
  EXPECT_EQ(FilterText(TextsOf(WizardKind::Vb6)), "Visual Basic Projects (*.vbp *.vbg)");
  EXPECT_EQ(FilterText(TextsOf(WizardKind::DotNet)), "Visual Studio Solutions (*.sln)");
  EXPECT_EQ(TextsOf(WizardKind::DotNet).caption, "Korvane DotNet Migration wizard for version 5");
}

// A failure that escapes the engine ends a window's run with a line that says
// why, in the list and in the record, and no file changes.
struct ThrowingMigrator : kv::Migrator {
  kv::RunOutcome ConvertFile(const std::string&, kv::Reporter&, const kv::CancelFlag*) override {
    throw std::runtime_error("out of luck");
  }
  kv::ScanHooks LeftoverHooks() const override { return {}; }
};
const kv::MigrationKind kThrowing{
    [](std::string_view) { return true; },
    [](kv::Disk&, const kv::MigrationRequest&) -> std::unique_ptr<kv::Migrator> {
      return std::make_unique<ThrowingMigrator>();
    }};

TEST(WizardRun, AFailureThatEscapesIsTheLastLine) {
  kvtest::TempDir dir;
  kvtest::CopyTree(fs::path(KV_SOURCE_DIR) / "examples/vb6", dir.path());
  const auto before = dir.Snapshot();
  kv::MigrationRequest request;
  request.path = dir / "Sample.vbp";
  request.kind = &kThrowing;
  kvtest::CollectingSink sink;
  kv::CancelFlag cancel{false};
  kv::RunRecord record(request.path);
  EXPECT_EQ(RunWindowMigration(request, sink, cancel, record).status,
            kv::RunOutcome::Status::Failed);
  EXPECT_EQ(sink.lines, std::vector<std::string>{"Stopped: out of luck; no file was changed"});
  EXPECT_EQ(record.status(), "failed");
  EXPECT_FALSE(record.scanned());
  EXPECT_EQ(dir.Snapshot(), before);
}

}  // namespace
