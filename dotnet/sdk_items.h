// What modern project files say without listing it: solution folders in a
// .sln, the files an SDK-style project compiles by default, and MSBuild's
// escapes in item values.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "disk.h"

namespace kv {

// An MSBuild item value with each "%" and two hexadecimal digits turned into
// the byte they stand for ("My%20File.cs" -> "My File.cs").
std::string UnescapeMsBuild(std::string_view value);

// Whether a solution's project block is a solution folder ("Solution Items"
// and the like): the text before its first "," holds the folder type GUID.
bool IsSolutionFolder(std::string_view block);

// What an SDK-style project file (its first <Project start tag holds an Sdk
// attribute) says about the files it compiles without listing them.
struct SdkItems {
  bool sdk = false;
  bool sources = true;    // EnableDefaultItems and EnableDefaultCompileItems not false
  bool resources = true;  // EnableDefaultItems and EnableDefaultEmbeddedResourceItems not false
  std::vector<std::string> removedSources;    // Remove patterns of <Compile> elements
  std::vector<std::string> removedResources;  // ... of <EmbeddedResource> elements
};
SdkItems ReadSdkItems(std::string_view projectText);

// Whether `path` (relative to the project's folder, "/" between names)
// matches an MSBuild pattern: "\" or "/" between names, "**" any number of
// folders, "*" and "?" within one name, ASCII case ignored.
bool MatchesItemPattern(std::string_view pattern, std::string_view path);

// The files below `folder` that the project `projectName` (a .csproj or
// .vbproj) compiles by default and does not list: sources of its language and
// .resx files, neither in bin or obj directly in the folder nor in a folder
// whose name starts with ".", nor removed, nor among `listed` (files already
// migrated for the project). Paths relative to `folder` with "/", ordered by
// their ASCII lower case, then byte by byte.
std::vector<std::string> SdkDefaultFiles(Disk& disk, const std::string& folder,
                                         std::string_view projectName, const SdkItems& items,
                                         const std::set<FileKey>& listed);

}  // namespace kv
