// The window of kvMigrateDotNet: names a Visual Studio solution, sets the
// target version, migrates the solution with the Convert button and shows the
// run's progress lines.
#pragma once

#include <QString>
#include <memory>
#include <optional>

#include "dotnet_engine.h"
#include "wizard_window.h"

namespace kv::dotnetgui {

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

  // Target version texts as the window model holds them; they follow the two
  // version boxes as typed.
  QString NewVersionMajor = QStringLiteral("5");
  QString NewVersionMinor = QStringLiteral("0");

 public slots:
  void Form_Load();
  void cmdExit_Click();
  void Command1_Click();
  void cmdConvert_Click();
  void Text1_Change();
  void Text2_Change();

 private:
  std::unique_ptr<Ui::frmChangeVersio> ui_;
};

}  // namespace kv::dotnetgui
