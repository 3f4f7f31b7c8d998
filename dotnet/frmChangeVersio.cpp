#include "frmChangeVersio.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "ui_frmChangeVersio.h"

namespace kv::dotnetgui {

frmChangeVersio::frmChangeVersio(Disk* disk, QWidget* parent)
    : WizardWindow(gui::WizardKind::DotNet, kDotNetMigration, disk, parent),
      ui_(std::make_unique<Ui::frmChangeVersio>()) {
  ui_->setupUi(this);
  Bind({.path = ui_->TxtProject,
        .list = ui_->List1,
        .browse = ui_->Command1,
        .action = ui_->cmdConvert,
        .major = ui_->Text1,
        .minor = ui_->Text2});
  connect(ui_->Command1, &QPushButton::clicked, this, &frmChangeVersio::Command1_Click);
  connect(ui_->cmdConvert, &QPushButton::clicked, this, &frmChangeVersio::cmdConvert_Click);
  connect(ui_->cmdExit, &QPushButton::clicked, this, &frmChangeVersio::cmdExit_Click);
  connect(ui_->Text1, &QLineEdit::textChanged, this, &frmChangeVersio::Text1_Change);
  connect(ui_->Text2, &QLineEdit::textChanged, this, &frmChangeVersio::Text2_Change);
  Form_Load();
}

frmChangeVersio::~frmChangeVersio() = default;

// The boxes already show the model's texts (Bind).
void frmChangeVersio::Form_Load() {}

void frmChangeVersio::Text1_Change() {
  NewVersionMajor = QString::fromStdString(model().NewVersionMajor());
}

void frmChangeVersio::Text2_Change() {
  NewVersionMinor = QString::fromStdString(model().NewVersionMinor());
}

void frmChangeVersio::cmdExit_Click() { close(); }

void frmChangeVersio::Command1_Click() { BrowseForProject(); }

void frmChangeVersio::cmdConvert_Click() { model().Action(); }

}  // namespace kv::dotnetgui
