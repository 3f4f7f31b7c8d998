// What the two Qt migration windows have in common: a view of the window
// model (wizard_model.h), which decides the path box's text, the action
// button, the locks during a run, the version texts and the check box, the
// list and the report pane, Exit during a run, the command line and drops.
// This code only shows that state, hands input to the model, runs off the
// window's thread and writes a saved report.
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
#include "wizard_model.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QMimeData;
class QPushButton;

namespace kv::gui {

// The controls of a window's form that the shared window code works with.
struct WizardControls {
  QLineEdit* path = nullptr;        // names the project or solution file
  QListWidget* list = nullptr;      // progress lines
  QPushButton* browse = nullptr;    // opens the Open dialog
  QPushButton* action = nullptr;    // starts a run
  QCheckBox* allModules = nullptr;  // the other member kinds (kvMigrate)
  QLineEdit* major = nullptr;       // target version boxes (kvMigrateDotNet)
  QLineEdit* minor = nullptr;
};

// The Qt view of the window model: shows its state and hands the user's
// input to it; runs go on the RunController's thread.
class WizardWindow : public QWidget, public RunStarter, public WizardView {
  Q_OBJECT

 public:
  ~WizardWindow() override;

  // Replaces the Open dialog (tests answer it without a modal window).
  void SetFileChooser(std::unique_ptr<FileChooser> chooser);
  // Tests: asked before each file operation of the transactions of the runs
  // that follow (on the run's thread), as a fault hook is.
  void SetTransactionHook(Transaction::FaultHook hook) { transactionHook_ = std::move(hook); }
  bool IsRunning() const { return model_.running(); }
  // A project named on the command line: a relative path is taken against
  // the current folder, then handed to the model.
  void OpenPath(const QString& path);

 signals:
  // Emitted once the window has finished dealing with the end of a run.
  void RunEnded(const kv::RunOutcome& outcome);

 protected:
  // `disk` is the file layer for every run and existence check; nullptr
  // means the real file system. `engine` migrates the window's projects.
  WizardWindow(WizardKind kind, const MigrationKind& engine, Disk* disk, QWidget* parent);

  // Called by the derived window once its form is set up.
  void Bind(const WizardControls& controls);
  WizardModel& model() { return model_; }
  // The find button: the Open dialog, its answer handed to the model.
  void BrowseForProject();

  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // RunStarter
  void StartRun(const RunSettings& settings) override;
  void StopRun() override { runner_.Cancel(); }
  // WizardView
  void ClearList() override;
  void AppendLines(const std::vector<std::string>& lines) override;
  void Refresh() override;
  void Close() override;
  void FocusBox(Control control) override;

  std::vector<std::string> DroppedPaths(const QMimeData* mime) const;
  void OnRunFinished(const RunOutcome& outcome);
  void SetBox(QLineEdit* box, const std::string& text);
  // The report pane below the progress list, made when the first report
  // comes (until then the list has the whole window).
  void MakeReportPane();
  // Asks where to save the report and writes it there as text.
  void SaveReport();

  const MigrationKind& engine_;
  std::unique_ptr<Disk> ownDisk_;
  Disk* disk_;
  WizardModel model_;
  Transaction::FaultHook transactionHook_;
  std::unique_ptr<FileChooser> chooser_;
  WizardControls controls_;
  QWidget* focusBeforeRun_ = nullptr;
  bool updating_ = false;      // the window sets a box: not the user's edit
  bool closeAllowed_ = false;  // the model said the window goes
  bool inCloseEvent_ = false;
  std::shared_ptr<RunRecord> record_;  // of the run going on or last ended
  QWidget* reportPane_ = nullptr;
  QPlainTextEdit* reportText_ = nullptr;
  QLabel* reportStatus_ = nullptr;
  QPushButton* saveReport_ = nullptr;
  RunController runner_;  // last, so that a run still going stops first
};

}  // namespace kv::gui
