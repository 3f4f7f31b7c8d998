// Runs one migration at a time on a thread of its own, so that the window
// that started it keeps painting and answering input. The engine's progress
// lines reach the window's thread through queued calls, in the order in which
// the engine reported them, gathered into batches so that a flood of lines
// costs the window one append per event-loop turn rather than one per line.
#pragma once

#include <QObject>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "progress.h"

namespace kv::gui {

// Text of an engine line for display: UTF-8 when the bytes are valid UTF-8
// (paths typed on this system), Latin-1 otherwise (names read from project
// files written with a Windows code page).
QString LineText(const std::string& line);

// Bytes of a path as this system's file functions expect them.
std::string PathBytes(const QString& path);

class RunController : public QObject {
  Q_OBJECT

 public:
  // The work of a run. It executes on the run's thread, reports its events
  // through the reporter (Finished included) and polls the flag. It must not
  // touch any widget.
  using Job = std::function<RunOutcome(Reporter& reporter, const CancelFlag& cancel)>;

  explicit RunController(QObject* parent = nullptr);
  // Stops a run that is still going and waits for it.
  ~RunController() override;

  // Starts `job` on a new thread. Refused (false) while a run is in progress.
  bool Start(Job job);
  bool IsRunning() const { return thread_ != nullptr; }
  // Asks the run to stop (between files, and inside a file's work about
  // every MiB of text it goes through); returns at once.
  void Cancel() { cancel_.store(true); }

  // Longest time lines wait before they are handed on.
  static constexpr int kBatchIntervalMs = 15;

 signals:
  // Lines of the current run, oldest first, as the engine made them; emitted
  // on the controller's thread.
  void RawLinesReady(const std::vector<std::string>& lines);
  // The same lines for display (LineText), when something listens.
  void LinesReady(const QStringList& lines);
  // The run is over; every one of its lines was emitted before this.
  void Finished(const kv::RunOutcome& outcome);

 private:
  class QueueReporter;
  void Post(std::string line);  // run's thread
  void OnLinesPending();        // controller's thread
  void Flush();
  void OnDone(const RunOutcome& outcome);

  std::unique_ptr<QThread> thread_;
  CancelFlag cancel_{false};
  QTimer batchTimer_;
  std::mutex mutex_;
  std::vector<std::string> pending_;  // guarded by mutex_
};

}  // namespace kv::gui
