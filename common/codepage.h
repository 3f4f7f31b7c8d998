// Names written in a project's own code page. A project file saved on Windows
// holds its entry names in the code page of the machine that wrote it
// (Windows-1252 in western Europe, 932 in Japan); the file system here names
// files in UTF-8. This interface turns the one into the other; each platform
// provides it in a file of its own (codepage_posix.cpp uses iconv).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// `bytes` written in code page `codepage`, as UTF-8; nullopt when the code page
// is unknown or the bytes are not valid text in it.
std::optional<std::string> DecodeToUtf8(std::string_view bytes, const std::string& codepage);

// True when `codepage` names a code page that DecodeToUtf8 can convert from.
bool CodepageSupported(const std::string& codepage);

#ifdef _WIN32
// The Windows code page number that a name such as "CP1252", "WINDOWS-1252",
// "932" or "SHIFT_JIS" stands for; 0 when it names none.
unsigned WindowsCodePage(const std::string& name);

// A path the system gave in UTF-16 (a folder walk's), as a file layer whose
// paths are in code page `pathCodePage` takes it: in that code page when it
// holds every character, otherwise in UTF-8 behind kUtf8Mark.
std::string LayerPathFromWide(const std::wstring& path, unsigned pathCodePage);
#endif

// The name that the file layer opens for `bytes` written in `codepage`, or
// nullopt when the bytes are not valid text in it. On POSIX systems its UTF-8
// form; on Windows the narrow form in the layer's path code page
// (Disk::PathCodePage) when that holds every character, otherwise the UTF-8
// form behind kUtf8Mark.
std::optional<std::string> EntryNameFrom(std::string_view bytes, const std::string& codepage,
                                         unsigned pathCodePage);

// The code pages tried, in order, when none is named: every Windows ANSI code
// page, western European first (1252, 932, 936, 949, 950, 1250, 1251, 1253,
// 1254, 1255, 1256, 1257, 1258, 874).
std::vector<std::string> DefaultCodepages();

}  // namespace kv
