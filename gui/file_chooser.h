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
};

// The platform's Open dialog. It leaves the process's working directory alone.
class DialogFileChooser : public FileChooser {
 public:
  std::optional<QString> ChooseFile(QWidget* parent, const QString& filter,
                                    const QString& startFolder) override;
};

}  // namespace kv::gui
