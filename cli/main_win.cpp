// kvmigrate-cli on Windows: the arguments arrive as UTF-16 and are handed on
// in the project's ANSI code page (Windows-1252, or the one --codepage names),
// the narrow form the file layer takes; the output is written as bytes,
// exactly as on other systems.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "codepage.h"
#include "disk.h"
#include "options.h"

namespace {

// `arg` in code page `cp`; `*lost` set when it holds a character that the
// code page cannot write (UTF-8 loses none).
std::string Narrow(const wchar_t* arg, UINT cp, BOOL* lost) {
  const int length = static_cast<int>(wcslen(arg));
  const bool utf8 = cp == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL* lostPtr = utf8 ? nullptr : lost;
  const int n = ::WideCharToMultiByte(cp, flags, arg, length, nullptr, 0, nullptr, lostPtr);
  std::string narrow(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(cp, flags, arg, length, narrow.data(), n, nullptr, lostPtr);
  return narrow;
}

// The code page that --codepage names, found by the front end's own parser
// over the arguments in UTF-8; 0 when none is named or the arguments are bad
// (the front end then says why). Found before the arguments are handed on,
// since they are handed on in it.
UINT NamedCodePage(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(Narrow(argv[i], CP_UTF8, nullptr));
  std::vector<const char*> pointers;
  for (const std::string& a : args) pointers.push_back(a.c_str());
  const kv::CliParse parse = kv::ParseCliArguments(argc, pointers.data());
  if (parse.action != kv::CliParse::Action::Run || parse.options.entries.codepage.empty()) return 0;
  return kv::WindowsCodePage(parse.options.entries.codepage);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  const UINT named = NamedCodePage(argc, argv);
  const UINT cp = named ? named : kv::kDefaultCodePage;
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    BOOL lost = FALSE;
    std::string arg = Narrow(argv[i], cp, &lost);
    if (lost) {
      std::fprintf(stderr,
                   "kvmigrate-cli: argument %d holds characters that code page %u cannot "
                   "write\n",
                   i, cp);
      return kv::kCliUsage;
    }
    args.push_back(std::move(arg));
  }
  std::vector<const char*> pointers;
  for (const std::string& a : args) pointers.push_back(a.c_str());
  pointers.push_back(nullptr);
  // The lines carry names in the project's code page: a console shows them in
  // it for the length of the run (0 when there is no console: nothing to do).
  const UINT consoleCp = ::GetConsoleOutputCP();
  if (consoleCp != 0 && consoleCp != cp) ::SetConsoleOutputCP(cp);
  const int status = kv::RunCli(argc, pointers.data(), stdout, stderr, cp);
  std::fflush(stdout);
  if (consoleCp != 0 && consoleCp != cp) ::SetConsoleOutputCP(consoleCp);
  return status;
}
