// The parts of the file layer that are the same on every platform.
#include <cstring>
#include <string_view>
#include <vector>

#include "disk.h"

namespace kv {

std::string IoError::Message() const { return reason.empty() ? std::strerror(code) : reason; }

const char* DiskOpName(DiskOp op) {
  switch (op) {
    case DiskOp::Open:
      return "open";
    case DiskOp::Read:
      return "read";
    case DiskOp::Write:
      return "write";
    case DiskOp::Flush:
      return "flush";
    case DiskOp::Rename:
      return "rename";
    case DiskOp::Check:
      return "check";
    case DiskOp::Meta:
      return "metadata";
    case DiskOp::Journal:
      return "journal";
    case DiskOp::Remove:
      return "remove";
  }
  return "?";
}

IoError Disk::ReadMapped(const std::string& resolvedPath, std::string* buffer, MappedText* text) {
  text->Reset();
  IoError e = ReadAll(resolvedPath, buffer);
  if (!e) text->Borrow(*buffer);
  return e;
}

IoError Disk::WriteEdited(const std::string& resolvedPath, const EditedText& text) {
  if (text.edits.empty()) return WriteAll(resolvedPath, text.base);
  return WriteAll(resolvedPath, text.Join());
}

std::optional<std::string> Disk::Canonical(const std::string& path) {
  // "." and ".." resolved on the text; a relative path stays relative.
  std::vector<std::string_view> parts;
  const std::string_view view(path);
  size_t pos = 0;
  while (pos <= view.size()) {
    size_t next = view.find('/', pos);
    if (next == std::string_view::npos) next = view.size();
    const std::string_view part = view.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty() || part == ".") continue;
    if (part == ".." && !parts.empty() && parts.back() != "..") {
      parts.pop_back();
    } else if (part != ".." || !view.starts_with('/')) {
      parts.push_back(part);
    }
  }
  std::string out = view.starts_with('/') ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += '/';
    out += parts[i];
  }
  if (out.empty()) return std::string(".");
  return out;
}

}  // namespace kv
