// A migration window on Win32: the dialog of a window's .rc template, shown
// as the window model says, with its user's input handed to the model. A run
// goes on a thread of its own; its lines are gathered and posted to the
// window, which appends each batch to the list in one go, so that a flood of
// lines never freezes it. Exit during a run stops the run and the window goes
// once it has stopped.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "wizard_model.h"
#include "wizard_run.h"

namespace kv::gui {

// UTF-16 from UTF-8 and back.
std::wstring Widen(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// An engine line or a report line for display: its bytes are in the file
// layer's path code page `cp` (names read from a project, paths typed by the
// user).
std::wstring LineText(const std::string& bytes, unsigned cp);

// What one program adds to the shared window.
struct WinProgram {
  WizardKind kind;
  int dialogId;
  const MigrationKind* migration;  // the engine of its projects
};

class WinWizard final : public RunStarter, public WizardView {
 public:
  // `disk`: the file layer of existence checks and runs (nullptr: the real
  // file system); tests give their own, which must outlive the window.
  explicit WinWizard(WinProgram program, Disk* disk = nullptr);
  ~WinWizard() override;

  // Makes the window (hidden until shown). `quitOnClose`: closing it ends the
  // thread's message loop (the programs; tests keep theirs).
  HWND Create(HINSTANCE instance, bool quitOnClose);
  HWND hwnd() const { return hwnd_; }
  HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
  WizardModel& model() { return *model_; }
  bool IsRunning() const { return model_->running(); }

  // A path from the command line: made absolute against the current folder.
  void OpenPath(const std::wstring& path);

  // Tests: answers the Open dialog (save = false) and the Save dialog
  // instead of showing them; nullopt is Cancel.
  using FileDialog =
      std::function<std::optional<std::wstring>(bool save, const std::wstring& offered)>;
  void SetFileDialog(FileDialog dialog) { fileDialog_ = std::move(dialog); }
  // Tests: asked before each file operation of the runs' transactions.
  void SetTransactionHook(Transaction::FaultHook hook) { hook_ = std::move(hook); }

  // Runs the thread's message loop, dialog keys included, until WM_QUIT.
  static int MessageLoop();

  // Posted to the window: lines are waiting; the run has ended.
  static constexpr UINT kLinesMessage = WM_APP + 1;
  static constexpr UINT kEndedMessage = WM_APP + 2;

 private:
  class PostingReporter;
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void InitDialog();
  void MakeBoldFont();
  void Command(int id, int code);
  void Browse();
  void SaveReport();
  void Layout();
  void TakeLines();
  void RunFinished();
  bool FileExists(const std::string& utf8);
  std::wstring Text(int id) const;
  void SetText(int id, const std::wstring& text);

  // RunStarter
  void StartRun(const RunSettings& settings) override;
  void StopRun() override { cancel_.store(true); }
  // WizardView
  void ClearList() override;
  void AppendLines(const std::vector<std::string>& lines) override;
  void Refresh() override;
  void Close() override;

  WinProgram program_;
  std::unique_ptr<Disk> ownDisk_;
  Disk* disk_;
  // The code page of the narrow paths the window hands its runs and its disk,
  // and of the lines it shows: its disk's.
  unsigned pathCodePage_;
  std::unique_ptr<WizardModel> model_;
  HWND hwnd_ = nullptr;
  HWND tooltip_ = nullptr;
  HFONT boldFont_ = nullptr;
  UINT dpi_ = 0;  // the window's scale, as the layout's places have it
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  HICON browseIcon_ = nullptr;
  bool quitOnClose_ = false;
  bool updating_ = false;  // the window sets a box: not the user's edit
  bool reportShown_ = false;
  int listExtent_ = 0;
  HWND focusBeforeRun_ = nullptr;
  FileDialog fileDialog_;
  Transaction::FaultHook hook_;

  // Layout: each control's place in the client area as the template made it.
  struct Placed {
    int id;
    RECT rect;
  };
  std::vector<Placed> placed_;
  SIZE baseClient_{};
  SIZE minTrack_{};

  // The run.
  std::thread thread_;
  CancelFlag cancel_{false};
  std::mutex mutex_;
  std::vector<std::string> pending_;  // guarded by mutex_
  RunOutcome outcome_;                // guarded by mutex_; set when the run ends
  std::shared_ptr<RunRecord> record_;
};

}  // namespace kv::gui
