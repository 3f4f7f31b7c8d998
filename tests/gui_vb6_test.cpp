// The kvMigrate window, driven through its controls on the offscreen platform.
#include <QCheckBox>
#include <QDir>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "cancel.h"
#include "gui_test_support.h"
#include "test_util.h"
#include "vb6/frmChangeVersio.h"
#include "vb6_engine.h"

namespace fs = std::filesystem;
using kv::vb6gui::frmChangeVersio;
using namespace kvtest;

namespace {

const QString kInitialText =
    "Type your Project's full name here or choose one using the find button...";
const QString kAfterRun = "Type your Project's full name here...";

// A copy of the VB6 example project in a temporary folder, with a group file
// that lists it.
struct ExampleCopy {
  TempDir dir;
  ExampleCopy() {
    CopyTree(fs::path(KV_SOURCE_DIR) / "examples/vb6", dir.path());
    dir.Write("Group.vbg", "VBGROUP 5.0\r\nStartupProject=Sample.vbp\r\n");
  }
  QString Path(const std::string& name = "Sample.vbp") const {
    return QString::fromStdString(dir / name);
  }
};

// The engine's own lines for the example, and the files that it leaves.
struct Reference {
  QStringList lines;
  std::map<std::string, std::string> files;
};
Reference MigrateDirectly() {
  ExampleCopy copy;
  kv::RealDisk disk;
  CollectingSink sink;
  kv::Vb6Migrator(disk).ConvertFile(copy.dir / "Sample.vbp", sink);
  return {ToQt(sink.lines), copy.dir.Snapshot()};
}

bool LastLineShown(QWidget& w) {
  QScrollBar* bar = Control<QListWidget>(w, "List1")->verticalScrollBar();
  return bar->value() == bar->maximum();
}

}  // namespace

class Vb6WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void StartState() {
    frmChangeVersio w;
    w.show();
    QCOMPARE(w.windowTitle(), QString("Korvane Visual Basic Migration wizard for version 5"));
    QCOMPARE(w.size(), QSize(571, 291));
    QCOMPARE(Control<QLabel>(w, "Label1_0")->text(), QString("Project : "));
    QCOMPARE(Control<QLineEdit>(w, "TxtProject")->text(), kInitialText);
    QCOMPARE(Control<QPushButton>(w, "cmdConvert")->text(), QString("Migrate"));
    QCOMPARE(Control<QPushButton>(w, "cmdExit")->text(), QString("Exit"));
    QVERIFY(Control<QPushButton>(w, "Command1")->text().isEmpty());
    QVERIFY(!Control<QPushButton>(w, "Command1")->icon().isNull());
    QVERIFY(Control(w, "cmdConvert")->isVisible());
    QCOMPARE(Control<QCheckBox>(w, "chkAllModules")->text(),
             QString("Also classes, user controls and designers"));
    QVERIFY(!Control<QCheckBox>(w, "chkAllModules")->isChecked());
    QVERIFY(ListLines(w).isEmpty());
    QCOMPARE(
        TabOrder(Control(w, "TxtProject")),
        QStringList({"TxtProject", "List1", "Command1", "chkAllModules", "cmdConvert", "cmdExit"}));
    QCOMPARE(w.focusWidget(), Control(w, "TxtProject"));

    // The list takes the room that the window gains; the buttons stay at its
    // right edge.
    QListWidget* list = Control<QListWidget>(w, "List1");
    const QSize listSize = list->size();
    w.resize(900, 500);
    QTRY_COMPARE(list->size(), listSize + QSize(900 - 571, 500 - 291));
    QCOMPARE(Control(w, "cmdExit")->geometry().right(), list->geometry().right());

