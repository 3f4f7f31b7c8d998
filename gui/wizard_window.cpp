#include "wizard_window.h"

#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>
#include <utility>

#include "general_functions.h"
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

void WizardWindow::StartRun(MigrationRequest request) {
  if (runner_.IsRunning()) return;
  focusBeforeRun_ = focusWidget();
  SetLocked(true);
  auto record = std::make_shared<RunRecord>(request.path);
  record_ = record;
  request.hook = transactionHook_;
  if (!ownDisk_) request.disk = disk_;
  runner_.Start(
      [request = std::move(request), record](Reporter& reporter, const CancelFlag& cancel) {
        return RunMigration(request, reporter, &cancel, record.get());
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
  if (record_ && record_->scanned() && !closeWhenStopped_) ShowReport(*record_);
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

void WizardWindow::ShowReport(const RunRecord& record) {
  if (!reportPane_) {
    // The list and the report share the list's place, one above the other.
    QLayout* layout = controls_.list->parentWidget()->layout();
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->setObjectName(QStringLiteral("reportSplitter"));
    splitter->setChildrenCollapsible(false);
    delete layout->replaceWidget(controls_.list, splitter);
    splitter->addWidget(controls_.list);

    reportPane_ = new QWidget(splitter);
    reportPane_->setObjectName(QStringLiteral("reportPane"));
    auto* paneLayout = new QVBoxLayout(reportPane_);
    paneLayout->setContentsMargins(0, 0, 0, 0);
    paneLayout->setSpacing(3);
    reportText_ = new QPlainTextEdit(reportPane_);
    reportText_->setObjectName(QStringLiteral("reportText"));
    reportText_->setReadOnly(true);
    reportText_->setLineWrapMode(QPlainTextEdit::NoWrap);
    reportText_->setAccessibleName(QStringLiteral("Report"));
    paneLayout->addWidget(reportText_);
    auto* row = new QHBoxLayout();
    reportStatus_ = new QLabel(reportPane_);
    reportStatus_->setObjectName(QStringLiteral("reportStatus"));
    row->addWidget(reportStatus_, 1);
    auto* save = new QPushButton(QStringLiteral("Save report..."), reportPane_);
    save->setObjectName(QStringLiteral("cmdSaveReport"));
    connect(save, &QPushButton::clicked, this, &WizardWindow::SaveReport);
    row->addWidget(save);
    paneLayout->addLayout(row);
    splitter->addWidget(reportPane_);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    splitter->show();
    controls_.list->show();
    // Room for both: a window still at its first height grows.
    if (height() < 460) resize(width(), 460);
    layout->activate();
    const int room = splitter->height();
    splitter->setSizes({room / 2, room - room / 2});
    // The list is shorter now: its last line stays in view.
    controls_.list->scrollToBottom();
  }
  QStringList lines;
  // Leftovers inside the project's folder are shown relative to it.
  std::string folder;
  if (const std::optional<std::string> project = disk_->Find(record.project(), "")) {
    folder = GetFolderFromPath(*project);
  }
  const std::string report = FormatReport(record, SIZE_MAX, folder) + FormatLeftAlone(record);
  size_t begin = 0;
  while (begin < report.size()) {
    const size_t end = report.find('\n', begin);
    lines.append(LineText(report.substr(begin, end - begin)));
    begin = end + 1;
  }
  reportText_->setPlainText(lines.join(QLatin1Char('\n')));
  reportStatus_->clear();
}

void WizardWindow::SaveReport() {
  if (!reportText_) return;
  QString folder =
      QFileInfo(QFile::decodeName(record_ ? record_->project().c_str() : "")).absolutePath();
  const std::optional<QString> path = chooser_->ChooseSaveFile(
      this, QStringLiteral("Text files (*.txt)"), QDir(folder).filePath("kvmigrate-report.txt"));
  if (!path) return;
  QSaveFile file(*path);
  const QByteArray text = reportText_->toPlainText().toUtf8() + '\n';
  if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit()) {
    reportStatus_->setText(QStringLiteral("Saved to ") + *path);
  } else {
    reportStatus_->setText(QStringLiteral("Could not save ") + *path + QStringLiteral(": ") +
                           file.errorString());
  }
}

void WizardWindow::closeEvent(QCloseEvent* event) {
  if (runner_.IsRunning()) {
    // The run stops where it is, leaving every file as it was; the window
    // closes when it has stopped.
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
