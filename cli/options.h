// The command line of kvmigrate-cli: its options, defined once, parsed into
// CliOptions, and the --help text made from the same definitions.
#pragma once

#include <optional>
#include <string>

#include "resolve.h"

namespace kv {

struct CliOptions {
  std::optional<std::string> major;
  std::optional<std::string> minor;
  bool dryRun = false;
  bool diff = false;
  bool quiet = false;
  bool check = false;
  bool scan = true;       // false: --no-scan
  bool scanOnly = false;  // --scan PATH
  std::optional<std::string> json;
  std::optional<std::string> sarif;  // --sarif FILE
  bool allModules = false;
  std::optional<std::string> webRoot;
  ResolveOptions entries;  // --confine, --codepage
  std::string path;
};

struct CliParse {
  enum class Action {
    Run,      // `options` holds what to do
    Help,     // --help: print CliHelp()
    Version,  // --version
    Usage,    // bad arguments: `error` says why
  };
  Action action = Action::Usage;
  CliOptions options;
  std::string error;  // as typed: the caller escapes it
};

// Parses argv[1..argc-1]. Every option that takes a value takes it as
// "--name value" or "--name=value"; "--" ends the options.
CliParse ParseCliArguments(int argc, const char* const* argv);

// The --help text.
std::string CliHelp();

}  // namespace kv
