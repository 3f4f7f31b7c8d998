// Look and identity shared by both programs.
#pragma once

#include <QFont>
#include <QIcon>
#include <QString>

#include "kv_version.h"

class QApplication;

namespace kv::gui {

// Tahoma 8.25 pt where it is installed, otherwise the system's UI font.
QFont WizardFont();
// A sheet of paper with a key and a wand.
QIcon AppIcon();
// A small pair of binoculars, for the browse buttons.
QIcon BrowseIcon();

// Name, version, desktop entry and icon of the running program.
void SetUpApplication(QApplication& app, const QString& name, const QString& desktopFile);

inline constexpr char kProgramVersion[] = KV_VERSION_TEXT;

}  // namespace kv::gui
