// The kvMigrateDotNet window, driven through its controls on the offscreen
// platform. What it shares with the VB6 window (the Open dialog, closing
// during a run, failures, long runs) is covered by that window's tests.
#include <QPlainTextEdit>
#include <filesystem>

#include "dotnet/frmChangeVersio.h"
#include "dotnet_engine.h"
#include "gui_test_support.h"
#include "test_util.h"

namespace fs = std::filesystem;
using kv::dotnetgui::frmChangeVersio;
using namespace kvtest;

namespace {

const QString kInitialText = "Select your solution first...";
const QString kAfterRun = "Type your Project's full name here...";

// A copy of the .NET example solution in a temporary folder.
struct ExampleCopy {
  TempDir dir;
  ExampleCopy() { CopyTree(fs::path(KV_SOURCE_DIR) / "examples/dotnet", dir.path()); }
  QString Solution() const { return QString::fromStdString(dir / "Sample.sln"); }
};

// The engine's own lines for the example with a target version, and the
// files that it leaves.
struct Reference {
  QStringList lines;
  std::map<std::string, std::string> files;
};
Reference MigrateDirectly(const QString& major, const QString& minor) {
  ExampleCopy copy;
  kv::RealDisk disk;
  kv::DotNetMigrator migrator(disk);
  migrator.NewVersionMajor = major.toStdString();
  migrator.NewVersionMinor = minor.toStdString();
  CollectingSink sink;
  migrator.ConvertFile(copy.dir / "Sample.sln", sink);
  return {ToQt(sink.lines), copy.dir.Snapshot()};
}

}  // namespace

class DotNetWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void StartState() {
    frmChangeVersio w;
    w.show();
    QCOMPARE(w.windowTitle(), QString("Korvane DotNet Migration wizard for version 5"));
    QCOMPARE(w.size(), QSize(737, 375));
    const std::pair<const char*, QString> texts[] = {
        {"Label1_0", "Project : "},
        {"Label1_2", "Major Version"},
        {"Label2", "Minor Version"},
        {"Label3", "Only for C# and VB.net solutions"},
        {"TxtProject", kInitialText},
        {"Text1", "5"},
        {"Text2", "0"},
        {"cmdConvert", "Change Controls"},
        {"cmdExit", "Exit"},
        {"Command1", ""},
    };
    for (const auto& [name, text] : texts) {
      QCOMPARE(Control(w, name)->property("text").toString(), text);
    }
    QCOMPARE(w.NewVersionMajor, QString("5"));
    QCOMPARE(w.NewVersionMinor, QString("0"));
    QVERIFY(Control(w, "cmdConvert")->isVisible());
    QVERIFY(Control(w, "Label3")->font().bold());
    QVERIFY(!Control(w, "Label2")->font().bold());
    QCOMPARE(Control(w, "Label3")->font().family(), w.font().family());
    QCOMPARE(TabOrder(Control(w, "TxtProject")),
             QStringList(
                 {"TxtProject", "List1", "Command1", "cmdConvert", "cmdExit", "Text1", "Text2"}));
  }

  // Convert at start, then at once again: each run reports the path box's
  // text as missing, and Convert stays visible.
  void ConvertAtStartAndAgain() {
    frmChangeVersio w;
    w.show();
    QVERIFY(ClickAndWaitForRun(w));
    QCOMPARE(ListLines(w), QStringList({"Can't find the : " + kInitialText, "Finish..."}));
    QCOMPARE(Control<QLineEdit>(w, "TxtProject")->text(), kAfterRun);
    QVERIFY(Control(w, "cmdConvert")->isVisible());
    QVERIFY(ClickAndWaitForRun(w));
    QCOMPARE(ListLines(w), QStringList({"Can't find the : " + kAfterRun, "Finish..."}));
  }

  // The target version reaches the files exactly as typed, empty included.
  void TypedPathAndVersions_data() {
    QTest::addColumn<QString>("major");
    QTest::addColumn<QString>("minor");
    QTest::newRow("defaults") << "5"
                              << "0";
    QTest::newRow("10 and empty") << "10"
                                  << "";
  }

  void TypedPathAndVersions() {
    QFETCH(QString, major);
    QFETCH(QString, minor);
    const Reference reference = MigrateDirectly(major, minor);
    ExampleCopy copy;
    frmChangeVersio w;
    w.show();
    TypeText(w, "Text1", major);
    TypeText(w, "Text2", minor);
    QCOMPARE(w.NewVersionMajor, major);
    QCOMPARE(w.NewVersionMinor, minor);
    TypeText(w, "TxtProject", copy.Solution());
    QVERIFY(ClickAndWaitForRun(w));
    QCOMPARE(ListLines(w), reference.lines + QStringList{"Finish..."});
    QCOMPARE(ListLines(w).first(), QString("Parsing Solution [Sample.sln]"));
    // The report pane tells what the run left: the configuration file that
    // no project lists.
    QCOMPARE(Control<QPlainTextEdit>(w, "reportText")->toPlainText().split('\n').last(),
             QString("Tools/App.config:4:38: REDidIzo (not listed by the project)"));
    const auto after = copy.dir.Snapshot();
    QCOMPARE(after, reference.files);
    const std::string& project = after.at("Viewer/Viewer.csproj");
    QVERIFY(project.find("VersionMajor = \"" + major.toStdString() + "\"") != std::string::npos);
    QVERIFY(project.find("VersionMinor = \"" + minor.toStdString() + "\"") != std::string::npos);
    QCOMPARE(Control<QLineEdit>(w, "TxtProject")->text(), kAfterRun);
    QVERIFY(Control(w, "cmdConvert")->isVisible());
  }

  // A version text that would break a project file (pasted: a newline
  // cannot be typed) starts no run: the list says why, the box has the focus.
  void HostileVersionTextsStartNoRun_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name");
    QTest::newRow("quote") << "Text1"
                           << "5\" Evil=\"1"
                           << "major";
    QTest::newRow("newline") << "Text2"
                             << "0\nEvil"
                             << "minor";
    QTest::newRow("element") << "Text1"
                             << "</VersionMajor><Evil/>"
                             << "major";
  }

  void HostileVersionTextsStartNoRun() {
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(QString, name);
    ExampleCopy copy;
    const auto before = copy.dir.Snapshot();
    frmChangeVersio w;
    w.show();
    TypeText(w, "TxtProject", copy.Solution());
    Control<QLineEdit>(w, box.toLatin1().constData())->setText(text);
    QSignalSpy ended(&w, &frmChangeVersio::RunEnded);
    Click(w, "cmdConvert");
    QVERIFY(!w.IsRunning());
    QCOMPARE(ListLines(w), QStringList{"Refused: the " + name +
                                       " version may not hold a quote, <, >, & or a control "
                                       "character; no file was changed"});
    QVERIFY(!ended.wait(200));
    QCOMPARE(copy.dir.Snapshot(), before);
    QCOMPARE(QApplication::focusWidget(), Control(w, box.toLatin1().constData()));
    QCOMPARE(Control<QLineEdit>(w, "TxtProject")->text(), copy.Solution());  // kept for a retry
  }

  // A solution chosen in the Open dialog; during its run every input is
  // locked, and the run keeps the version texts that the boxes held when it
  // started.
  void LockedDuringRunWithVersionsOfItsStart() {
    const Reference reference = MigrateDirectly("7", "3");
    ExampleCopy copy;
    GatedDisk disk(1);
    frmChangeVersio w(&disk);
    OpenGateOnExit gate{disk};
    w.show();
    TypeText(w, "Text1", "7");
    TypeText(w, "Text2", "3");
    auto chooser = std::make_unique<ScriptedChooser>(copy.Solution());
    ScriptedChooser* script = chooser.get();
    w.SetFileChooser(std::move(chooser));
    Click(w, "Command1");
    QCOMPARE(script->filters, QStringList{"Visual Studio Solutions (*.sln)"});
    QSignalSpy ended(&w, &frmChangeVersio::RunEnded);
    Click(w, "cmdConvert");
    QVERIFY(disk.WaitUntilHeld());
    const char* inputs[] = {"TxtProject", "Command1", "cmdConvert", "Text1", "Text2"};
    for (const char* name : inputs) QVERIFY2(!Control(w, name)->isEnabled(), name);
    QVERIFY(Control(w, "cmdExit")->isEnabled());
    Control<QLineEdit>(w, "Text1")->setText("9");
    QCOMPARE(w.NewVersionMajor, QString("9"));
    disk.Open();
    QVERIFY(ended.wait(30000));
    QCOMPARE(copy.dir.Snapshot(), reference.files);
    for (const char* name : inputs) QVERIFY2(Control(w, name)->isEnabled(), name);
  }
};

QTEST_MAIN(DotNetWindowTest)
#include "gui_dotnet_test.moc"
