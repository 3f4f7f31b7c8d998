#include "run_controller.h"

#include <QFile>
#include <QMetaMethod>
#include <QStringDecoder>
#include <exception>
#include <utility>

namespace kv::gui {

QString LineText(const std::string& line) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
}

std::string PathBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

class RunController::QueueReporter : public LineReporter {
 public:
  explicit QueueReporter(RunController& owner) : owner_(owner) {}
  void Line(const std::string& line) override { owner_.Post(line); }

 private:
  RunController& owner_;
};

RunController::RunController(QObject* parent) : QObject(parent) {
  batchTimer_.setSingleShot(true);
  batchTimer_.setInterval(kBatchIntervalMs);
  connect(&batchTimer_, &QTimer::timeout, this, &RunController::Flush);
}

RunController::~RunController() {
  if (thread_) {
    Cancel();
    thread_->wait();
  }
}

bool RunController::Start(Job job) {
  if (thread_) return false;
  cancel_.store(false);
  {
    std::lock_guard lock(mutex_);
    pending_.clear();
  }
  thread_.reset(QThread::create([this, job = std::move(job)] {
    QueueReporter reporter(*this);
    RunOutcome outcome;
    // Whatever escapes the engine (memory exhausted, say) still ends the run
    // with a line that says why.
    auto stopped = [&](const std::string& why) {
      outcome = RunOutcome{};
      RunLog::Fail(reporter, outcome, StopCause::Unexpected, "", 0, why);
    };
    try {
      outcome = job(reporter, cancel_);
    } catch (const std::exception& e) {
      stopped(e.what());
    } catch (...) {
      stopped("unexpected error");
    }
    QMetaObject::invokeMethod(
        this, [this, outcome] { OnDone(outcome); }, Qt::QueuedConnection);
  }));
  thread_->start();
  return true;
}

void RunController::Post(std::string line) {
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    first = pending_.empty();
    pending_.push_back(std::move(line));
  }
  // One wake-up per batch: later lines join the batch already announced.
  if (first) {
    QMetaObject::invokeMethod(
        this, [this] { OnLinesPending(); }, Qt::QueuedConnection);
  }
}

void RunController::OnLinesPending() {
  if (!batchTimer_.isActive()) batchTimer_.start();
}

void RunController::Flush() {
  std::vector<std::string> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(pending_);
  }
  if (batch.empty()) return;
  emit RawLinesReady(batch);
  if (isSignalConnected(QMetaMethod::fromSignal(&RunController::LinesReady))) {
    QStringList lines;
    lines.reserve(qsizetype(batch.size()));
    for (const std::string& line : batch) lines.append(LineText(line));
    emit LinesReady(lines);
  }
}

void RunController::OnDone(const RunOutcome& outcome) {
  batchTimer_.stop();
  Flush();
  thread_->wait();
  thread_.reset();
  emit Finished(outcome);
}

}  // namespace kv::gui
