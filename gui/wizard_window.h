// What the two migration windows have in common: the path box and its Open
// dialog, the action button that starts a run off the window's thread, the
// progress list, the lock on the controls while a run goes on, closing during
// a run, and dropping a project file onto the window.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>
#include <optional>

#include "disk.h"
#include "file_chooser.h"
#include "migration.h"
#include "progress.h"
#include "report.h"
#include "run_controller.h"
#include "transaction.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QMimeData;
class QPushButton;

namespace kv::gui {

// The path box's text after every run that returned.
inline constexpr char kAfterRunText[] = "Type your Project's full name here...";

// The controls of a window's form that the shared window code works with.
struct WizardControls {
  QLineEdit* path = nullptr;      // names the project or solution file
  QListWidget* list = nullptr;    // progress lines
  QPushButton* browse = nullptr;  // opens the Open dialog
  QPushButton* action = nullptr;  // starts a run
  QList<QWidget*> moreLocked;     // further controls disabled during a run
};

// How a window names the files that it migrates.
struct ProjectKind {
  QString filter;        // Open dialog filter, e.g. "Visual Basic Projects (*.vbp)"
  QStringList suffixes;  // accepted by drag and drop (any letter case), e.g. ".vbp"
};

class WizardWindow : public QWidget {
  Q_OBJECT

 public:
  ~WizardWindow() override;

  // Replaces the Open dialog (tests answer it without a modal window).
  void SetFileChooser(std::unique_ptr<FileChooser> chooser);
  // Tests: asked before each file operation of the transactions of the runs
  // that follow (on the run's thread), as a fault hook is.
  void SetTransactionHook(Transaction::FaultHook hook) { transactionHook_ = std::move(hook); }
  bool IsRunning() const { return runner_.IsRunning(); }
  // A project named on the command line: its full path goes into the path
  // box (a relative one is taken against the current folder) and the action
  // button follows whether it names an existing file, as after the Open
  // dialog. An empty path changes nothing.
  void OpenPath(const QString& path);

 signals:
  // Emitted once the window has finished dealing with the end of a run.
  void RunEnded(const kv::RunOutcome& outcome);

 protected:
  // `disk` is the file layer for every run and existence check; nullptr
  // means the real file system.
  WizardWindow(Disk* disk, QWidget* parent);

  // Called by the derived window once its form is set up.
  void Bind(const WizardControls& controls, const ProjectKind& kind);
  Disk& disk() { return *disk_; }

  // Open dialog: a chosen file's path goes into the path box and the action
  // button follows whether it names an existing file. Cancelling changes
  // nothing.
  void BrowseForProject();
  // Shows the action button when the path box names an existing regular
  // file, hides it otherwise.
  void ShowActionIfPathExists();
  // Disables the input controls and runs `request` off the window's thread
  // (RunMigration: one transaction, no change when it stops or Exit stops
  // it). The run's events are also recorded with what it left over; the
  // report pane then shows the summary and the leftovers. Over a disk given
  // to the window (tests), the engine runs on that disk as it is.
  void StartRun(MigrationRequest request);
  // After a run that completed ("Finish..." listed, path box reset).
  virtual void RunReturned() {}

  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  std::optional<QString> DroppedProject(const QMimeData* mime) const;
  void AppendLines(const QStringList& lines);
  void OnRunFinished(const RunOutcome& outcome);
  void SetLocked(bool locked);
  // The report pane below the progress list, made when the first run ends
  // (until then the list has the whole window); shows the last run's report.
  void ShowReport(const RunRecord& record);
  // Asks where to save the report and writes it there as text.
  void SaveReport();

  std::unique_ptr<Disk> ownDisk_;
  Disk* disk_;
  Transaction::FaultHook transactionHook_;
  std::unique_ptr<FileChooser> chooser_;
  WizardControls controls_;
  ProjectKind kind_;
  QWidget* focusBeforeRun_ = nullptr;
  bool closeWhenStopped_ = false;
  std::shared_ptr<RunRecord> record_;  // of the run going on or last ended
  QWidget* reportPane_ = nullptr;
  QPlainTextEdit* reportText_ = nullptr;
  QLabel* reportStatus_ = nullptr;
  RunController runner_;  // last, so that a run still going stops first
};

}  // namespace kv::gui
