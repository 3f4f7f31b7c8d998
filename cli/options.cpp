#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <string_view>
#include <vector>

#include "codepage.h"
#include "dotnet_engine.h"

namespace kv {

namespace {

// Options that take a value, as the values they fill (a value given several
// times: the last counts).
struct Values {
  std::string major, minor, json, sarif, webRoot, codepage, scan;
  std::vector<std::string> paths;
  bool dryRun = false, diff = false, quiet = false, check = false, noScan = false;
  bool allModules = false, confine = false, version = false;
};

// Every option, in the order --help lists them.
void Define(CLI::App& app, Values& v) {
  auto value = [&](const char* name, std::string& to, const char* type, const char* text) {
    app.add_option(name, to, text)->type_name(type)->take_last();
  };
  value("--major", v.major, "TEXT",
        "target major version of .NET references (default 5); no quote, <, >, & or control "
        "character");
  value("--minor", v.minor, "TEXT", "target minor version of .NET references (default 0)");
  app.add_flag("--dry-run", v.dryRun, "write nothing; print what a real run would print");
  app.add_flag("--diff", v.diff, "also print a unified diff of every file that changes");
  app.add_flag("-q,--quiet", v.quiet,
               "print no progress lines and no summary (and search for leftovers only for "
               "--check or --json)");
  app.add_flag("--all-modules", v.allModules,
               ".vbp, .vbg: also classes, user controls, property pages, user documents and "
               "designers");
  value("--web-root", v.webRoot, "DIR",
        ".sln: take a web project http://host/P from DIR/P instead of passing over it");
  app.add_flag("--confine", v.confine,
               "refuse listed files outside the project's folder (they are reported as \"Can't "
               "find the : \"); without it they are followed and each is named on standard "
               "error");
  value("--codepage", v.codepage, "NAME",
        "code page the project's file names were written in, for names not found as they are "
        "(default: each Windows ANSI code page in turn, the first that names a file: 1252, "
        "932, 936, 949, 950, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258, 874)");
  app.add_flag("--check", v.check,
               "write nothing; exit 0 when a run would change nothing and nothing is left over, "
               "1 otherwise");
  value("--json", v.json, "FILE",
        "write a JSON record of the run to FILE, replacing it as a whole (\"-\": standard "
        "output, and the lines go to standard error)");
  value("--sarif", v.sarif, "FILE",
        "write what was left over to FILE as a SARIF 2.1.0 log, for CI systems that show "
        "findings beside the code, replacing it as a whole (\"-\": standard output, and the "
        "lines go to standard error); paths relative to the project's folder (PROJECTROOT)");
  app.add_flag("--no-scan", v.noScan, "do not search the project's folders for what was left over");
  value("--scan", v.scan, "PATH", "migrate nothing; list what a run over PATH would leave over");
  app.set_help_flag("-h,--help", "show this help");  // (made again: listed here)
  app.add_flag("--version", v.version, "show the version");
  app.add_option("PATH", v.paths)->type_name("PATH");
}

bool TakesValue(const CLI::Option& option) { return option.get_expected_max() > 0; }

// What an option's value is called in --help ("FILE").
std::string TypeOf(const CLI::Option& option) { return option.get_type_name(); }

// "-q, --quiet"
std::string NamesOf(const CLI::Option& option) {
  std::string names;
  for (const std::string& s : option.get_snames()) names += "-" + s + ", ";
  for (const std::string& l : option.get_lnames()) names += "--" + l + ", ";
  names.resize(names.size() - 2);
  return names;
}

// `text` wrapped at 79 columns, every line after the first indented by `indent`.
std::string Wrap(std::string_view text, size_t first, size_t indent) {
  constexpr size_t kWidth = 79;
  std::string out;
  size_t column = first;
  bool lineStart = true;
  while (!text.empty()) {
    const size_t end = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (!lineStart && column + 1 + word.size() > kWidth) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
      lineStart = true;
    }
    if (!lineStart) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    lineStart = false;
  }
  return out;
}

std::string Help(const CLI::App& app) {
  const std::vector<const CLI::Option*> options =
      app.get_options([](const CLI::Option* o) { return !o->get_positional(); });
  // Usage: every option of a run, as [--name TYPE], then PATH.
  const std::string lead = "Usage: kvmigrate-cli ";
  std::string synopsis;
  for (const CLI::Option* o : options) {
    const std::string name = o->get_lnames().front();
    if (name == "help" || name == "version" || name == "scan") continue;
    synopsis += "[--" + name + (TakesValue(*o) ? " " + TypeOf(*o) : "") + "] ";
  }
  std::string help = lead + Wrap(synopsis + "PATH", lead.size(), lead.size()) +
                     "\n       kvmigrate-cli --scan PATH\n"
                     "\n"
                     "Migrates a project in place to version 5 of the component libraries.\n"
                     "PATH ending in .vbp: a VB6 project with the forms and modules it lists;\n"
                     ".vbg: a VB6 project group, each project it lists.\n"
                     "PATH ending in .sln: a .NET solution with its projects and their .cs, .vb\n"
                     "and .resx files; an SDK-style project (<Project Sdk=...>) also with the\n"
                     "sources and .resx files below its folder that it does not list (not in bin,\n"
                     "obj or folders starting with \".\", nor matched by its Remove items).\n"
                     "\n";
  constexpr size_t kColumn = 19;
  for (const CLI::Option* o : options) {
    std::string head = "  " + NamesOf(*o) + (TakesValue(*o) ? " " + TypeOf(*o) : "");
    head += head.size() + 2 <= kColumn ? std::string(kColumn - head.size(), ' ') : "  ";
    help += head + Wrap(o->get_description(), head.size(), kColumn) + "\n";
  }
  help +=
      "\n"
      "Every option that takes a value takes it as --name VALUE or --name=VALUE.\n"
      "\n"
      "A run changes every file it should, or none: files are changed only when\n"
      "the run reaches its end. A failure, Ctrl-C, SIGTERM or a closed output\n"
      "stops it with no file changed.\n"
      "\n"
      "Progress lines and diffs go to standard output. Standard error names every\n"
      "listed file passed over (with its path), every file not modified (with\n"
      "its full path and the reason), every listed file outside the project's\n"
      "folder, and the failure that stopped a run; after a run, a summary and\n"
      "what was left over.\n"
      "\n"
      "Exit status: 0 done; 1 done, but a file was missing, refused, or could not\n"
      "be modified, or a web project was passed over; 2 bad arguments (nothing was\n"
      "read); 3 stopped by a failure (the last line says which file and why; no\n"
      "file was changed); 4 the run completed and changed its files, but the\n"
      "--json record could not be written; 130 interrupted (Ctrl-C or SIGTERM), or\n"
      "standard output failed (\"Finish...\" is then not printed). A run that\n"
      "stops still writes its record.\n";
  return help;
}

CliParse Refuse(std::string error) {
  CliParse parse;
  parse.action = CliParse::Action::Usage;
  parse.error = std::move(error);
  return parse;
}

}  // namespace

