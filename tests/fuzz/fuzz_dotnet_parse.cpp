// Solution and project parsing on any bytes, and a whole .NET run over a file
// tree held in memory.
//
// Input: pieces cut at "\n====\n". The first piece is a solution text, the
// others are project or source texts; each piece is also parsed on its own. In
// the run, every name that the solution or a project lists exists and holds
// one of the other pieces.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "dotnet_engine.h"
#include "fuzz_util.h"
#include "reference.h"
#include "solution_parsing.h"
#include "string_functions.h"

using kvfuzz::Check;
using kvfuzz::CheckEq;

namespace {

// Whether `text` holds `what`, ASCII case ignored.
bool HoldsNoCase(const std::string& text, std::string_view what) {
  return kv::FindNoCase(text, what, 0) != std::string_view::npos;
}

void CheckParsing(const std::string& text) {
  const std::vector<kv::SolutionEntry> entries = kv::GetSolutionEntries(text);
  const std::vector<std::string> projects = ref::GetSolutionProjects(text);
  // Solution folders are passed over; the literal version lists them.
  const bool folders = HoldsNoCase(text, "{2150E333-8FDC-42A3-9474-1A3956D46DE8}");
  Check(folders || entries.size() == projects.size(),
        "GetSolutionEntries: every block with a path");
  for (size_t i = 0; !folders && i < entries.size() && i < projects.size(); ++i) {
    const std::string& p = entries[i].path;
    // A path that holds a NUL keeps it: it names no file.
    if (p.find('\0') != std::string::npos) continue;
    CheckEq(p, projects[i], "GetSolutionEntries");
    Check(p.find_first_of("\r\n\"") == std::string::npos,
          "a project path holds no quote or line break");
    Check(p.empty() || (p.front() != ' ' && p.back() != ' '), "a project path is trimmed");
  }
  const auto listMembers = [&] {
    const kv::NameList list = kv::ListMemberFiles(text);
    std::vector<std::string> names;
    for (size_t i = 0; i < list.size(); ++i) names.emplace_back(list[i]);
    return names;
  };
  const std::vector<std::string> files = listMembers();
  // Without Link attributes and MSBuild items, the members are the <File>
  // elements' RelPaths.
  const bool fileElementsOnly = !HoldsNoCase(text, "link") && !HoldsNoCase(text, "<compile") &&
                                !HoldsNoCase(text, "<embeddedresource") &&
                                !HoldsNoCase(text, "<content") && !HoldsNoCase(text, "<none");
  if (fileElementsOnly) CheckEq(files, ref::GetProjectFiles(text), "ListMemberFiles");
  for (const std::string& f : files) {
    const std::string upper = kv::ToUpperAscii(f);
    const bool listed =
        upper.ends_with(".CS") || upper.ends_with(".VB") || upper.ends_with(".RESX");
    Check(listed, "only .cs, .vb and .resx files are listed");
    Check(f.front() != ' ' && f.back() != ' ', "a file path is trimmed");
  }
  // The parsing reads only its argument: asking again gives the same answer.
  Check(kv::GetSolutionEntries(text) == entries, "GetSolutionEntries again");
  CheckEq(listMembers(), files, "ListMemberFiles again");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> parts =
      kvfuzz::SplitParts(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const std::string& part : parts) CheckParsing(part);

  // A run over a tree in which every listed name exists.
  const std::vector<std::string> pool(parts.begin() + 1, parts.end());
  kvfuzz::MemoryDisk disk(pool);
  disk.Put("/s/App.sln", parts[0]);
  kv::DotNetMigrator migrator(disk);
  kvfuzz::LineSink first;
  const kv::RunOutcome outcome = migrator.ConvertFile("/s/App.sln", first);
  Check(outcome.status == kv::RunOutcome::Status::Completed, "a run that no disk fails completes");
  const std::map<std::string, std::string> after = disk.files();
  // As a project, as a listed source, or first one then the other.
  for (const std::string& written : disk.writes()) {
    std::string project = disk.originals().at(written);
    bool changed = false;
    migrator.ConvertDotNetProject(project, nullptr, &changed);
    Check(changed == (project != disk.originals().at(written)),
          "told changed exactly when a byte changed");
    std::string source = disk.originals().at(written);
    migrator.ConvertDotNetFile(source);
    std::string both = project;
    migrator.ConvertDotNetFile(both);
    const std::string& got = after.at(written);
    Check(got == project || got == source || got == both,
          "each written file holds its migrated text");
  }
  for (const auto& [name, contents] : after) {
    if (std::find(disk.writes().begin(), disk.writes().end(), name) == disk.writes().end()) {
      CheckEq(contents, disk.originals().at(name), "a file not written keeps its bytes");
    }
  }
  const size_t firstWrites = disk.writes().size();
  size_t parsed = 0;
  for (const std::string& line : first.lines) parsed += line.starts_with("Parsing Project [");
  Check(parsed >= firstWrites, "every write follows its Parsing Project line");

  // A second run over the migrated tree changes none of the files there.
  disk.ClearLog();
  kvfuzz::LineSink second;
  migrator.ConvertFile("/s/App.sln", second);
  for (const auto& [name, contents] : after) {
    CheckEq(disk.files().at(name), contents, "a second run changes nothing");
  }
  return 0;
}
