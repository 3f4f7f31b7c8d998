// The version values of every reference to a version 5 library in a .NET
// project or source text: written as attributes (VersionMajor = "..." in the
// element that holds the GUID) and, in project files, as the elements of a
// <COMReference>.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "rule_matcher.h"
#include "rules.h"

namespace kv {

// What the rewrite looks for and what it writes.
struct VersionTargets {
  const RuleTable& guidRules;   // the GUID rows; each row's new GUID is a version 5 one
  const RuleMatcher& newGuids;  // finds those new GUIDs, one scan for all of them
  const std::string& major;     // the texts the values become, used exactly as given
  const std::string& minor;
};

// The one entry point of the attribute rewrite. After each version 5 GUID
// (spelled exactly as the table writes it) and the one character behind it,
// the first VersionMajor = "..." and VersionMinor = "..." value up to the end
// of the element (its ">") becomes the target text: the result of doing so
// literally, one GUID after the other, row by row. It has three stages, of
// which the first that is sound for the text does the work: all rewrites
// planned on the text as it came in and done in one pass; the literal rewrite
// followed on the text as it came in, in one pass per row; and, for target
// texts that could themselves form a GUID or a key, the literal rewrite
// itself. With `changed`, *changed becomes true when some byte changed.
std::string& RewriteVersions(const VersionTargets& targets, std::string& cfile, bool* changed);

// The keys every value RewriteVersions rewrites follows: a text that holds
// neither is left as it is.
std::array<std::string_view, 2> VersionKeyTexts();

// In each <COMReference> ... </COMReference> element that holds a version 5
// GUID, the contents of its first <VersionMajor> and <VersionMinor> become the
// target texts.
std::string& RewriteComReferenceVersions(const VersionTargets& targets, std::string& cfile,
                                         bool* changed);

}  // namespace kv
