#include "file_chooser.h"

#include <QDir>
#include <QFileDialog>

namespace kv::gui {

std::optional<QString> DialogFileChooser::ChooseFile(QWidget* parent, const QString& filter,
                                                     const QString& startFolder) {
  const QString path = QFileDialog::getOpenFileName(parent, QString(), startFolder, filter);
  if (path.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(path);
}

std::optional<QString> DialogFileChooser::ChooseSaveFile(QWidget* parent, const QString& filter,
                                                         const QString& suggested) {
  const QString path = QFileDialog::getSaveFileName(parent, QString(), suggested, filter);
  if (path.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(path);
}

}  // namespace kv::gui
