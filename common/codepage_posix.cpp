// Code page conversion with the C library's iconv.
#include <errno.h>
#include <iconv.h>

#include "codepage.h"

namespace kv {

namespace {

struct Converter {
  iconv_t cd;
  explicit Converter(const std::string& codepage) : cd(::iconv_open("UTF-8", codepage.c_str())) {}
  ~Converter() {
    if (Ok()) ::iconv_close(cd);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool Ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

}  // namespace

std::optional<std::string> DecodeToUtf8(std::string_view bytes, const std::string& codepage) {
  Converter conv(codepage);
  if (!conv.Ok()) return std::nullopt;
  // No character of a code page takes more than four bytes of UTF-8.
  std::string out(bytes.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* to = out.data();
  size_t outLeft = out.size();
  if (::iconv(conv.cd, &in, &inLeft, &to, &outLeft) == static_cast<size_t>(-1)) {
    return std::nullopt;  // an invalid or incomplete sequence
  }
  if (::iconv(conv.cd, nullptr, nullptr, &to, &outLeft) == static_cast<size_t>(-1)) {
    return std::nullopt;
  }
  out.resize(out.size() - outLeft);
  return out;
}

std::optional<std::string> EntryNameFrom(std::string_view bytes, const std::string& codepage,
                                         unsigned) {
  return DecodeToUtf8(bytes, codepage);
}

bool CodepageSupported(const std::string& codepage) {
  return !codepage.empty() && Converter(codepage).Ok();
}

std::vector<std::string> DefaultCodepages() {
  return {"CP1252", "CP932",  "CP936",  "CP949",  "CP950",  "CP1250", "CP1251",
          "CP1253", "CP1254", "CP1255", "CP1256", "CP1257", "CP1258", "CP874"};
}

}  // namespace kv
