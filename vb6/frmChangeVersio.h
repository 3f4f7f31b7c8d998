// The window of kvMigrate: names a Visual Basic 6 project, migrates it with
// the Migrate button and shows the run's progress lines.
#pragma once

#include <memory>
#include <optional>

#include "vb6_engine.h"
#include "wizard_window.h"

namespace kv::vb6gui {

namespace Ui {
class frmChangeVersio;
}

class frmChangeVersio : public gui::WizardWindow {
  Q_OBJECT

 public:
  // `disk` is the file layer for runs and existence checks (nullptr: the real
  // file system); it must outlive the window.
  explicit frmChangeVersio(Disk* disk = nullptr, QWidget* parent = nullptr);
  ~frmChangeVersio() override;

 public slots:
  void Form_Load();
  void cmdExit_Click();
  void Command1_Click();
  void cmdConvert_Click();

 private:
  std::unique_ptr<Ui::frmChangeVersio> ui_;
};

}  // namespace kv::vb6gui
