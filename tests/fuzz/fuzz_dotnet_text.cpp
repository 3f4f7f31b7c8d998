// The .NET text migration on any bytes: it equals the literal stages (GUID
// rows, then name rows, one by one; then every version value behind a version
// 5 GUID, inside that GUID's element), and migrating the result again changes
// nothing.
//
// Input: the first byte picks the target version texts; the rest is the file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "dotnet_engine.h"
#include "fuzz_util.h"
#include "reference.h"

using kvfuzz::Check;
using kvfuzz::CheckEq;

namespace {

// Target versions as a user may type them; none holds a quote or a ">", so a
// second migration must find every value already at its target.
const std::pair<const char*, const char*> kVersions[] = {
    {"5", "0"}, {"10", "2"}, {"", ""}, {"5", ""}, {"123", "4.5"}, {"x y", "0"},
};

kv::RealDisk& NoDisk() {
  static kv::RealDisk disk;
  return disk;
}

std::vector<std::string> NewGuids(const kv::DotNetMigrator& m) {
  std::vector<std::string> guids;
  for (const kv::RuleRow& row : m.GuidRules()) guids.push_back(row.newText);
  return guids;
}

std::string LiteralRules(const std::string& input, const kv::DotNetMigrator& m) {
  std::string text = input;
  for (const kv::RuleRow& row : m.GuidRules()) ref::ApplyRow(text, row.oldText, row.newText);
  for (const kv::RuleRow& row : m.TextRules()) ref::ApplyRow(text, row.oldText, row.newText);
  return text;
}

// Whether a value that the version stage rewrites holds a version 5 GUID or a
// version key (the key's closing quote being the value's).
bool ValuesHoldMarkup(const std::string& text, const std::vector<std::string>& guids) {
  const std::string keys[] = {"VersionMajor = \"", "VersionMinor = \""};
  for (const std::string& g : guids) {
    for (size_t p = text.find(g); p != std::string::npos; p = text.find(g, p + g.size() + 1)) {
      const size_t start = p + g.size() + 1;
      if (start >= text.size()) break;
      const size_t gt = text.find('>', p + g.size());
      const size_t limit = gt == std::string::npos ? text.size() : gt;
      for (const std::string& key : keys) {
        const size_t k = text.find(key, start);
        if (k == std::string::npos || k >= limit) continue;
        const size_t close = text.find('"', k + key.size());
        if (close == std::string::npos || close >= limit) continue;
        const std::string value = text.substr(k + key.size(), close + 1 - k - key.size());
        for (const std::string& m : keys) {
          if (value.find(m) != std::string::npos) return true;
        }
        for (const std::string& other : guids) {
          if (value.find(other) != std::string::npos) return true;
        }
      }
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto& [major, minor] = kVersions[data[0] % std::size(kVersions)];
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

  kv::DotNetMigrator migrator(NoDisk());
  migrator.NewVersionMajor = major;
  migrator.NewVersionMinor = minor;

  std::string once = input;
  bool changed = false;
  std::string& returned = migrator.ConvertDotNetFile(once, nullptr, &changed);
  Check(&returned == &once, "ConvertDotNetFile returns its argument");
  Check(changed == (once != input), "told changed exactly when a byte changed");
  std::string literal = LiteralRules(input, migrator);
  ref::ConvertVersions(literal, NewGuids(migrator), major, minor);
  CheckEq(once, literal, "ConvertDotNetFile against the literal stages");

  // A second migration changes nothing, unless a version value held a GUID or
  // a key of its own: rewriting such a value changes which keys the GUIDs
  // reach, so there the text is rewritten value by value, as often as asked.
  std::string rules = LiteralRules(input, migrator);
  if (!ValuesHoldMarkup(rules, NewGuids(migrator))) {
    std::string twice = once;
    migrator.ConvertDotNetFile(twice);
    CheckEq(twice, once, "a migrated file migrates to itself");
  }

  // The version stage alone on a text without a version 5 GUID changes nothing.
  bool hasNewGuid = false;
  for (const kv::RuleRow& row : migrator.GuidRules()) {
    hasNewGuid = hasNewGuid || input.find(row.newText) != std::string::npos;
  }
  if (!hasNewGuid) {
    std::string versionsOnly = input;
    migrator.ConvertDotNetFileVersion(versionsOnly);
    CheckEq(versionsOnly, input, "no version 5 GUID, no version change");
  }
  return 0;
}
