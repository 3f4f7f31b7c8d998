// The command line's whole path on small trees of real files: a project and
// the files it may list, written to a temporary folder, migrated by RunCli as
// kvmigrate-cli would be, then migrated again.
//
// Input: the first byte picks the options (bit 0: a .NET solution instead of
// a VB6 project; bit 1: --dry-run; bit 2: --diff; bit 3: --codepage CP932).
// The rest is cut at "\n====\n": the first piece is the project (P.vbp or
// S.sln), the next ones are written at the fixed names of kNames, so that
// entries can name them (in any letter case, with "\" or "/").
//
// Checks: RunCli returns 0 or 1 (nothing here can fail a read or a write);
// every line it prints, on either stream, is free of control bytes (the
// diff's own lines, being file contents, excepted); a dry run changes no file;
// a second run changes nothing. --confine is always given, so that no entry
// reaches a file outside the temporary folder.
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cli.h"
#include "fuzz_util.h"

namespace fs = std::filesystem;
using kvfuzz::Check;
using kvfuzz::CheckEq;

namespace {

constexpr const char* kNames[] = {"A.frm",      "B.bas",           "Sub/C.frm", "E  E.bas",
                                  "P/P.csproj", "P/a.cs",          "P/b.resx",  "Q/Q.vbproj",
                                  "Q/c.vb",     "\xe3\x82\xbd.frm"};

using Tree = std::map<std::string, std::string>;

Tree Snapshot(const fs::path& root) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    tree[fs::relative(entry.path(), root).string()] = {std::istreambuf_iterator<char>(in), {}};
  }
  return tree;
}

struct Output {
  int status;
  std::string out;
  std::string err;
};

Output Run(std::vector<std::string> args) {
  std::vector<const char*> argv = {"kvmigrate-cli"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  char* outBuf = nullptr;
  char* errBuf = nullptr;
  size_t outLen = 0;
  size_t errLen = 0;
  FILE* out = ::open_memstream(&outBuf, &outLen);
  FILE* err = ::open_memstream(&errBuf, &errLen);
  const int status = kv::RunCli(static_cast<int>(argv.size()), argv.data(), out, err);
  std::fclose(out);
  std::fclose(err);
  Output result{status, std::string(outBuf, outLen), std::string(errBuf, errLen)};
  std::free(outBuf);
  std::free(errBuf);
  return result;
}

void CheckPrintable(const std::string& text, const char* what) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte != '\n' && (byte < 0x20 || byte == 0x7F)) kvfuzz::Fail(what, text, "");
  }
}

// Whether a version value holds what the version rewrite looks for: then a
// second run may rewrite it again (a documented exception).
bool Tangled(const Tree& tree) {
  for (const auto& [name, text] : tree) {
    for (const std::string key : {"VersionMajor = \"", "VersionMinor = \""}) {
      for (size_t k = text.find(key); k != std::string::npos; k = text.find(key, k + 1)) {
        const std::string_view value = std::string_view(text).substr(k + key.size());
        const std::string_view inside = value.substr(0, value.find('"'));
        if (inside.find('{') != std::string_view::npos ||
            inside.find("VersionM") != std::string_view::npos) {
          return true;
        }
      }
    }
  }
  return false;
}

struct TempTree {
  fs::path root;
  TempTree() {
    std::string pattern = (fs::temp_directory_path() / "kvfuzz-XXXXXX").string();
    Check(::mkdtemp(pattern.data()) != nullptr, "a temporary folder");
    root = pattern;
  }
  ~TempTree() { fs::remove_all(root); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned options = data[0];
  const std::vector<std::string> parts =
      kvfuzz::SplitParts(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  const bool dotnet = options & 1;
  const bool diff = options & 4;
  const bool dryRun = (options & 2) || diff;

  TempTree tmp;
  const std::string project = dotnet ? "S.sln" : "P.vbp";
  for (size_t i = 0; i < parts.size() && i <= std::size(kNames); ++i) {
    const fs::path path = tmp.root / (i == 0 ? project : kNames[i - 1]);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << parts[i];
  }
  const Tree before = Snapshot(tmp.root);

  std::vector<std::string> args = {"--confine"};
  if (dryRun) args.push_back("--dry-run");
  if (diff) args.push_back("--diff");
  if (options & 8) args.insert(args.end(), {"--codepage", "CP932"});
  args.push_back((tmp.root / project).string());

  const Output first = Run(args);
  Check(first.status == 0 || first.status == 1, "a run over files that can be read ends 0 or 1");
  if (!diff) CheckPrintable(first.out, "standard output holds no control byte");
  CheckPrintable(first.err, "standard error holds no control byte");
  const Tree after = Snapshot(tmp.root);
  if (dryRun) {
    Check(after == before, "a dry run changes no file");
    return 0;
  }
  if (dotnet && (Tangled(before) || Tangled(after))) return 0;
  const Output second = Run(args);
  Check(second.status == first.status, "a second run ends as the first");
  const Tree again = Snapshot(tmp.root);
  for (const auto& [name, text] : after)
    CheckEq(again.at(name), text, "a second run changes nothing");
  return 0;
}
