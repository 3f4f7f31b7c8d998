// The run thread behind both windows: order and batching of lines, the end
// of a run, and the decoding of engine lines. Cancelling is covered through
// the windows.
#include <QTest>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "run_controller.h"

using kv::CancelFlag;
using kv::EventKind;
using kv::ProgressEvent;
using kv::Reporter;
using kv::RunOutcome;
using kv::gui::RunController;

namespace {

// Everything that a controller hands on, in the order that it arrived.
struct Recorder {
  QStringList lines;
  int batches = 0;
  int linesAtFinish = -1;
  RunOutcome outcome;
  explicit Recorder(RunController& c) {
    QObject::connect(&c, &RunController::LinesReady, [this](const QStringList& batch) {
      lines += batch;
      ++batches;
    });
    QObject::connect(&c, &RunController::Finished, [this](const RunOutcome& o) {
      linesAtFinish = int(lines.size());
      outcome = o;
    });
  }
  bool finished() const { return linesAtFinish >= 0; }
};

RunOutcome WaitForCancel(const CancelFlag& cancel) {
  while (!cancel.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return RunOutcome{RunOutcome::Status::Cancelled, {}};
}

}  // namespace

class RunControllerTest : public QObject {
  Q_OBJECT

 private slots:
  // A flood of lines comes through whole and in order, in few batches, all
  // before the end of the run is announced; one run at a time.
  void LinesInOrderAndBatched() {
    RunController c;
    Recorder r(c);
    constexpr int kLines = 100000;
    QVERIFY(c.Start([](Reporter& reporter, const CancelFlag&) {
      for (int i = 0; i < kLines; ++i) {
        reporter.Report(ProgressEvent{.kind = EventKind::FormFound, .name = std::to_string(i)});
      }
      return RunOutcome{};
    }));
    QVERIFY(!c.Start([](Reporter&, const CancelFlag&) { return RunOutcome{}; }));
    QTRY_VERIFY_WITH_TIMEOUT(r.finished(), 60000);
    QVERIFY(!c.IsRunning());
    QCOMPARE(r.linesAtFinish, kLines);
    for (int i = 0; i < kLines; ++i) {
      if (r.lines[i] != QString("Found Form [%1]").arg(i)) QFAIL(qPrintable(r.lines[i]));
    }
    QVERIFY2(r.batches < kLines / 10, qPrintable(QString::number(r.batches)));
    QCOMPARE(r.outcome.status, RunOutcome::Status::Completed);
  }

  // Whatever the engine throws ends the run as a failure whose line is last.
  void ExceptionBecomesFailureLine() {
    RunController c;
    Recorder r(c);
    c.Start([](Reporter& reporter, const CancelFlag&) -> RunOutcome {
      reporter.Report(ProgressEvent{.kind = EventKind::FormFound, .name = "before"});
      throw std::runtime_error("out of luck");
    });
    QTRY_VERIFY(r.finished());
    QCOMPARE(r.outcome.status, RunOutcome::Status::Failed);
    QCOMPARE(r.lines,
             QStringList({"Found Form [before]", "Stopped: out of luck; no file was changed"}));
  }

  // Going away during a run stops the run and waits for it.
  void DestroyedWhileRunning() {
    std::atomic<bool> stopped{false};
    {
      RunController c;
      c.Start([&](Reporter&, const CancelFlag& cancel) {
        RunOutcome outcome = WaitForCancel(cancel);
        stopped.store(true);
        return outcome;
      });
    }
    QVERIFY(stopped.load());
  }

  void LineText_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("ascii") << QByteArray("Found Form [a.frm]") << "Found Form [a.frm]";
    QTest::newRow("utf-8 path") << QByteArray("/home/j\xc3\xa9r\xc3\xb4me/a.vbp")
                                << QString::fromUtf8("/home/jérôme/a.vbp");
    QTest::newRow("code page 1252 name") << QByteArray("Found Form [Fen\xeatre.frm]")
                                         << QString::fromUtf8("Found Form [Fenêtre.frm]");
  }

  void LineText() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(kv::gui::LineText(bytes.toStdString()), text);
  }
};

QTEST_MAIN(RunControllerTest)
#include "gui_runner_test.moc"
