// The Open dialog behind an interface, so that tests can answer it without a
// modal window.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace kv::gui {

class FileChooser {
 public:
  virtual ~FileChooser() = default;
  // Asks for an existing file. `filter` is a Qt name filter such as
  // "Visual Basic Projects (*.vbp)"; `startFolder` may be empty. Returns the
  // file's full path, or nullopt when the user cancelled.
  virtual std::optional<QString> ChooseFile(QWidget* parent, const QString& filter,
                                            const QString& startFolder) = 0;
  // Asks where to save a file, offering `suggested` (a full path). Returns
  // the path chosen, or nullopt when the user cancelled (as does a chooser
  // that offers no saving).
  virtual std::optional<QString> ChooseSaveFile(QWidget* parent, const QString& filter,
                                                const QString& suggested) {
    (void)parent, (void)filter, (void)suggested;
    return std::nullopt;
  }
};

// The platform's Open dialog. It leaves the process's working directory alone.
class DialogFileChooser : public FileChooser {
 public:
  std::optional<QString> ChooseFile(QWidget* parent, const QString& filter,
                                    const QString& startFolder) override;
  std::optional<QString> ChooseSaveFile(QWidget* parent, const QString& filter,
                                        const QString& suggested) override;
};

}  // namespace kv::gui
