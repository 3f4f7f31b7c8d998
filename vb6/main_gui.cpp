// kvMigrate: migrates a Visual Basic 6 project to version 5 of the Korvane
// component libraries, in one window.
#include <QApplication>

#include "frmChangeVersio.h"
#include "gui_support.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  kv::gui::SetUpApplication(app, QStringLiteral("kvMigrate"), QStringLiteral("kvMigrate"));
  kv::vb6gui::frmChangeVersio window;
  window.setAccessibleDescription(QStringLiteral("Korvane Migration Utility for VB6"));
  window.show();
  return app.exec();
}
