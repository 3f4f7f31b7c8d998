#include "wizard_model.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "disk.h"
#include "general_functions.h"
#include "migration.h"
#include "report.h"
#include "string_functions.h"

namespace kv::gui {

const WizardTexts& TextsOf(WizardKind kind) {
  static const WizardTexts vb6{
      .caption = "Korvane Visual Basic Migration wizard for version 5",
      .initialPath = "Type your Project's full name here or choose one using the find button...",
      .actionText = "Migrate",
      .browseTip = "Choose the project file",
      .filterName = "Visual Basic Projects",
      .patterns = {"*.vbp", "*.vbg"},
      .suffixes = {".vbp", ".vbg"},
      .allModulesText = "Also classes, user controls and designers",
      .hidesActionAfterRun = true,
      .hasVersions = false,
  };
  static const WizardTexts dotnet{
      .caption = "Korvane DotNet Migration wizard for version 5",
      .initialPath = "Select your solution first...",
      .actionText = "Change Controls",
      .browseTip = "Choose the solution file",
      .filterName = "Visual Studio Solutions",
      .patterns = {"*.sln"},
      .suffixes = {".sln"},
      .allModulesText = "",
      .hidesActionAfterRun = false,
      .hasVersions = true,
  };
  return kind == WizardKind::Vb6 ? vb6 : dotnet;
}

std::string FilterText(const WizardTexts& texts) {
  std::string text = texts.filterName + " (";
  for (size_t i = 0; i < texts.patterns.size(); ++i) {
    text += (i ? " " : "") + texts.patterns[i];
  }
  return text + ")";
}

WizardModel::WizardModel(WizardKind kind, RunStarter& starter, WizardView& view,
                         std::function<bool(const std::string&)> fileExists)
    : kind_(kind),
      texts_(TextsOf(kind)),
      starter_(starter),
      view_(view),
      fileExists_(std::move(fileExists)),
      path_(texts_.initialPath) {}

bool WizardModel::Enabled(Control control) const {
  switch (control) {
    case Control::List:
    case Control::Exit:
      return true;
    case Control::AllModules:
      return !running_ && !texts_.allModulesText.empty();
    case Control::Major:
    case Control::Minor:
      return !running_ && texts_.hasVersions;
    case Control::SaveReport:
      return !running_ && report_.has_value();
    case Control::Path:
    case Control::Browse:
    case Control::Action:
      return !running_;
  }
  return false;
}

std::string WizardModel::BrowseFolder() const {
  if (running_ || !fileExists_(path_)) return {};
  return GetFolderFromPath(path_);
}

void WizardModel::Choose(const std::string& path) {
  path_ = path;
  actionVisible_ = fileExists_(path_);
  view_.Refresh();
}

void WizardModel::BrowseChosen(const std::optional<std::string>& chosen) {
  if (running_ || !chosen) return;
  Choose(*chosen);
}

void WizardModel::OpenPath(const std::string& absolutePath) {
  if (running_ || absolutePath.empty()) return;
  Choose(absolutePath);
}

bool WizardModel::AcceptsDrop(const std::vector<std::string>& paths) const {
  if (running_ || paths.size() != 1) return false;
  return std::any_of(texts_.suffixes.begin(), texts_.suffixes.end(),
                     [&](const std::string& s) { return EndsWithNoCase(paths.front(), s); });
}

bool WizardModel::Drop(const std::vector<std::string>& paths) {
  if (!AcceptsDrop(paths)) return false;
  Choose(paths.front());
  return true;
}

void WizardModel::Action() {
  if (running_ || closing_) return;
  if (texts_.hasVersions) {
    const struct {
      const std::string& text;
      Control box;
      const char* name;
    } boxes[] = {{major_, Control::Major, "major"}, {minor_, Control::Minor, "minor"}};
    for (const auto& b : boxes) {
      if (VersionTextAllowed(b.text)) continue;
      lines_.clear();
      view_.ClearList();
      AddLines({"Refused: the " + std::string(b.name) + " version " +
                std::string(kVersionTextRule) + "; no file was changed"});
      view_.FocusBox(b.box);
      return;
    }
  }
  RunSettings settings;
  settings.path = path_;
  settings.major = major_;
  settings.minor = minor_;
  settings.allModules = allModules_ && !texts_.allModulesText.empty();
  lines_.clear();
  reportStatus_.clear();
  runPath_ = path_;
  running_ = true;
  view_.ClearList();
  view_.Refresh();
  starter_.StartRun(settings);
}

void WizardModel::Exit() {
  if (running_) {
    // The run stops where it is, leaving every file as it was; the window
    // goes once it has stopped.
    if (!closing_) {
      closing_ = true;
      starter_.StopRun();
    }
    return;
  }
  view_.Close();
}

void WizardModel::AddLines(std::vector<std::string> lines) {
  if (lines.empty()) return;
  view_.AppendLines(lines);
  if (lines_.empty()) {
    lines_ = std::move(lines);
  } else {
    lines_.insert(lines_.end(), std::make_move_iterator(lines.begin()),
                  std::make_move_iterator(lines.end()));
  }
}

void WizardModel::RunEnded(const RunOutcome& outcome, std::optional<std::string> report) {
  if (!running_) return;
  running_ = false;
  // The run's last line ("Finish..." or the failure) is already in the list.
  // After a failure the path box keeps the path, so that the user can try
  // again once the file is fixed.
  if (outcome.status == RunOutcome::Status::Completed) {
    path_ = kAfterRunText;
    if (texts_.hidesActionAfterRun) actionVisible_ = false;
  }
  if (closing_) {
    closing_ = false;
    view_.Close();
    return;
  }
  if (report) report_ = std::move(report);
  view_.Refresh();
}

std::string WizardModel::ReportFileName() const {
  // Beside the project (its folder ends with a separator), or where the
  // Save dialog starts.
  const std::string folder = fileExists_(runPath_) ? GetFolderFromPath(runPath_) : "";
  return folder + "kvmigrate-report.txt";
}

void WizardModel::ReportSaved(const std::string& path, const std::string& error) {
  reportStatus_ = error.empty() ? "Saved to " + path : "Could not save " + path + ": " + error;
  view_.Refresh();
}

std::string ReportText(const RunRecord& record, Disk& disk) {
  std::string folder;
  if (const std::optional<std::string> project = disk.Find(record.project(), "")) {
    folder = GetFolderFromPath(*project);
  }
  std::string text = FormatReport(record, SIZE_MAX, folder) + FormatLeftAlone(record);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace kv::gui
