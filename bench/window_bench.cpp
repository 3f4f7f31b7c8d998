// How the migration window's event loop copes with a flood of progress lines:
// a project whose 50,000 module entries are all missing makes the engine send
// 100,000 lines as fast as it can; a 10 ms timer on the window's thread
// records the longest gap between its ticks while they stream into the list.
//
//   kvbench-window [MODULES]     (QT_QPA_PLATFORM=offscreen is set if unset)
//
// Prints one line "window: lines=N longest_gap_ms=G run_ms=R" and exits 1
// when the longest gap reaches 100 ms.
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "vb6/frmChangeVersio.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const int modules = argc > 1 ? std::atoi(argv[1]) : 50000;
  QApplication app(argc, argv);

  std::string folder = (fs::temp_directory_path() / "kvbench-window-XXXXXX").string();
  if (!::mkdtemp(folder.data())) return 2;
  const std::string project = folder + "/Big.vbp";
  {
    std::ofstream out(project, std::ios::binary);
    out << "Type=Exe\r\n";
    for (int i = 0; i < modules; ++i) out << "Module=m; m" << i << ".bas\r\n";
  }

  kv::vb6gui::frmChangeVersio window;
  window.show();
  window.findChild<QLineEdit*>("TxtProject")->setText(QString::fromStdString(project));

  QElapsedTimer clock;
  qint64 last = 0, longestGap = 0, runMs = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    longestGap = std::max(longestGap, clock.elapsed() - last);
    last = clock.elapsed();
  });
  QObject::connect(&window, &kv::gui::WizardWindow::RunEnded, [&] {
    runMs = clock.elapsed();
    longestGap = std::max(longestGap, clock.elapsed() - last);
    ticker.stop();
    QTimer::singleShot(0, &app, &QApplication::quit);
  });
  QTimer::singleShot(0, [&] {
    clock.start();
    ticker.start(10);
    window.findChild<QPushButton*>("cmdConvert")->click();
  });
  app.exec();

  const int lines = window.findChild<QListWidget*>("List1")->count();
  fs::remove_all(folder);
  std::printf("window: lines=%d longest_gap_ms=%lld run_ms=%lld\n", lines,
              static_cast<long long>(longestGap), static_cast<long long>(runMs));
  return longestGap < 100 ? 0 : 1;
}
