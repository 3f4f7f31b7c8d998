// The state and the decisions of a migration window, with no toolkit in it:
// the path box's text before, during and after a run, when the action button
// shows, which controls are locked while a run goes on, the version texts and
// the check box that a run takes, what the list and the report pane show,
// what Exit does during a run, and what a path from the command line or a
// dropped file does. Each front end (the Qt windows, the Win32 windows) only
// shows this state and hands its user's input to it; a run is started and
// stopped through a small interface, so that the model does not care how a
// run is put together.
//
// Texts are UTF-8 (the path box, the version boxes). Progress lines and the
// report are the engine's bytes; the front end decides how to show them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "progress.h"

namespace kv {
class Disk;
class RunRecord;
}  // namespace kv

namespace kv::gui {

// The path box's text after every run that completed.
inline constexpr char kAfterRunText[] = "Type your Project's full name here...";
// The line that a completed run ends with (reported by the run itself).
inline constexpr char kFinishLine[] = "Finish...";

enum class WizardKind { Vb6, DotNet };

// What sets the two windows apart.
struct WizardTexts {
  std::string caption;
  std::string initialPath;            // the path box when the window opens
  std::string actionText;             // caption of the action button
  std::string browseTip;              // tool tip of the browse button
  std::string filterName;             // Open dialog: the one filter's name
  std::vector<std::string> patterns;  // ... and its patterns, "*.vbp"
  std::vector<std::string> suffixes;  // accepted by drag and drop (any case)
  std::string allModulesText;         // check box for the other member kinds ("" = none)
  bool hidesActionAfterRun = false;   // after a completed run only Browse shows it again
  bool hasVersions = false;           // the two target version boxes
};
const WizardTexts& TextsOf(WizardKind kind);

// The Open dialog's filter as one text, "Name (*.a *.b)".
std::string FilterText(const WizardTexts& texts);

// What a run is started with: the texts as they stood when it started.
struct RunSettings {
  std::string path;         // the path box (UTF-8)
  std::string major = "5";  // target version (.NET)
  std::string minor = "0";
  bool allModules = false;  // VB6: also classes, user controls and designers
};

// How the model starts and stops a run. StartRun returns at once; the front
// end later reports the run's lines (AddLines) and its end (RunEnded).
class RunStarter {
 public:
  virtual ~RunStarter() = default;
  virtual void StartRun(const RunSettings& settings) = 0;
  // Asks the run to stop where it is; returns at once.
  virtual void StopRun() = 0;
};

enum class Control { Path, Browse, List, AllModules, Major, Minor, Action, Exit, SaveReport };

// What the model tells its front end. Refresh: read the state again (path
// box, action button, locks, report pane, status text).
class WizardView {
 public:
  virtual ~WizardView() = default;
  virtual void ClearList() = 0;
  virtual void AppendLines(const std::vector<std::string>& lines) = 0;
  virtual void Refresh() = 0;
  // The window goes: Exit, or a close asked for during a run once it stopped.
  virtual void Close() = 0;
  // The user is sent to a box whose text was refused: focus it, its text
  // selected.
  virtual void FocusBox(Control control) { (void)control; }
};

class WizardModel {
 public:
  // `fileExists` tells whether a path box text names an existing regular file.
  WizardModel(WizardKind kind, RunStarter& starter, WizardView& view,
              std::function<bool(const std::string&)> fileExists);

  const WizardTexts& texts() const { return texts_; }
  WizardKind kind() const { return kind_; }

  // --- state ---
  const std::string& path() const { return path_; }
  bool actionVisible() const { return actionVisible_; }
  bool running() const { return running_; }
  bool closing() const { return closing_; }
  // Every control but the list and Exit is locked while a run goes on.
  bool Enabled(Control control) const;
  const std::vector<std::string>& lines() const { return lines_; }
  // The version texts, as the version boxes hold them.
  const std::string& NewVersionMajor() const { return major_; }
  const std::string& NewVersionMinor() const { return minor_; }
  bool allModules() const { return allModules_; }
  // The report pane: absent until a run completed and its folders were
  // searched; then the last such run's report.
  const std::optional<std::string>& report() const { return report_; }
  // Below the report: where it was saved, or why not.
  const std::string& reportStatus() const { return reportStatus_; }

  // --- input ---
  // The user edited a box. Typing in the path box changes nothing else.
  void PathEdited(const std::string& text) { path_ = text; }
  void MajorEdited(const std::string& text) { major_ = text; }
  void MinorEdited(const std::string& text) { minor_ = text; }
  void AllModulesToggled(bool checked) { allModules_ = checked; }
  // Where the Open dialog starts: the folder of the file that the path box
  // names, or "" (the dialog's own choice).
  std::string BrowseFolder() const;
  // The Open dialog closed: a chosen file's path goes into the path box and
  // the action button follows whether it names an existing file. Cancelled
  // (nullopt): nothing changes.
  void BrowseChosen(const std::optional<std::string>& chosen);
  // A project named on the command line, made absolute by the front end:
  // as a file chosen in the Open dialog. An empty path changes nothing.
  void OpenPath(const std::string& absolutePath);
  // Files dropped on the window: one file with a suffix the window takes,
  // while no run goes on, is taken as a chosen file.
  bool AcceptsDrop(const std::vector<std::string>& paths) const;
  bool Drop(const std::vector<std::string>& paths);
  // The action button: clears the list and starts a run with the texts as
  // they stand now. Nothing while a run goes on. A version text that would
  // break a project file starts no run: the list says why and its box gets
  // the focus.
  void Action();
  // Exit, or closing the window: closes at once, or during a run stops the
  // run and closes once it has stopped.
  void Exit();

  // --- the run ---
  void AddLines(std::vector<std::string> lines);
  // `report`: the run's report text, when the run completed and its folders
  // were searched. A completed run resets the path box.
  void RunEnded(const RunOutcome& outcome, std::optional<std::string> report);
  // Save: the file offered, and what came of it ("" error text = saved).
  std::string ReportFileName() const;
  void ReportSaved(const std::string& path, const std::string& error);

 private:
  void Choose(const std::string& path);

  WizardKind kind_;
  const WizardTexts& texts_;
  RunStarter& starter_;
  WizardView& view_;
  std::function<bool(const std::string&)> fileExists_;
  std::string path_;
  bool actionVisible_ = true;
  bool running_ = false;
  bool closing_ = false;
  std::string major_ = "5";
  std::string minor_ = "0";
  bool allModules_ = false;
  std::string runPath_;  // of the run going on or last started
  std::vector<std::string> lines_;
  std::optional<std::string> report_;
  std::string reportStatus_;
};

// The report pane's text for a run whose folders were searched: the summary,
// the leftovers (those inside the project's folder relative to it), then the
// files named like ours that the run left alone.
std::string ReportText(const RunRecord& record, Disk& disk);

}  // namespace kv::gui
