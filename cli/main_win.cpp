// kvmigrate-cli on Windows: the arguments arrive as UTF-16 and are handed on
// in the project's ANSI code page (Windows-1252, or the one --codepage names),
// the narrow form the file layer takes; the output is written as bytes,
// exactly as on other systems.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "codepage.h"
#include "disk.h"

namespace {

// The code page that --codepage names ("--codepage NAME" or "--codepage=NAME";
// the last one counts), or 0 when none is named or the name is unknown (the
// front end then says so). Found before the other arguments are converted,
// since they are handed on in it.
UINT NamedCodePage(int argc, wchar_t** argv) {
  constexpr std::wstring_view kTakesValue[] = {L"--major", L"--minor", L"--web-root", L"--json",
                                               L"--scan"};
  UINT page = 0;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view arg(argv[i]);
    if (arg == L"--") break;
    std::wstring_view name;
    if (arg == L"--codepage" && i + 1 < argc) {
      name = argv[++i];
    } else if (arg.starts_with(L"--codepage=")) {
      name = arg.substr(arg.find(L'=') + 1);
    } else {
      if (std::find(std::begin(kTakesValue), std::end(kTakesValue), arg) != std::end(kTakesValue)) {
        ++i;  // its value, whatever it looks like
      }
      continue;
    }
    std::string ascii;
    for (const wchar_t c : name) ascii += c < 0x80 ? static_cast<char>(c) : '?';
    page = kv::WindowsCodePage(ascii);
  }
  return page;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  if (const UINT named = NamedCodePage(argc, argv)) kv::SetPathCodePage(named);
  const UINT cp = kv::PathCodePage();
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    const int length = static_cast<int>(wcslen(argv[i]));
    BOOL lost = FALSE;
    // UTF-8 has no default character and takes no flags; it cannot lose any.
    const bool utf8 = cp == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL* lostPtr = utf8 ? nullptr : &lost;
    const int n = ::WideCharToMultiByte(cp, flags, argv[i], length, nullptr, 0, nullptr, lostPtr);
    std::string arg(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
      ::WideCharToMultiByte(cp, flags, argv[i], length, arg.data(), n, nullptr, lostPtr);
    }
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
  const int status = kv::RunCli(argc, pointers.data(), stdout, stderr);
  std::fflush(stdout);
  if (consoleCp != 0 && consoleCp != cp) ::SetConsoleOutputCP(consoleCp);
  return status;
}
