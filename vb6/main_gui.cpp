// kvMigrate: migrates a Visual Basic 6 project to version 5 of the Korvane
// component libraries, in one window.
#include <QApplication>

#include "gui_support.h"
#include "vb6/frmChangeVersio.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  kv::gui::SetUpApplication(app, QStringLiteral("kvMigrate"), QStringLiteral("kvMigrate"));
  kv::vb6gui::frmChangeVersio window;
  window.setAccessibleDescription(QStringLiteral("Korvane Migration Utility for VB6"));
  // kvMigrate PROJECT.vbp: the window opens with the project named.
  if (const QStringList args = QCoreApplication::arguments(); args.size() > 1) {
    window.OpenPath(args.at(1));
  }
  window.show();
  return app.exec();
}
