#include "frmChangeVersio.h"

#include <QCheckBox>
#include <QPushButton>

#include "ui_frmChangeVersio.h"

namespace kv::vb6gui {

frmChangeVersio::frmChangeVersio(Disk* disk, QWidget* parent)
    : WizardWindow(gui::WizardKind::Vb6, kVb6Migration, disk, parent),
      ui_(std::make_unique<Ui::frmChangeVersio>()) {
  ui_->setupUi(this);
  Bind({.path = ui_->TxtProject,
        .list = ui_->List1,
        .browse = ui_->Command1,
        .action = ui_->cmdConvert,
        .allModules = ui_->chkAllModules});
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

void frmChangeVersio::cmdConvert_Click() { model().Action(); }

}  // namespace kv::vb6gui
