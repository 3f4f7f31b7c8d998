#include "wizard_window.h"

#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <algorithm>
#include <utility>

#include "gui_support.h"

namespace kv::gui {

WizardWindow::WizardWindow(Disk* disk, QWidget* parent)
    : QWidget(parent),
      ownDisk_(disk ? nullptr : std::make_unique<RealDisk>()),
      disk_(disk ? disk : ownDisk_.get()),
      chooser_(std::make_unique<DialogFileChooser>()) {
  setFont(WizardFont());
  setWindowIcon(AppIcon());
  setAcceptDrops(true);
  connect(&runner_, &RunController::LinesReady, this, &WizardWindow::AppendLines);
  connect(&runner_, &RunController::Finished, this, &WizardWindow::OnRunFinished);
}

WizardWindow::~WizardWindow() = default;

void WizardWindow::SetFileChooser(std::unique_ptr<FileChooser> chooser) {
  chooser_ = std::move(chooser);
}

void WizardWindow::Bind(const WizardControls& controls, const ProjectKind& kind) {
  controls_ = controls;
  kind_ = kind;
  controls_.browse->setIcon(BrowseIcon());
  // A path dropped anywhere on the window is handled by the window, also over
  // the path box (which would otherwise paste the file's URL as text).
  controls_.path->setAcceptDrops(false);
  controls_.list->setUniformItemSizes(true);
  controls_.path->setFocus();
}

void WizardWindow::BrowseForProject() {
  QString startFolder;
  if (disk_->Find(PathBytes(controls_.path->text()), "")) {
    startFolder = QFileInfo(controls_.path->text()).absolutePath();
  }
  const std::optional<QString> chosen = chooser_->ChooseFile(this, kind_.filter, startFolder);
  if (!chosen) return;
  controls_.path->setText(*chosen);
  ShowActionIfPathExists();
}

void WizardWindow::OpenPath(const QString& path) {
  if (path.isEmpty()) return;
  controls_.path->setText(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()));
  ShowActionIfPathExists();
}

void WizardWindow::ShowActionIfPathExists() {
  const bool exists = disk_->Find(PathBytes(controls_.path->text()), "").has_value();
  controls_.action->setVisible(exists);
}

void WizardWindow::StartRun(RunController::Job job) {
  if (runner_.IsRunning()) return;
  focusBeforeRun_ = focusWidget();
  SetLocked(true);
  runner_.Start(std::move(job));
}

void WizardWindow::StartProjectRun(const std::string& path, EngineJob job) {
  Disk* given = ownDisk_ ? nullptr : disk_;
  StartRun([path, given, job = std::move(job)](Reporter& reporter, const CancelFlag& cancel) {
    if (given) return ReportEnd(reporter, job(*given, reporter, &cancel));
    return ReportEnd(reporter, RunAsTransaction(path, reporter, &cancel, job));
  });
}

void WizardWindow::AppendLines(const QStringList& lines) {
  controls_.list->addItems(lines);
  controls_.list->scrollToBottom();
}

void WizardWindow::OnRunFinished(const RunOutcome& outcome) {
  SetLocked(false);
  // The run's last line ("Finish..." or the failure) is already in the list.
  // After a failure the path box keeps the path, so that the user can try
  // again once the file is fixed.
  if (outcome.status == RunOutcome::Status::Completed) {
    controls_.path->setText(QString::fromLatin1(kAfterRunText));
    RunReturned();
  }
  if (focusBeforeRun_ && focusBeforeRun_->isEnabled() && focusBeforeRun_->isVisible()) {
    focusBeforeRun_->setFocus();
  }
  focusBeforeRun_ = nullptr;
  emit RunEnded(outcome);
  if (closeWhenStopped_) close();
}

void WizardWindow::SetLocked(bool locked) {
  QList<QWidget*> inputs{controls_.path, controls_.browse, controls_.action};
  inputs += controls_.moreLocked;
  for (QWidget* w : inputs) w->setEnabled(!locked);
  if (locked) {
    setCursor(Qt::BusyCursor);
  } else {
    unsetCursor();
  }
}

void WizardWindow::closeEvent(QCloseEvent* event) {
  if (runner_.IsRunning()) {
    // Let the run finish the file that it is on; the window closes when the
    // run has stopped, so no file is left half done.
    closeWhenStopped_ = true;
    runner_.Cancel();
    event->ignore();
    return;
  }
  closeWhenStopped_ = false;
  event->accept();
}

std::optional<QString> WizardWindow::DroppedProject(const QMimeData* mime) const {
  if (runner_.IsRunning() || !mime->hasUrls()) return std::nullopt;
  const QList<QUrl> urls = mime->urls();
  if (urls.size() != 1 || !urls.front().isLocalFile()) return std::nullopt;
  const QString path = urls.front().toLocalFile();
  const bool known =
      std::any_of(kind_.suffixes.begin(), kind_.suffixes.end(),
                  [&](const QString& s) { return path.endsWith(s, Qt::CaseInsensitive); });
  if (!known) return std::nullopt;
  return QDir::toNativeSeparators(path);
}

void WizardWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (DroppedProject(event->mimeData())) event->acceptProposedAction();
}

void WizardWindow::dragMoveEvent(QDragMoveEvent* event) {
  if (DroppedProject(event->mimeData())) event->acceptProposedAction();
}

void WizardWindow::dropEvent(QDropEvent* event) {
  const std::optional<QString> path = DroppedProject(event->mimeData());
  if (!path) return;
  event->acceptProposedAction();
  controls_.path->setText(*path);
  ShowActionIfPathExists();
}

}  // namespace kv::gui
