// Code pages through the system's own conversion functions.
#include <windows.h>

#include <cctype>

#include "codepage.h"
#include "disk.h"
#include "string_functions.h"

namespace kv {

unsigned WindowsCodePage(const std::string& name) {
  const std::string upper = ToUpperAscii(name);
  if (upper == "SHIFT_JIS" || upper == "SJIS") return 932;
  std::string_view digits = upper;
  for (const std::string_view prefix : {"WINDOWS-", "CP"}) {
    if (digits.starts_with(prefix)) {
      digits.remove_prefix(prefix.size());
      break;
    }
  }
  if (digits.empty() || digits.size() > 5) return 0;
  UINT number = 0;
  for (const char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    number = number * 10 + static_cast<UINT>(c - '0');
  }
  return IsValidCodePage(number) ? number : 0;
}

namespace {

// `bytes` in code page `number` as UTF-16; nullopt when they are not valid text in it.
std::optional<std::wstring> ToWide(std::string_view bytes, UINT number) {
  if (bytes.empty()) return std::wstring();
  const int size = static_cast<int>(bytes.size());
  const int wide =
      MultiByteToWideChar(number, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  std::wstring text(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(number, MB_ERR_INVALID_CHARS, bytes.data(), size, text.data(), wide);
  return text;
}

// UTF-16 text in code page `number`; nullopt when some character has no form there.
std::optional<std::string> FromWide(const std::wstring& text, UINT number) {
  if (text.empty()) return std::string();
  const bool utf8 = number == CP_UTF8;
  BOOL lost = FALSE;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL* lostPtr = utf8 ? nullptr : &lost;
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(number, flags, text.data(), size, nullptr, 0, nullptr, lostPtr);
  if (n <= 0 || lost) return std::nullopt;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(number, flags, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::optional<std::string> DecodeToUtf8(std::string_view bytes, const std::string& codepage) {
  const UINT number = WindowsCodePage(codepage);
  if (number == 0) return std::nullopt;
  const std::optional<std::wstring> text = ToWide(bytes, number);
  if (!text) return std::nullopt;
  return FromWide(*text, CP_UTF8);
}

std::optional<std::string> EntryNameFrom(std::string_view bytes, const std::string& codepage,
                                         unsigned pathCodePage) {
  const UINT number = WindowsCodePage(codepage);
  if (number == 0) return std::nullopt;
  const std::optional<std::wstring> text = ToWide(bytes, number);
  if (!text) return std::nullopt;
  // The file layer takes narrow paths in the path code page; a name it cannot
  // hold goes in UTF-8 behind the mark that says so.
  if (std::optional<std::string> narrow = FromWide(*text, pathCodePage)) return narrow;
  const std::optional<std::string> utf8 = FromWide(*text, CP_UTF8);
  if (!utf8) return std::nullopt;
  return std::string(1, kUtf8Mark) + *utf8;
}

std::string LayerPathFromWide(const std::wstring& path, unsigned pathCodePage) {
  if (std::optional<std::string> narrow = FromWide(path, pathCodePage)) return *narrow;
  // UTF-16 from the system may hold a lone surrogate, which no UTF-8 holds:
  // such a name cannot be opened by the layer, and reads as unreadable.
  return std::string(1, kUtf8Mark) + FromWide(path, CP_UTF8).value_or(std::string());
}

bool CodepageSupported(const std::string& codepage) { return WindowsCodePage(codepage) != 0; }

std::vector<std::string> DefaultCodepages() {
  return {"CP1252", "CP932",  "CP936",  "CP949",  "CP950",  "CP1250", "CP1251",
          "CP1253", "CP1254", "CP1255", "CP1256", "CP1257", "CP1258", "CP874"};
}

}  // namespace kv
