// Helpers shared by the engine, front-end and window tests.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "progress.h"

namespace kvtest {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return (path_ / rel).string(); }

  // Writes `bytes` at `rel`, creating folders as needed.
  void Write(const std::string& rel, const std::string& bytes) const;
  std::string Read(const std::string& rel) const;
  // Every regular file below the folder, by relative path, with its bytes.
  std::map<std::string, std::string> Snapshot() const;

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// Copies a folder of examples into `to`.
void CopyTree(const std::filesystem::path& from, const std::filesystem::path& to);

struct CollectingSink : kv::LineReporter {
  std::vector<std::string> lines;
  void Line(const std::string& line) override { lines.push_back(line); }
};

// Runs a command through the shell; returns its exit status and standard
// output (and standard error, when asked for).
struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};
CommandResult RunCommand(const std::string& command);

// An argument quoted for RunCommand's shell (sh, or cmd.exe on Windows).
std::string Quote(const std::string& s);

// Runs this build's kvmigrate-cli with `args` (quoted where needed) and no
// input, in the folder `cwd` when one is given. Only in tests whose build
// names the program (KV_CLI_PATH).
CommandResult Cli(const std::string& args, const std::string& cwd = "");

// Takes every write permission away (on Windows: sets the read-only attribute).
void MakeReadOnly(const std::filesystem::path& path);

std::vector<std::string> SplitLines(const std::string& text);

// True when the process may ignore permission bits (root).
bool RunningAsRoot();

}  // namespace kvtest