    // Migrate right away takes the initial text as the path.
    QVERIFY(ClickAndWaitForRun(w));
    QCOMPARE(ListLines(w), QStringList({"Can't find the : " + kInitialText, "Finish..."}));
    QCOMPARE(Control<QLineEdit>(w, "TxtProject")->text(), kAfterRun);
    QVERIFY(!Control(w, "cmdConvert")->isVisible());
  }

  void TypedPathMigratesTheProject() {
    const Reference reference = MigrateDirectly();
    ExampleCopy copy;
    const auto original = copy.dir.Snapshot();
    const QString cwd = QDir::currentPath();
    frmChangeVersio w;
    w.show();
    TypeText(w, "TxtProject", copy.Path());
    QVERIFY(ClickAndWaitForRun(w));
    QCOMPARE(ListLines(w), reference.lines + QStringList{"Finish..."});
    QVERIFY(reference.lines.contains("Found Form [frmMain.frm]"));
    QCOMPARE(copy.dir.Snapshot(), reference.files);
    QVERIFY(reference.files != original);
    QVERIFY(LastLineShown(w));
    QCOMPARE(QDir::currentPath(), cwd);

    // After the run Migrate is hidden; typing a path does not bring it back,
    // only the find button does.
    QCOMPARE(Control<QLineEdit>(w, "TxtProject")->text(), kAfterRun);
    QVERIFY(!Control(w, "cmdConvert")->isVisible());
    TypeText(w, "TxtProject", copy.Path());
    QVERIFY(!Control(w, "cmdConvert")->isVisible());
    w.SetFileChooser(std::make_unique<ScriptedChooser>(copy.Path()));
    Click(w, "Command1");
    QVERIFY(Control(w, "cmdConvert")->isVisible());

    // The second run starts from an empty list (and has nothing to replace).
    QVERIFY(ClickAndWaitForRun(w));
    const QStringList second = ListLines(w);
    QCOMPARE(second.count("Finish..."), 1);
    QVERIFY(!second.contains("Replacing key in [Sample.vbp]"));
    QCOMPARE(copy.dir.Snapshot(), reference.files);
  }

  // The check box makes a run follow the further member kinds, a group file
  // included.
  void AllModulesCheckBox() {
    ExampleCopy copy;
    const std::string cls = copy.dir.Read("clsShape.cls");
    frmChangeVersio w;
    w.show();
    QTest::mouseClick(Control<QCheckBox>(w, "chkAllModules"), Qt::LeftButton);
    TypeText(w, "TxtProject", copy.Path("Group.vbg"));
    QVERIFY(ClickAndWaitForRun(w));
    const QStringList lines = ListLines(w);
    QCOMPARE(lines.first(), QString("Found Project [Sample.vbp]"));
    QVERIFY(lines.contains("Found Class [clsShape.cls]"));
    QVERIFY(copy.dir.Read("clsShape.cls") != cls);
    QVERIFY(Control<QCheckBox>(w, "chkAllModules")->isChecked());  // kept for the next run
  }

  void FindButton_data() {
    QTest::addColumn<QString>("typed");  // typed into the path box first
    QTest::addColumn<QString>("reply");  // the dialog's answer; empty = Cancel
    QTest::addColumn<bool>("visible");   // Migrate afterwards
    QTest::newRow("project") << ""
                             << "Sample.vbp" << true;
    QTest::newRow("other letter case") << ""
                                       << "SAMPLE.VBP" << true;
    QTest::newRow("group") << ""
                           << "Group.vbg" << true;
    QTest::newRow("missing file") << ""
                                  << "Gone.vbp" << false;
    QTest::newRow("a folder") << ""
                              << "Forms" << false;
    QTest::newRow("cancel") << "Gone.vbp"
                            << "" << true;  // no check, no change
  }

  void FindButton() {
    QFETCH(QString, typed);
    QFETCH(QString, reply);
    QFETCH(bool, visible);
    ExampleCopy copy;
    frmChangeVersio w;
    std::optional<QString> answer;
    if (!reply.isEmpty()) answer = copy.Path(reply.toStdString());
    auto chooser = std::make_unique<ScriptedChooser>(answer);
    ScriptedChooser* script = chooser.get();
    w.SetFileChooser(std::move(chooser));
    w.show();
    if (!typed.isEmpty()) TypeText(w, "TxtProject", copy.Path(typed.toStdString()));
    const QString before = Control<QLineEdit>(w, "TxtProject")->text();
    const QString cwd = QDir::currentPath();
    Click(w, "Command1");
    QCOMPARE(script->filters, QStringList{"Visual Basic Projects (*.vbp *.vbg)"});
    QCOMPARE(Control<QLineEdit>(w, "TxtProject")->text(), answer.value_or(before));
    QCOMPARE(Control(w, "cmdConvert")->isVisible(), visible);
    QCOMPARE(QDir::currentPath(), cwd);
  }

  void DroppedFile_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("taken");
    QTest::newRow("project") << "SAMPLE.VBP" << true;
    QTest::newRow("group") << "GROUP.VBG" << true;
    QTest::newRow("form") << "frmMain.frm" << false;
  }

  void DroppedFile() {
    QFETCH(QString, file);
    QFETCH(bool, taken);
    ExampleCopy copy;
    frmChangeVersio w;
    w.show();
    Control(w, "cmdConvert")->hide();
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(copy.Path(file.toStdString()))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &enter);
    QCOMPARE(enter.isAccepted(), taken);
    QDropEvent drop(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &drop);
    QCOMPARE(Control<QLineEdit>(w, "TxtProject")->text(),
             taken ? copy.Path(file.toStdString()) : kInitialText);
    QCOMPARE(Control(w, "cmdConvert")->isVisible(), taken);
  }

  // `kvMigrate PATH`: a relative path is shown in full, and the button follows
  // whether the file is there.
  void PathFromCommandLine() {
    ExampleCopy copy;
    const QString cwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QString::fromStdString(copy.dir.path().string())));
    frmChangeVersio w;
    w.show();
    const struct {
      QString given, shown;
      bool action;
    } steps[] = {
        {"Sample.vbp", copy.Path(), true},
        {"Missing.vbp", copy.Path("Missing.vbp"), false},
        {"", copy.Path("Missing.vbp"), false},  // nothing named: nothing changes
    };
    for (const auto& step : steps) {
      w.OpenPath(step.given);
      QCOMPARE(Control<QLineEdit>(w, "TxtProject")->text(), step.shown);
      QCOMPARE(Control(w, "cmdConvert")->isVisible(), step.action);
    }
    QDir::setCurrent(cwd);
  }

  // While a run is held at its second file the inputs are locked, the lines
  // so far are shown, and no second run can start.
  void ControlsLockedDuringRun() {
    ExampleCopy copy;
    GatedDisk disk(1);
    frmChangeVersio w(&disk);
    OpenGateOnExit gate{disk};
    w.show();
    TypeText(w, "TxtProject", copy.Path());
    QSignalSpy ended(&w, &frmChangeVersio::RunEnded);
    Click(w, "cmdConvert");
    QVERIFY(disk.WaitUntilHeld());
    const char* inputs[] = {"TxtProject", "Command1", "cmdConvert", "chkAllModules"};
    for (const char* name : inputs) QVERIFY2(!Control(w, name)->isEnabled(), name);
    QVERIFY(Control(w, "cmdConvert")->isVisible());
    QVERIFY(Control(w, "cmdExit")->isEnabled());
    QTRY_VERIFY(ListLines(w).contains("Found Form [frmMain.frm]"));
    w.cmdConvert_Click();
    QVERIFY(ListLines(w).contains("Found Form [frmMain.frm]"));  // not cleared
    disk.Open();
    QVERIFY(ended.wait(30000));
    QCOMPARE(ended.size(), 1);
    for (const char* name : inputs) QVERIFY2(Control(w, name)->isEnabled(), name);
  }

  // Exit, or closing the window, during a run stops the run at the next file
  // boundary and then closes: every file is as it was or fully migrated.
  void CloseDuringRun_data() {
    QTest::addColumn<bool>("exitButton");
    QTest::newRow("Exit") << true;
    QTest::newRow("window closed") << false;
  }

  void CloseDuringRun() {
    QFETCH(bool, exitButton);
    const Reference reference = MigrateDirectly();
    ExampleCopy copy;
    const auto original = copy.dir.Snapshot();
    GatedDisk disk(2);
    frmChangeVersio w(&disk);
    OpenGateOnExit gate{disk};
    w.show();
    TypeText(w, "TxtProject", copy.Path());
    Click(w, "cmdConvert");
    QVERIFY(disk.WaitUntilHeld());
    if (exitButton) {
      Click(w, "cmdExit");
    } else {
      w.close();
    }
    QVERIFY(w.isVisible());  // still finishing the file in hand
    disk.Open();
    QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 30000);
    QVERIFY(!ListLines(w).contains("Finish..."));
    const auto after = copy.dir.Snapshot();
    QCOMPARE(after.size(), original.size());  // no temporary file left
    for (const auto& [name, bytes] : after) {
      QVERIFY2(bytes == original.at(name) || bytes == reference.files.at(name), name.c_str());
    }
    QVERIFY(after.at("Sample.vbp") == original.at("Sample.vbp"));  // written last
  }

  // Exit while a large form's text is being migrated stops the run inside
  // that file: the form keeps its bytes and "Finish..." never comes. Exit is
  // pressed at the third look at the stop flag inside the form's work.
  void ExitInsideALargeFile() {
    TempDir dir;
    std::string form;
    while (form.size() < (size_t{8} << 20)) form += "x.PenColor = 1\r\n";
    dir.Write("P.vbp", "Form=Big.frm\r\n");
    dir.Write("Big.frm", form);
    frmChangeVersio* window = nullptr;
    size_t looks = 0;
    // Reads the real files; reading the form sets the look hook of the run's
    // thread.
    struct ExitAtThirdLook : kv::RealDisk {
      std::function<void()> hook;
      kv::IoError ReadAll(const std::string& path, std::string* contents) override {
        if (path.ends_with("Big.frm")) kv::SetCancelPollHook(hook);
        return kv::RealDisk::ReadAll(path, contents);
      }
    } disk;
    disk.hook = [&] {
      if (++looks != 3) return;
      QMetaObject::invokeMethod(Control<QPushButton>(*window, "cmdExit"), "click",
                                Qt::BlockingQueuedConnection);
    };
    frmChangeVersio w(&disk);
    window = &w;
    w.show();
    TypeText(w, "TxtProject", QString::fromStdString(dir / "P.vbp"));
    Click(w, "cmdConvert");
    QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 30000);
    QCOMPARE(looks, size_t{3});  // no further look: the form's work stopped there
    QCOMPARE(ListLines(w).last(), QString("Stopped: interrupted; no file was changed"));
    QVERIFY(!ListLines(w).contains("Finish..."));
    QVERIFY(dir.Read("Big.frm") == form);
  }

  // Exit during the commit: the commit completes (a project is never left
  // half written), then the window closes, every file migrated and nothing
  // of the run's own left beside them.
  void ExitDuringCommit() {
    const Reference reference = MigrateDirectly();
    ExampleCopy copy;
    std::atomic<bool> held{false}, go{false};
    frmChangeVersio w;
    // Never leaves the run held, whatever the test's outcome.
    struct Release {
      std::atomic<bool>& go;
      ~Release() { go = true; }
    } release{go};
    w.SetTransactionHook([&](kv::DiskOp op, const std::string&) {
      if (op == kv::DiskOp::Rename && !held.exchange(true)) {
        while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return 0;
    });
    w.show();
    TypeText(w, "TxtProject", copy.Path());
    Click(w, "cmdConvert");
    QTRY_VERIFY_WITH_TIMEOUT(held.load(), 30000);
    Click(w, "cmdExit");
    QVERIFY(w.isVisible());
    go = true;
    QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 30000);
    QCOMPARE(ListLines(w).last(), QString("Finish..."));
    QVERIFY(copy.dir.Snapshot() == reference.files);
  }

  // A failure that stops a run is the list's last line; the window stays
  // usable, keeps the path and shows no message box.
  void FailureIsTheLastLine_data() {
    QTest::addColumn<int>("op");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("prefix");
    QTest::newRow("unreadable form") << int(kv::DiskOp::Read) << "frmMain.frm"
                                     << "Stopped: could not read [";
    QTest::newRow("unwritable project") << int(kv::DiskOp::Rename) << "Sample.vbp"
                                        << "Stopped: could not write [";
  }

  void FailureIsTheLastLine() {
    QFETCH(int, op);
    QFETCH(QString, file);
    QFETCH(QString, prefix);
    ExampleCopy copy;
    kv::RealDisk disk([&](kv::DiskOp o, const std::string& path) {
      return int(o) == op && fs::path(path).filename() == file.toStdString() ? EACCES : 0;
    });
    frmChangeVersio w(&disk);
    w.show();
    TypeText(w, "TxtProject", copy.Path());
    QVERIFY(ClickAndWaitForRun(w));
    const QString last = ListLines(w).last();
    QVERIFY2(last.startsWith(prefix) && last.contains(file), qPrintable(last));
    QVERIFY(last.endsWith(QString::fromLatin1(std::strerror(EACCES)) + "; no file was changed"));
    QCOMPARE(Control<QLineEdit>(w, "TxtProject")->text(), copy.Path());
    QVERIFY(Control(w, "cmdConvert")->isVisible() && Control(w, "cmdConvert")->isEnabled());
    QVERIFY(w.isVisible() && !QApplication::activeModalWidget());
  }

  // After a run the report pane shows the summary and what was left over,
  // below a progress list that holds the run's lines only; Save report writes
  // it as text where the Save dialog says, and Cancel writes nothing.
  void ReportPaneAfterARun() {
    const Reference reference = MigrateDirectly();
    ExampleCopy copy;
    frmChangeVersio w;
    w.show();
    TypeText(w, "TxtProject", copy.Path());
    QVERIFY(ClickAndWaitForRun(w));
    QCOMPARE(ListLines(w), reference.lines + QStringList{"Finish..."});
    auto* report = Control<QPlainTextEdit>(w, "reportText");
    QVERIFY(report->isVisible());
    const QStringList lines = report->toPlainText().split('\n');
    QCOMPARE(
        lines.value(0),
        QString("Summary: 5 files migrated (5 changed, 0 unchanged), 0 missing, 0 not modified"));
    QVERIFY(lines.contains(
        "clsShape.cls:4:22: VUVedaZir (listed as a class or other kind not followed)"));

    const QString saved = QString::fromStdString(copy.dir / "report.txt");
    auto chooser = std::make_unique<ScriptedChooser>(std::nullopt);
    ScriptedChooser* scripted = chooser.get();
    w.SetFileChooser(std::move(chooser));
    Click(w, "cmdSaveReport");  // cancelled
    QCOMPARE(scripted->offered, copy.Path("kvmigrate-report.txt"));
    QVERIFY(!fs::exists(copy.dir / "report.txt"));
    scripted->saveReply = saved;
    Click(w, "cmdSaveReport");
    QCOMPARE(QString::fromStdString(copy.dir.Read("report.txt")), report->toPlainText() + "\n");
    QCOMPARE(Control<QLabel>(w, "reportStatus")->text(), "Saved to " + saved);
  }

  // 100,000 lines arrive in order, the list follows them, and the event loop
  // keeps turning while they come.
  void HundredThousandLines() {
    TempDir dir;
    constexpr int kModules = 50000;
    std::string project = "Type=Exe\r\n";
    for (int i = 0; i < kModules; ++i) project += "Module=m; m" + std::to_string(i) + ".bas\r\n";
    dir.Write("Big.vbp", project);
    frmChangeVersio w;
    w.show();
    TypeText(w, "TxtProject", QString::fromStdString(dir / "Big.vbp"));
    // How long the loop may stall is measured by bench/window_bench.cpp;
    // here it only has to keep turning.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    QVERIFY(ClickAndWaitForRun(w, 120000));
    ticker.stop();

    const QStringList lines = ListLines(w);
    QCOMPARE(lines.size(), 2 * kModules + 1);
    for (int i : {0, 1, kModules, 2 * kModules - 1}) {
      const QString name = QString("m%1.bas").arg(i / 2);
      QCOMPARE(lines[i], i % 2 ? "Can't find the : " + name : "Found Module [" + name + "]");
    }
    QCOMPARE(lines.last(), QString("Finish..."));
    QVERIFY(LastLineShown(w));
    QVERIFY2(ticks >= 10, qPrintable(QString("event loop turned %1 times").arg(ticks)));
  }
};

QTEST_MAIN(Vb6WindowTest)
#include "gui_vb6_test.moc"
