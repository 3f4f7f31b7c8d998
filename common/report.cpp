#include "report.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <utility>

#include "general_functions.h"

namespace kv {

RunRecord::RunRecord(std::string project) : project_(std::move(project)) {}

void RunRecord::Report(const ProgressEvent& e) {
  counts_.Add(e);
  FileRecord file{.name = e.name, .path = e.path};
  switch (e.kind) {
    case EventKind::FileConverted:
      file.changed = e.changed;
      file.ruleHits = e.ruleHits;
      file.keptMembers = e.keptMembers;
      break;
    case EventKind::FileMissing:
      file.status = FileRecord::Status::Missing;
      break;
    case EventKind::SourceMissing:
      file.status = FileRecord::Status::SourceMissing;
      break;
    case EventKind::NotModified:
      file.status = FileRecord::Status::NotModified;
      file.error = e.error;
      break;
    case EventKind::Stopped:
      status_ = "failed";
      failure_ = FormatLine(e).value_or(std::string());
      return;
    case EventKind::Cancelled:
      status_ = "cancelled";
      return;
    case EventKind::LeftAlone:
      leftAlone_.push_back(FormatNotice(e).value_or(std::string()));
      return;
    default:
      return;
  }
  files_.push_back(std::move(file));
}

ScanRequest RunRecord::ScanFor(Disk& disk) const {
  ScanRequest request;
  std::set<std::string> folders;
  auto addFolderOf = [&](const std::string& path) {
    const std::string found = GetFolderFromPath(path);
    const std::string folder = found.empty() ? std::string(".") : found;
    if (folders.insert(folder).second) request.folders.push_back(folder);
  };
  if (const std::optional<std::string> top = disk.Find(project_, "")) addFolderOf(*top);
  for (const FileRecord& file : files_) {
    if (file.status != FileRecord::Status::Migrated) continue;
    addFolderOf(file.path);
    request.migrated.push_back(file.path);
  }
  return request;
}

void RunRecord::Scan(Disk& disk, ScanHooks hooks) {
  // A folder inside another scanned folder is searched with it; its files
  // come once however many folders lead to them.
  ScanRequest request = ScanFor(disk);
  request.hooks = std::move(hooks);
  leftovers_ = ScanLeftovers(disk, request);
  scanned_ = true;
}

size_t RunRecord::LeftoverCount(LeftoverReason reason) const {
  size_t n = 0;
  for (const Leftover& l : leftovers_) n += l.reason == reason;
  return n;
}

size_t RunRecord::BlockingLeftovers() const {
  size_t n = 0;
  for (const Leftover& l : leftovers_) n += Blocks(l.reason);
  return n;
}

// ---------------------------------------------------------------------------
// The summary

const char* ReasonText(LeftoverReason reason) {
  switch (reason) {
    case LeftoverReason::NotListed:
      return "not listed by the project";
    case LeftoverReason::NotFollowed:
      return "listed as a class or other kind not followed";
    case LeftoverReason::Binary:
      return "binary file, never rewritten";
    case LeftoverReason::LowerCaseGuid:
      return "GUID not in upper case, which the rules do not match";
    case LeftoverReason::OwnMember:
      return "member of VB's own object, left alone on purpose";
    case LeftoverReason::EntryPath:
      return "part of a path the project names, kept as it is on purpose";
    case LeftoverReason::Unreadable:
      return "could not be read";
    case LeftoverReason::Other:
      return "in a migrated file, where no rule rewrites it";
  }
  return "";
}

std::string FormatLeftover(const Leftover& l, std::string_view base) {
  std::string_view path = l.path;
  // Either separator ends the folder ("\" in the paths of Windows).
  auto separator = [](char c) { return c == '/' || c == '\\'; };
  if (!base.empty() && path.size() > base.size() + 1 && path.starts_with(base) &&
      (separator(base.back()) || separator(path[base.size()]))) {
    path.remove_prefix(base.size() + (separator(base.back()) ? 0 : 1));
  }
  if (l.reason == LeftoverReason::Unreadable) {
    return ShowName(path) + ": " + ReasonText(l.reason) + ": " + std::strerror(l.error);
  }
  return ShowName(path) + ":" + std::to_string(l.line) + ":" + std::to_string(l.column) + ": " +
         ShowName(l.text) + " (" + ReasonText(l.reason) + ")";
}

std::string FormatSummary(const RunRecord& record) {
  const RunCounts& c = record.counts();
  std::string out = std::string(record.preview() ? "Summary (nothing written): " : "Summary: ") +
                    std::to_string(c.converted) + " files migrated (" + std::to_string(c.changed) +
                    " changed, " + std::to_string(c.converted - c.changed) + " unchanged), " +
                    std::to_string(c.missing + c.sourceMissing) + " missing, " +
                    std::to_string(c.notModified) + " not modified\n";
  if (!record.scanned()) return out;
  const size_t total = record.leftovers().size();
  if (total == 0) {
    out += "Left over: nothing\n";
    return out;
  }
  out += "Left over: " + std::to_string(total) + " (" + std::to_string(record.BlockingLeftovers()) +
         " to look at)\n";
  for (LeftoverReason reason : kAllReasons) {
    if (const size_t n = record.LeftoverCount(reason)) {
      out += "  " + std::to_string(n) + " " + ReasonText(reason) + "\n";
    }
  }
  return out;
}

std::string FormatReport(const RunRecord& record, size_t maxLeftovers, std::string_view base) {
  std::string out = FormatSummary(record);
  const std::vector<Leftover>& all = record.leftovers();
  for (size_t i = 0; i < all.size() && i < maxLeftovers; ++i)
    out += FormatLeftover(all[i], base) + "\n";
  if (all.size() > maxLeftovers) {
    out += "... and " + std::to_string(all.size() - maxLeftovers) + " more\n";
  }
  return out;
}

std::string FormatLeftAlone(const RunRecord& record) {
  std::string out;
  for (const std::string& notice : record.leftAlone()) out += notice + "\n";
  return out;
}

bool Done(const RunRecord& record, bool check) {
  const RunCounts& c = record.counts();
  return record.status() == "completed" && (!check || c.changed == 0) && !c.Incomplete() &&
         record.BlockingLeftovers() == 0;
}

std::string FormatVerdict(const RunRecord& record, bool check) {
  if (Done(record, check)) {
    return check ? "Check: done; a run would change nothing and nothing is left over"
                 : "Scan: nothing is left over";
  }
  std::string why;
  auto add = [&](size_t n, const char* what) {
    if (n == 0) return;
    why += why.empty() ? "" : ", ";
    why += std::to_string(n) + " " + what;
  };
  const RunCounts& c = record.counts();
  if (check) add(c.changed, c.changed == 1 ? "file would change" : "files would change");
  add(c.missing + c.sourceMissing, "missing");
  add(c.notModified, "not modified");
  add(record.BlockingLeftovers(), "left over");
  if (record.status() != "completed") why += why.empty() ? "the run stopped" : "; the run stopped";
  return std::string(check ? "Check" : "Scan") + ": not done: " + why;
}

// ---------------------------------------------------------------------------
// The JSON record

namespace {

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : 9;
    if (n == 9 || (n > 0 && (b < 0xC2 || i + n >= s.size()))) return false;
    for (size_t k = 1; k <= n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n + 1;
  }
  return true;
}

}  // namespace

