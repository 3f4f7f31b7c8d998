#include "leftover_scan.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "cancel.h"
#include "general_functions.h"
#include "rule_scan.h"
#include "string_functions.h"

namespace kv {

namespace {

namespace fs = std::filesystem;

// What is searched for: the old text, and the rest that a migrated
// occurrence has after it (empty: every occurrence is left over).
struct Needle {
  std::string text;
  std::string migratedRest;
  bool guid = false;  // matched without regard to case, but the rules match it exactly
};

std::vector<Needle> BuildNeedles() {
  std::vector<Needle> needles;
  for (const RuleRow& row : BuildGuidRules()) {
    needles.push_back({row.oldText.substr(1, row.oldText.size() - 2), {}, true});
  }
  for (const RuleRow& row : BuildTextRules()) {
    const bool grows =
        row.newText.size() > row.oldText.size() &&
        EqualsNoCase(std::string_view(row.newText).substr(0, row.oldText.size()), row.oldText);
    needles.push_back({row.oldText, grows ? row.newText.substr(row.oldText.size()) : "", false});
  }
  return needles;
}

// The needles prepared for one candidate scan over a text.
struct NeedleScan {
  std::vector<std::string> folded;
  rulescan::CandidateScan scan;
  explicit NeedleScan(const std::vector<Needle>& needles)
      : folded(Folded(needles)), scan(folded, BestScanTier()) {}
  static std::vector<std::string> Folded(const std::vector<Needle>& needles) {
    std::vector<std::string> out;
    for (const Needle& n : needles) out.push_back(rulescan::FoldText(n.text));
    return out;
  }
};

// Ranges of a text, asked whether they hold a position: a binary search
// (the ranges sorted by start, with the furthest end reached so far).
class RangeSet {
 public:
  explicit RangeSet(std::vector<TextRange> ranges) : ranges_(std::move(ranges)) {
    std::sort(ranges_.begin(), ranges_.end(),
              [](const TextRange& a, const TextRange& b) { return a.begin < b.begin; });
    size_t reach = 0;
    for (const TextRange& r : ranges_) reachBy_.push_back(reach = std::max(reach, r.end));
  }
  bool Holds(size_t pos) const {
    const auto after = std::upper_bound(ranges_.begin(), ranges_.end(), pos,
                                        [](size_t p, const TextRange& r) { return p < r.begin; });
    return after != ranges_.begin() && reachBy_[after - ranges_.begin() - 1] > pos;
  }