std::string CliHelp() {
  CLI::App app;
  Values values;
  Define(app, values);
  return Help(app);
}

CliParse ParseCliArguments(int argc, const char* const* argv) {
  CLI::App app;
  app.allow_extras();
  // "/name" is a path on every system, never an option.
  app.allow_windows_style_options(false);
  Values v;
  Define(app, v);

  // "--name=value" is handed on as "--name" "value", so that an empty value
  // stays empty (the parser would take the next argument for it); an option
  // that takes a value takes the next argument, whatever it looks like.
  std::vector<std::string> args;
  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (endOfOptions || !arg.starts_with("--")) {
      args.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      endOfOptions = true;
      args.emplace_back(arg);
      continue;
    }
    const size_t eq = arg.find('=');
    const std::string name(arg.substr(0, eq));
    const CLI::Option* option = app.get_option_no_throw(name);
    if (!option || option->get_positional()) {
      args.emplace_back(arg);
      continue;
    }
    if (!TakesValue(*option)) {
      if (eq != std::string_view::npos) return Refuse(name + " takes no value");
      args.emplace_back(arg);
      continue;
    }
    args.push_back(name);
    if (eq != std::string_view::npos) {
      args.emplace_back(arg.substr(eq + 1));
    } else if (i + 1 < argc) {
      args.emplace_back(argv[++i]);
    } else {
      return Refuse(name + " needs a " + TypeOf(*option));
    }
  }
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    CliParse help;
    help.action = CliParse::Action::Help;
    return help;
  } catch (const CLI::ParseError& e) {
    return Refuse(e.what());
  }
  if (v.version) {
    CliParse version;
    version.action = CliParse::Action::Version;
    return version;
  }
  for (const std::string& extra : app.remaining()) {
    if (extra != "--") return Refuse("unknown option " + extra);
  }

  // A value that names nothing is refused; --major and --minor may be empty.
  for (const char* name : {"--web-root", "--codepage", "--json", "--sarif", "--scan"}) {
    const CLI::Option* option = app.get_option(name);
    if (option->count() > 0 && option->as<std::string>().empty()) {
      return Refuse(std::string(name) + " needs a " + TypeOf(*option) + ", not an empty text");
    }
  }
  CliParse parse;
  CliOptions& o = parse.options;
  auto given = [&](const char* name) { return app.get_option(name)->count() > 0; };
  // A version text is written inside a project file's values: one that would
  // end the value is refused.
  const std::pair<const char*, const std::string&> versions[] = {{"--major", v.major},
                                                                 {"--minor", v.minor}};
  for (const auto& [name, text] : versions) {
    if (given(name) && !VersionTextAllowed(text)) {
      return Refuse(std::string(name) + " " + text + ": a version text " +
                    std::string(kVersionTextRule));
    }
  }
  if (given("--major")) o.major = v.major;
  if (given("--minor")) o.minor = v.minor;
  if (given("--json")) o.json = v.json;
  if (given("--sarif")) o.sarif = v.sarif;
  if (given("--web-root")) o.webRoot = v.webRoot;
  o.dryRun = v.dryRun;
  o.diff = v.diff;
  o.quiet = v.quiet;
  o.check = v.check;
  o.scan = !v.noScan;
  o.allModules = v.allModules;
  o.entries.confine = v.confine;
  if (given("--codepage")) {
    if (!CodepageSupported(v.codepage)) return Refuse("unknown code page " + v.codepage);
    o.entries.codepage = v.codepage;
  }
  o.scanOnly = given("--scan");
  if (o.scanOnly) v.paths.insert(v.paths.begin(), v.scan);
  if (v.paths.empty()) return Refuse("no PATH given");
  if (v.paths.size() > 1) return Refuse("only one PATH may be given");
  o.path = v.paths.front();
  if (o.scanOnly && !o.scan) return Refuse("--scan and --no-scan exclude each other");
  if (o.sarif && !o.scan) return Refuse("--sarif and --no-scan exclude each other");
  parse.action = CliParse::Action::Run;
  return parse;
}

}  // namespace kv
