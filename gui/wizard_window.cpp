#include "wizard_window.h"

#include <QCheckBox>
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
#include "wizard_run.h"

namespace kv::gui {

WizardWindow::WizardWindow(WizardKind kind, const MigrationKind& engine, Disk* disk,
                           QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      ownDisk_(disk ? nullptr : std::make_unique<RealDisk>()),
      disk_(disk ? disk : ownDisk_.get()),
      model_(kind, *this, *this,
             [this](const std::string& path) {
               return !path.empty() &&
                      disk_->Find(PathBytes(QString::fromStdString(path)), "").has_value();
             }),
      chooser_(std::make_unique<DialogFileChooser>()) {
  setFont(WizardFont());
  setWindowIcon(AppIcon());
  setAcceptDrops(true);
  connect(&runner_, &RunController::RawLinesReady, this,
          [this](const std::vector<std::string>& lines) { model_.AddLines(lines); });
  connect(&runner_, &RunController::Finished, this, &WizardWindow::OnRunFinished);
}

WizardWindow::~WizardWindow() = default;

void WizardWindow::SetFileChooser(std::unique_ptr<FileChooser> chooser) {
  chooser_ = std::move(chooser);
}

void WizardWindow::Bind(const WizardControls& controls) {
  controls_ = controls;
  const WizardTexts& texts = model_.texts();
  setWindowTitle(QString::fromStdString(texts.caption));
  controls_.action->setText(QString::fromStdString(texts.actionText));
  controls_.browse->setToolTip(QString::fromStdString(texts.browseTip));
  controls_.browse->setIcon(BrowseIcon());
  // A path dropped anywhere on the window is handled by the window, also over
  // the path box (which would otherwise paste the file's URL as text).
  controls_.path->setAcceptDrops(false);
  controls_.list->setUniformItemSizes(true);
  auto edited = [this](QLineEdit* box, void (WizardModel::*to)(const std::string&)) {
    if (!box) return;
    connect(box, &QLineEdit::textChanged, this, [this, to](const QString& text) {
      if (!updating_) (model_.*to)(text.toStdString());
    });
  };
  edited(controls_.path, &WizardModel::PathEdited);
  edited(controls_.major, &WizardModel::MajorEdited);
  edited(controls_.minor, &WizardModel::MinorEdited);
  if (controls_.allModules) {
    controls_.allModules->setText(QString::fromStdString(texts.allModulesText));
    connect(controls_.allModules, &QCheckBox::toggled, this,
            [this](bool checked) { model_.AllModulesToggled(checked); });
  }
  SetBox(controls_.major, model_.NewVersionMajor());
  SetBox(controls_.minor, model_.NewVersionMinor());
  Refresh();
  controls_.path->setFocus();
}

void WizardWindow::SetBox(QLineEdit* box, const std::string& text) {
  if (!box) return;
  const QString shown = QString::fromStdString(text);
  if (box->text() == shown) return;
  updating_ = true;
  box->setText(shown);
  updating_ = false;
}

void WizardWindow::BrowseForProject() {
  if (!model_.Enabled(Control::Browse)) return;
  const QString filter = QString::fromStdString(FilterText(model_.texts()));
  const QString folder = QString::fromStdString(model_.BrowseFolder());
  const std::optional<QString> chosen = chooser_->ChooseFile(this, filter, folder);
  model_.BrowseChosen(chosen ? std::optional<std::string>(chosen->toStdString()) : std::nullopt);
}

void WizardWindow::OpenPath(const QString& path) {
  if (path.isEmpty()) return;
  model_.OpenPath(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toStdString());
}

void WizardWindow::StartRun(const RunSettings& settings) {
  focusBeforeRun_ = focusWidget();
  MigrationRequest request;
  request.path = PathBytes(QString::fromStdString(settings.path));
  request.kind = &engine_;
  request.allModules = settings.allModules;
  request.major = QString::fromStdString(settings.major).toLocal8Bit().toStdString();
  request.minor = QString::fromStdString(settings.minor).toLocal8Bit().toStdString();
  request.hook = transactionHook_;
  if (!ownDisk_) request.disk = disk_;
  auto record = std::make_shared<RunRecord>(request.path);
  record_ = record;
  setCursor(Qt::BusyCursor);
  runner_.Start(
      [request = std::move(request), record](Reporter& reporter, const CancelFlag& cancel) {
        return RunWindowMigration(request, reporter, cancel, *record);
      });
}

void WizardWindow::ClearList() { controls_.list->clear(); }

void WizardWindow::AppendLines(const std::vector<std::string>& lines) {
  QStringList shown;
  shown.reserve(qsizetype(lines.size()));
  for (const std::string& line : lines) shown.append(LineText(line));
  controls_.list->addItems(shown);
  controls_.list->scrollToBottom();
}

void WizardWindow::OnRunFinished(const RunOutcome& outcome) {
  unsetCursor();
  std::optional<std::string> report;
  if (record_ && record_->scanned()) report = ReportText(*record_, *disk_);
  QWidget* focus = focusBeforeRun_;
  focusBeforeRun_ = nullptr;
  model_.RunEnded(outcome, std::move(report));
  if (isVisible() && focus && focus->isEnabled() && focus->isVisible()) focus->setFocus();
  emit RunEnded(outcome);
}

void WizardWindow::Refresh() {
  SetBox(controls_.path, model_.path());
  controls_.action->setVisible(model_.actionVisible());
  const std::pair<QWidget*, Control> locks[] = {
      {controls_.path, Control::Path},     {controls_.browse, Control::Browse},
      {controls_.action, Control::Action}, {controls_.allModules, Control::AllModules},
      {controls_.major, Control::Major},   {controls_.minor, Control::Minor},
      {saveReport_, Control::SaveReport},
  };
  for (const auto& [widget, control] : locks) {
    if (widget) widget->setEnabled(model_.Enabled(control));
  }
  if (model_.report()) {
    MakeReportPane();
    QStringList lines;
    const std::string& report = *model_.report();
    size_t begin = 0;
    while (begin <= report.size()) {
      const size_t end = std::min(report.find('\n', begin), report.size());
      lines.append(LineText(report.substr(begin, end - begin)));
      begin = end + 1;
    }
    if (reportText_->toPlainText() != lines.join(QLatin1Char('\n'))) {
      reportText_->setPlainText(lines.join(QLatin1Char('\n')));
    }
  }
  if (reportStatus_) reportStatus_->setText(QString::fromStdString(model_.reportStatus()));
}

void WizardWindow::MakeReportPane() {
  if (reportPane_) return;
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
  saveReport_ = new QPushButton(QStringLiteral("Save report..."), reportPane_);
  saveReport_->setObjectName(QStringLiteral("cmdSaveReport"));
  connect(saveReport_, &QPushButton::clicked, this, &WizardWindow::SaveReport);
  row->addWidget(saveReport_);
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

void WizardWindow::SaveReport() {
  if (!reportText_ || !model_.Enabled(Control::SaveReport)) return;
  const QString offered =
      QFileInfo(QString::fromStdString(model_.ReportFileName())).absoluteFilePath();
  const std::optional<QString> path =
      chooser_->ChooseSaveFile(this, QStringLiteral("Text files (*.txt)"), offered);
  if (!path) return;
  QSaveFile file(*path);
  const QByteArray text = reportText_->toPlainText().toUtf8() + '\n';
  const bool saved =
      file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
  model_.ReportSaved(path->toStdString(), saved ? "" : file.errorString().toStdString());
}

void WizardWindow::FocusBox(Control control) {
  QLineEdit* box = control == Control::Major   ? controls_.major
                   : control == Control::Minor ? controls_.minor
                                               : controls_.path;
  if (!box) return;
  box->setFocus();
  box->selectAll();
}

void WizardWindow::Close() {
  Refresh();
  closeAllowed_ = true;
  if (!inCloseEvent_) close();
}

void WizardWindow::closeEvent(QCloseEvent* event) {
  if (!closeAllowed_) {
    // Exit: at once, or during a run once the run has stopped.
    inCloseEvent_ = true;
    model_.Exit();
    inCloseEvent_ = false;
  }
  event->setAccepted(closeAllowed_);
  closeAllowed_ = false;
}

std::vector<std::string> WizardWindow::DroppedPaths(const QMimeData* mime) const {
  std::vector<std::string> paths;
  if (!mime->hasUrls()) return paths;
  for (const QUrl& url : mime->urls()) {
    // A drop that is not a local file is taken by no window.
    paths.push_back(url.isLocalFile() ? QDir::toNativeSeparators(url.toLocalFile()).toStdString()
                                      : std::string());
  }
  return paths;
}

void WizardWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (model_.AcceptsDrop(DroppedPaths(event->mimeData()))) event->acceptProposedAction();
}

void WizardWindow::dragMoveEvent(QDragMoveEvent* event) {
  if (model_.AcceptsDrop(DroppedPaths(event->mimeData()))) event->acceptProposedAction();
}

void WizardWindow::dropEvent(QDropEvent* event) {
  if (model_.Drop(DroppedPaths(event->mimeData()))) event->acceptProposedAction();
}

}  // namespace kv::gui