 private:
  std::vector<TextRange> ranges_;
  std::vector<size_t> reachBy_;  // [i]: the furthest end of ranges_[0..i]
};

bool IsBreak(std::string_view text, size_t i) {
  return text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'));
}

}  // namespace

const char* ReasonKey(LeftoverReason reason) {
  switch (reason) {
    case LeftoverReason::NotListed:
      return "not-listed";
    case LeftoverReason::NotFollowed:
      return "not-followed";
    case LeftoverReason::Binary:
      return "binary";
    case LeftoverReason::LowerCaseGuid:
      return "lower-case-guid";
    case LeftoverReason::OwnMember:
      return "own-member";
    case LeftoverReason::EntryPath:
      return "entry-path";
    case LeftoverReason::Unreadable:
      return "unreadable";
    case LeftoverReason::Other:
      return "other";
  }
  return "other";
}

bool Blocks(LeftoverReason reason) {
  return reason != LeftoverReason::OwnMember && reason != LeftoverReason::EntryPath;
}

bool IsScannedKind(std::string_view fileName) {
  static constexpr std::string_view kKinds[] = {
      ".vbp", ".vbg",    ".frm", ".bas",    ".cls",  ".ctl",    ".pag",  ".dob", ".dsr", ".sln",
      ".cs",  ".csproj", ".vb",  ".vbproj", ".resx", ".config", ".licx", ".frx", ".ctx"};
  return std::any_of(std::begin(kKinds), std::end(kKinds),
                     [&](std::string_view ext) { return EndsWithNoCase(fileName, ext); });
}

bool IsBinaryKind(std::string_view fileName) {
  return EndsWithNoCase(fileName, ".frx") || EndsWithNoCase(fileName, ".ctx");
}

void FindLeftovers(std::string_view path, std::string_view text, bool migrated,
                   LeftoverReason fileReason, std::vector<Leftover>& out, const ScanHooks& hooks) {
  static const std::vector<Needle> kNeedles = BuildNeedles();
  static const NeedleScan kScan(kNeedles);
  struct Hit {
    size_t pos;
    size_t size;
    LeftoverReason reason;
  };
  std::vector<Hit> hits;
  std::optional<std::vector<TextRange>> own;  // computed when first needed
  std::optional<RangeSet> paths;              // likewise
  // One pass over the text for all needles; each needle's occurrences are
  // taken left to right without overlapping one another, so hits come in
  // order of position (and of needle at one position).
  std::vector<size_t> nextFrom(kNeedles.size(), 0);
  rulescan::CandidateScan::Walker walker(kScan.scan, text);
  size_t polled = 0;  // progress counted towards the stop flag up to here
  for (size_t p = walker.Next(0); p != std::string_view::npos; p = walker.Next(p + 1)) {
    if (p - polled >= kCancelStride) {
      CancelPoint(p - polled);
      polled = p;
    }
    for (uint32_t rows = kScan.scan.RowsAt(text, p); rows != 0; rows &= rows - 1) {
      const size_t r = static_cast<size_t>(__builtin_ctz(rows));
      const Needle& needle = kNeedles[r];
      if (p < nextFrom[r] || !rulescan::FoldedAt(text, p, kScan.folded[r])) continue;
      nextFrom[r] = p + needle.text.size();
      const size_t after = p + needle.text.size();
      if (!needle.migratedRest.empty() &&
          EqualsNoCase(text.substr(after, needle.migratedRest.size()), needle.migratedRest)) {
        continue;
      }
      LeftoverReason reason = fileReason;
      if (migrated) {
        reason = LeftoverReason::Other;
        if (!paths) {
          paths.emplace(hooks.entryPaths ? hooks.entryPaths(path, text) : std::vector<TextRange>{});
        }
        if (paths->Holds(p)) {
          reason = LeftoverReason::EntryPath;
        } else if (needle.guid && text.substr(p, needle.text.size()) != needle.text) {
          reason = LeftoverReason::LowerCaseGuid;
        } else if (!needle.guid && hooks.ownMembers) {
          // In text order: one binary search.
          if (!own) own = hooks.ownMembers(path, text);
          const auto at =
              std::lower_bound(own->begin(), own->end(), p,
                               [](const TextRange& r, size_t pos) { return r.begin < pos; });
          if (at != own->end() && at->begin == p) {
            reason = LeftoverReason::OwnMember;
          }
        }
      }
      hits.push_back({p, needle.text.size(), reason});
    }
  }
  size_t line = 1;
  size_t lineStart = 0;
  size_t counted = 0;
  for (const Hit& hit : hits) {
    while (counted < hit.pos) {
      const size_t n = std::min(kCancelStride, hit.pos - counted);
      for (const size_t end = counted + n; counted < end; ++counted) {
        if (IsBreak(text, counted)) {
          ++line;
          lineStart = counted + 1;
        }
      }
      CancelPoint(n);
    }
    out.push_back(Leftover{.path = std::string(path),
                           .line = line,
                           .column = hit.pos - lineStart + 1,
                           .offset = hit.pos,
                           .text = std::string(text.substr(hit.pos, hit.size)),
                           .reason = hit.reason});
  }
}

std::vector<Leftover> ScanLeftovers(Disk& disk, const ScanRequest& request) {
  std::set<FileKey> migrated;
  for (const std::string& path : request.migrated) {
    if (const std::optional<FileKey> k = disk.Key(path)) migrated.insert(*k);
  }
  const std::set<FileKey> notFollowed = request.hooks.notFollowed
                                            ? request.hooks.notFollowed(disk, request.migrated)
                                            : std::set<FileKey>{};

  // Every file of a scanned kind, once, by path.
  std::map<std::string, FileKey> files;
  std::set<FileKey> seen;
  for (const std::string& folder : request.folders) {
    std::error_code ec;
    fs::recursive_directory_iterator it(folder.empty() ? "." : folder,
                                        fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.find(RealDisk::kTempMarker) != std::string::npos || !IsScannedKind(name)) continue;
      std::error_code typeError;
      if (!it->is_regular_file(typeError)) continue;
      const std::string path = it->path().string();
      const std::optional<FileKey> key = disk.Key(path);
      if (!key || !seen.insert(*key).second) continue;
      files.emplace(path, *key);
    }
  }

  std::vector<Leftover> found;
  std::string text;
  for (const auto& [path, key] : files) {
    if (IoError e = disk.ReadAll(path, &text)) {
      found.push_back(
          Leftover{.path = path, .reason = LeftoverReason::Unreadable, .error = e.code});
      continue;
    }
    const bool wasMigrated = migrated.contains(key);
    LeftoverReason reason = LeftoverReason::NotListed;
    if (IsBinaryKind(path)) {
      reason = LeftoverReason::Binary;
    } else if (notFollowed.contains(key)) {
      reason = LeftoverReason::NotFollowed;
    }
    FindLeftovers(path, text, wasMigrated && reason != LeftoverReason::Binary, reason, found,
                  request.hooks);
  }
  return found;
}

}  // namespace kv
