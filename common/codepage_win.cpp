// Code pages through the system's own conversion functions.
#include <windows.h>

#include <cctype>

#include "codepage.h"
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

std::optional<std::string> DecodeToUtf8(std::string_view bytes, const std::string& codepage) {
  const UINT number = WindowsCodePage(codepage);
  if (number == 0) return std::nullopt;
  if (bytes.empty()) return std::string();
  const int size = static_cast<int>(bytes.size());
  const int wide =
      MultiByteToWideChar(number, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  std::wstring text(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(number, MB_ERR_INVALID_CHARS, bytes.data(), size, text.data(), wide);
  const int utf8 = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
  if (utf8 <= 0) return std::nullopt;
  std::string out(static_cast<size_t>(utf8), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, out.data(), utf8, nullptr, nullptr);
  return out;
}

bool CodepageSupported(const std::string& codepage) { return WindowsCodePage(codepage) != 0; }

std::vector<std::string> DefaultCodepages() { return {"CP1252", "CP932"}; }

}  // namespace kv
