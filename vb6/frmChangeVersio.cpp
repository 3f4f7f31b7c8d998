#include "frmChangeVersio.h"

#include <QCheckBox>
#include <QPushButton>

#include "ui_frmChangeVersio.h"

namespace kv::vb6gui {

frmChangeVersio::frmChangeVersio(Disk* disk, QWidget* parent)
    : WizardWindow(disk, parent), ui_(std::make_unique<Ui::frmChangeVersio>()) {
  ui_->setupUi(this);
  Bind({ui_->TxtProject, ui_->List1, ui_->Command1, ui_->cmdConvert, {ui_->chkAllModules}},
       {QStringLiteral("Visual Basic Projects (*.vbp *.vbg)"),
        {QStringLiteral(".vbp"), QStringLiteral(".vbg")}});
  connect(ui_->Command1, &QPushButton::clicked, this, &frmChangeVersio::Command1_Click);
  connect(ui_->cmdConvert, &QPushButton::clicked, this, &frmChangeVersio::cmdConvert_Click);
  connect(ui_->cmdExit, &QPushButton::clicked, this, &frmChangeVersio::cmdExit_Click);
  Form_Load();
}

frmChangeVersio::~frmChangeVersio() = default;

// Nothing to prepare: each run builds its migrator over its own transaction.
void frmChangeVersio::Form_Load() {}

void frmChangeVersio::cmdExit_Click() { close(); }

void frmChangeVersio::Command1_Click() { BrowseForProject(); }

void frmChangeVersio::cmdConvert_Click() {
  if (IsRunning()) return;
  ui_->List1->clear();
  MigrationRequest request;
  request.path = gui::PathBytes(ui_->TxtProject->text());
  request.kind = &kVb6Migration;
  // The check box counts as it stands when the run starts.
  request.allModules = ui_->chkAllModules->isChecked();
  StartRun(std::move(request));
}

// After a run only the find button can show Migrate again.
void frmChangeVersio::RunReturned() { ui_->cmdConvert->setVisible(false); }

}  // namespace kv::vb6gui
