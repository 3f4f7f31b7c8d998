// The text and path helpers against their step-by-step versions, on any bytes.
//
// Input: the first byte picks the delimiter length (1 to 4) and the flags, the
// next bytes are the delimiter, the rest is the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "general_functions.h"
#include "reference.h"
#include "string_functions.h"

using kvfuzz::Check;
using kvfuzz::CheckEq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const size_t delimiterSize = std::min<size_t>(1 + (control & 3), size - 1);
  std::string delimiter(reinterpret_cast<const char*>(data + 1), delimiterSize);
  if (delimiter.empty()) delimiter = ",";
  if (control & 4) delimiter = ",";  // the delimiter the parsing uses
  const std::string text(reinterpret_cast<const char*>(data + 1 + delimiterSize),
                         size - 1 - delimiterSize);
  const bool removeTabs = (control & 8) != 0;

  // RemoveControlChars and NormalizeSpaces work in place and return their argument.
  {
    std::string fast = text;
    std::string slow = text;
    std::string& returned = kv::RemoveControlChars(fast, removeTabs);
    Check(&returned == &fast, "RemoveControlChars returns its argument");
    CheckEq(fast, ref::RemoveControlChars(slow, removeTabs), "RemoveControlChars");
  }
  std::string normalized = text;
  {
    std::string slow = text;
    std::string& returned = kv::NormalizeSpaces(normalized);
    Check(&returned == &normalized, "NormalizeSpaces returns its argument");
    CheckEq(normalized, ref::NormalizeSpaces(slow), "NormalizeSpaces");
    // Cleaning a clean text changes nothing.
    std::string again = normalized;
    CheckEq(kv::NormalizeSpaces(again), normalized, "NormalizeSpaces twice");
  }

  CheckEq(kv::SplitToArray(text, delimiter), ref::SplitToArray(text, delimiter), "SplitToArray");

  CheckEq(kv::GetFileNameFromPath(text), ref::GetFileNameFromPath(text), "GetFileNameFromPath");
  CheckEq(kv::GetFolderFromPath(text), ref::GetFolderFromPath(text), "GetFolderFromPath");
  {
    const std::optional<std::string> fast = kv::GetFileExtension(text);
    const std::optional<std::string> slow = ref::GetFileExtension(text);
    Check(fast.has_value() == slow.has_value(), "GetFileExtension: a dot or none");
    if (fast) CheckEq(*fast, *slow, "GetFileExtension");
  }
  // A folder and the rest of its path join back into the path.
  {
    const std::string folder = kv::GetFolderFromPath(text);
    Check(text.compare(0, folder.size(), folder) == 0, "GetFolderFromPath is a prefix");
    std::string rest = text.substr(folder.size());
    CheckEq(kv::GetFileNameFromPath(text), kv::NormalizeSpaces(rest), "folder + name = path");
  }

  // Case-folded search and comparison, against folding both sides first.
  {
    std::string hay = ref::Mid(text, 1, text.size());
    std::string needle = delimiter;
    for (char& c : hay) c = ref::Lower(c);
    for (char& c : needle) c = ref::Lower(c);
    const size_t from = text.empty() ? 0 : control % (text.size() + 1);
    const size_t fast = kv::FindNoCase(text, delimiter, from);
    const size_t slow = hay.find(needle, from);
    Check(fast == slow, "FindNoCase");
    Check(kv::EqualsNoCase(text, delimiter) == (hay == needle), "EqualsNoCase");
    std::string upper = kv::ToUpperAscii(text);
    Check(kv::EqualsNoCase(upper, text) && upper.size() == text.size(), "ToUpperAscii folds");
    for (const char c : upper) Check(!(c >= 'a' && c <= 'z'), "ToUpperAscii leaves no lower case");
  }
  return 0;
}
