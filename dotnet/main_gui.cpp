// kvMigrateDotNet: migrates a Visual Studio .NET solution to version 5 of the Korvane
// component libraries, in one window.
#include <QApplication>

#include "dotnet/frmChangeVersio.h"
#include "gui_support.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  kv::gui::SetUpApplication(app, QStringLiteral("kvMigrateDotNet"),
                            QStringLiteral("kvMigrateDotNet"));
  kv::dotnetgui::frmChangeVersio window;
  window.setAccessibleDescription(QStringLiteral("Korvane Migration Utility for DotNet"));
  // kvMigrateDotNet SOLUTION.sln: the window opens with the solution named.
  if (const QStringList args = QCoreApplication::arguments(); args.size() > 1) {
    window.OpenPath(args.at(1));
  }
  window.show();
  return app.exec();
}
