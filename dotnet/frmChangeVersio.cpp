#include "frmChangeVersio.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "ui_frmChangeVersio.h"

namespace kv::dotnetgui {

frmChangeVersio::frmChangeVersio(Disk* disk, QWidget* parent)
    : WizardWindow(disk, parent), ui_(std::make_unique<Ui::frmChangeVersio>()) {
  ui_->setupUi(this);
  Bind({ui_->TxtProject, ui_->List1, ui_->Command1, ui_->cmdConvert, {ui_->Text1, ui_->Text2}},
       {QStringLiteral("Visual Studio Solutions (*.sln)"), {QStringLiteral(".sln")}});
  connect(ui_->Command1, &QPushButton::clicked, this, &frmChangeVersio::Command1_Click);
  connect(ui_->cmdConvert, &QPushButton::clicked, this, &frmChangeVersio::cmdConvert_Click);
  connect(ui_->cmdExit, &QPushButton::clicked, this, &frmChangeVersio::cmdExit_Click);
  connect(ui_->Text1, &QLineEdit::textChanged, this, &frmChangeVersio::Text1_Change);
  connect(ui_->Text2, &QLineEdit::textChanged, this, &frmChangeVersio::Text2_Change);
  Form_Load();
}

frmChangeVersio::~frmChangeVersio() = default;

void frmChangeVersio::Form_Load() {
  ui_->Text1->setText(QStringLiteral("5"));
  ui_->Text2->setText(QStringLiteral("0"));
  ui_->TxtProject->setText(QStringLiteral("Select your solution first..."));
}

void frmChangeVersio::Text1_Change() { NewVersionMajor = ui_->Text1->text(); }

void frmChangeVersio::Text2_Change() { NewVersionMinor = ui_->Text2->text(); }

void frmChangeVersio::cmdExit_Click() { close(); }

void frmChangeVersio::Command1_Click() { BrowseForProject(); }

void frmChangeVersio::cmdConvert_Click() {
  if (IsRunning()) return;
  ui_->List1->clear();
  NewVersionMajor = ui_->Text1->text();
  NewVersionMinor = ui_->Text2->text();
  MigrationRequest request;
  request.path = gui::PathBytes(ui_->TxtProject->text());
  request.kind = &kDotNetMigration;
  // The run keeps the versions that the boxes held when it started.
  const std::string major = NewVersionMajor.toLocal8Bit().toStdString();
  const std::string minor = NewVersionMinor.toLocal8Bit().toStdString();
  // A text that would end the value it is written into starts no run.
  struct Box {
    const std::string& text;
    QLineEdit* box;
    const char* name;
  };
  for (const Box& b : {Box{major, ui_->Text1, "major"}, Box{minor, ui_->Text2, "minor"}}) {
    if (VersionTextAllowed(b.text)) continue;
    ui_->List1->addItem(
        QStringLiteral("Refused: the %1 version %2; no file was changed")
            .arg(QString::fromLatin1(b.name),
                 QString::fromLatin1(kVersionTextRule.data(), qsizetype(kVersionTextRule.size()))));
    b.box->setFocus();
    b.box->selectAll();
    return;
  }
  request.major = major;
  request.minor = minor;
  StartRun(std::move(request));
}

}  // namespace kv::dotnetgui