std::string JsonString(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  const bool utf8 = ValidUtf8(s);
  std::string out = "\"";
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20 || b == 0x7F || (b >= 0x80 && !utf8)) {
      out += "\\u00";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

namespace {

std::string Quote(std::string_view s) { return JsonString(s); }

const char* StatusKey(FileRecord::Status s) {
  switch (s) {
    case FileRecord::Status::Migrated:
      return "migrated";
    case FileRecord::Status::Missing:
      return "missing";
    case FileRecord::Status::SourceMissing:
      return "source-missing";
    case FileRecord::Status::NotModified:
      return "not-modified";
  }
  return "migrated";
}

std::string Kind(std::string_view path) {
  const std::string name = GetFileNameFromPath(path);
  const size_t dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return ext;
}

std::string Num(size_t n) { return std::to_string(n); }

}  // namespace

RuleTable AllRuleRows() {
  RuleTable rows = BuildGuidRules();
  for (RuleRow& row : BuildTextRules()) rows.push_back(std::move(row));
  return rows;
}

std::string RunRecordJson(const RunRecord& record, const RuleTable& rows) {
  const RunCounts& c = record.counts();
  std::string j = "{\n  \"schema\": \"kvmigrate-run/1\",\n";
  j += "  \"project\": " + Quote(record.project()) + ",\n";
  j += "  \"status\": " + Quote(record.status()) + ",\n";
  j += "  \"failure\": " + (record.failure().empty() ? "null" : Quote(record.failure())) + ",\n";
  j += "  \"files\": [";
  const char* sep = "\n";
  for (const FileRecord& f : record.files()) {
    j += sep;
    sep = ",\n";
    j += "    {\"name\": " + Quote(f.name) +
         ", \"path\": " + (f.path.empty() ? "null" : Quote(f.path)) +
         ", \"kind\": " + Quote(Kind(f.path.empty() ? f.name : f.path)) + ", \"status\": \"" +
         StatusKey(f.status) + "\", \"changed\": " + (f.changed ? "true" : "false") +
         ", \"ruleHits\": [";
    const char* hitSep = "";
    for (size_t r = 0; r < f.ruleHits.size() && r < rows.size(); ++r) {
      if (f.ruleHits[r] == 0) continue;
      j += hitSep;
      hitSep = ", ";
      j += "{\"row\": " + Num(r) + ", \"old\": " + Quote(rows[r].oldText) +
           ", \"new\": " + Quote(rows[r].newText) + ", \"count\": " + Num(f.ruleHits[r]) + "}";
    }
    j += "], \"keptMembers\": " + Num(f.keptMembers) +
         ", \"error\": " + (f.error ? Quote(std::strerror(f.error)) : "null") + "}";
  }
  j += record.files().empty() ? "],\n" : "\n  ],\n";
  j += "  \"scanned\": " + std::string(record.scanned() ? "true" : "false") + ",\n";
  j += "  \"leftovers\": [";
  sep = "\n";
  for (const Leftover& l : record.leftovers()) {
    j += sep;
    sep = ",\n";
    j += "    {\"path\": " + Quote(l.path) + ", \"line\": " + Num(l.line) +
         ", \"column\": " + Num(l.column) + ", \"text\": " + Quote(l.text) + ", \"reason\": \"" +
         ReasonKey(l.reason) + "\", \"blocking\": " + (Blocks(l.reason) ? "true" : "false") +
         ", \"error\": " + (l.error ? Quote(std::strerror(l.error)) : "null") + "}";
  }
  j += record.leftovers().empty() ? "],\n" : "\n  ],\n";
  j += "  \"counts\": {\"migrated\": " + Num(c.converted) + ", \"changed\": " + Num(c.changed) +
       ", \"unchanged\": " + Num(c.converted - c.changed) + ", \"missing\": " + Num(c.missing) +
       ", \"sourcesMissing\": " + Num(c.sourceMissing) +
       ", \"notModified\": " + Num(c.notModified) +
       ", \"leftovers\": " + Num(record.leftovers().size()) +
       ", \"blockingLeftovers\": " + Num(record.BlockingLeftovers()) + ", \"leftoversByReason\": {";
  sep = "";
  for (LeftoverReason reason : kAllReasons) {
    j += sep;
    sep = ", ";
    j += std::string("\"") + ReasonKey(reason) + "\": " + Num(record.LeftoverCount(reason));
  }
  j += "}}\n}\n";
  return j;
}

}  // namespace kv
