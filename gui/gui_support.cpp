#include "gui_support.h"

#include <QApplication>
#include <QFontDatabase>

// Resources of a static library must be registered by name from the global
// namespace.
static void RegisterKvGuiResources() { Q_INIT_RESOURCE(kvgui); }

namespace kv::gui {

namespace {
void EnsureResources() {
  static const bool registered = [] {
    RegisterKvGuiResources();
    return true;
  }();
  (void)registered;
}
}  // namespace

QFont WizardFont() {
  if (QFontDatabase::families().contains(QStringLiteral("Tahoma"), Qt::CaseInsensitive)) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSizeF(8.25);
    return font;
  }
  return QFontDatabase::systemFont(QFontDatabase::GeneralFont);
}

QIcon AppIcon() {
  EnsureResources();
  return QIcon(QStringLiteral(":/kvgui/kvmigrate.svg"));
}

QIcon BrowseIcon() {
  EnsureResources();
  return QIcon(QStringLiteral(":/kvgui/binoculars.svg"));
}

void SetUpApplication(QApplication& app, const QString& name, const QString& desktopFile) {
  QApplication::setApplicationName(name);
  QApplication::setApplicationVersion(QString::fromLatin1(kProgramVersion));
  QGuiApplication::setDesktopFileName(desktopFile);
  app.setWindowIcon(AppIcon());
}

}  // namespace kv::gui
