// Parsing of solution and project texts: the projects a solution lists and
// the member files a project lists. Reads only its argument.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kept_ranges.h"

namespace kv {

// A project path of a solution as the run looks it up: `path`, field 1 of
// each block from "Project(" (any case) to the character after the next
// "EndProject", trimmed of spaces after the block was cleaned and its runs of
// blanks collapsed, and `written`, the path before its runs of blanks were
// collapsed (empty when the same). A path that holds a NUL keeps it, trimmed
// of spaces only: it names no file and is reported as written.
struct SolutionEntry {
  std::string path;
  std::string written = {};
  friend bool operator==(const SolutionEntry&, const SolutionEntry&) = default;
};
std::vector<SolutionEntry> GetSolutionEntries(std::string_view cfile);

// Names kept one after another in one buffer: a project may list hundreds of
// thousands of members, and a string object of its own for each costs more
// than the name.
class NameList {
 public:
  void Add(std::string_view name) {
    bytes_.append(name);
    ends_.push_back(bytes_.size());
  }
  size_t size() const { return ends_.size(); }
  std::string_view operator[](size_t i) const {
    const size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }

 private:
  std::string bytes_;
  std::vector<size_t> ends_;
};

// The files of a project that a run migrates, in document order: each <File>
// element's RelPath, or its Link when it has one (the file lives where Link
// says), and the Include of each Compile, EmbeddedResource, Content and None
// item (a value with a wildcard or a ";" left out); of those, the ones that
// end in .cs, .vb or .resx.
NameList ListMemberFiles(std::string_view cfile);

// The values that name member files (RelPath and Link of every <File>
// element, Include of every item above): they keep their bytes.
std::vector<TextRange> MemberPathRanges(std::string_view cfile);

// The blanks of XML between names and attributes.
inline bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace kv
