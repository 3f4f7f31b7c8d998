// Helpers for the window tests: an Open dialog that answers from a script, a
// disk whose reads can be held back so that a run stays in progress for as
// long as a test needs, and look-ups of a window's controls.
#pragma once

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "disk.h"
#include "file_chooser.h"
#include "wizard_window.h"

namespace kvtest {

// Answers the Open dialog with `reply` and the Save dialog with `saveReply`
// (nullopt = Cancel); records the filters and the path the Save dialog offered.
struct ScriptedChooser : kv::gui::FileChooser {
  std::optional<QString> reply;
  std::optional<QString> saveReply = std::nullopt;
  QStringList filters = {};
  QString offered = {};
  explicit ScriptedChooser(std::optional<QString> r, std::optional<QString> save = std::nullopt)
      : reply(std::move(r)), saveReply(std::move(save)) {}
  std::optional<QString> ChooseFile(QWidget*, const QString& filter, const QString&) override {
    filters.append(filter);
    return reply;
  }
  std::optional<QString> ChooseSaveFile(QWidget*, const QString& filter,
                                        const QString& suggested) override {
    filters.append(filter);
    offered = suggested;
    return saveReply;
  }
};

// The real file system, except that every read after the first `freeReads`
// waits until the test opens the gate.
class GatedDisk : public kv::Disk {
 public:
  explicit GatedDisk(int freeReads) : freeReads_(freeReads) {}
  std::optional<std::string> Find(std::string_view path, std::string_view base) override {
    return real_.Find(path, base);
  }
  std::optional<kv::FileKey> Key(const std::string& path) override { return real_.Key(path); }
  kv::IoError WriteAll(const std::string& path, std::string_view contents) override {
    return real_.WriteAll(path, contents);
  }
  kv::IoError ReadAll(const std::string& path, std::string* contents) override {
    {
      std::unique_lock lock(mutex_);
      if (++reads_ > freeReads_) {
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
      }
    }
    return real_.ReadAll(path, contents);
  }
  // True once a read waits at the gate.
  bool WaitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return held_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  kv::RealDisk real_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int freeReads_;
  int reads_ = 0;
  bool held_ = false;
  bool open_ = false;
};

// Opens the gate when a test leaves early, so that the window (declared after
// this guard's disk, destroyed before it) is not left waiting for its run.
struct OpenGateOnExit {
  GatedDisk& disk;
  ~OpenGateOnExit() { disk.Open(); }
};

template <typename T = QWidget>
T* Control(QWidget& window, const char* name) {
  T* control = window.findChild<T*>(QString::fromLatin1(name));
  if (!control) qFatal("no control named %s", name);
  return control;
}

inline QStringList ListLines(QWidget& window) {
  QListWidget* list = Control<QListWidget>(window, "List1");
  QStringList lines;
  for (int i = 0; i < list->count(); ++i) lines.append(list->item(i)->text());
  return lines;
}

inline QStringList ToQt(const std::vector<std::string>& lines) {
  QStringList out;
  for (const std::string& line : lines) out.append(QString::fromStdString(line));
  return out;
}

inline void Click(QWidget& window, const char* button) {
  QTest::mouseClick(Control<QPushButton>(window, button), Qt::LeftButton);
}

// Clicks the action button and waits until the window has dealt with the end
// of the run.
inline bool ClickAndWaitForRun(kv::gui::WizardWindow& window, int timeoutMs = 60000) {
  QSignalSpy ended(&window, &kv::gui::WizardWindow::RunEnded);
  Click(window, "cmdConvert");
  return !ended.isEmpty() || ended.wait(timeoutMs);
}

inline void TypeText(QWidget& window, const char* box, const QString& text) {
  QLineEdit* edit = Control<QLineEdit>(window, box);
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, text);
}

// The names of the widgets that take the focus, in tab order from `first`.
inline QStringList TabOrder(QWidget* first) {
  QStringList names;
  QWidget* w = first;
  do {
    if (w->focusPolicy() & Qt::TabFocus) names.append(w->objectName());
    w = w->nextInFocusChain();
  } while (w != first);
  return names;
}

}  // namespace kvtest
