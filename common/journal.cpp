#include "journal.h"

#include <cstdio>
#include <cstdlib>

namespace kv {

namespace {

constexpr std::string_view kJournalHead = "kvmigrate journal 1\n";

uint64_t Checksum(std::string_view bytes) {
  uint64_t h = 1469598103934665603ull;
  for (const char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return h;
}

void PutField(std::string& out, std::string_view field) {
  out += ' ';
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

}  // namespace

std::string EncodeJournal(const std::vector<JournalEntry>& entries) {
  std::string out(kJournalHead);
  for (const JournalEntry& e : entries) {
    out += e.kind;
    for (const std::string* f : {&e.folder, &e.name, &e.temp, &e.old}) PutField(out, *f);
    for (const uint64_t n : {e.device, e.folderInode, e.inode, e.newInode, e.newSize}) {
      PutField(out, std::to_string(n));
    }
    if (!e.capability.empty()) PutField(out, e.capability);
    out += '\n';
  }
  char trailer[64];
  std::snprintf(trailer, sizeof trailer, "end %zu %016llx\n", entries.size(),
                static_cast<unsigned long long>(Checksum(out)));
  return out + trailer;
}

std::optional<std::vector<JournalEntry>> DecodeJournal(std::string_view text) {
  if (!text.starts_with(kJournalHead)) return std::nullopt;
  const size_t end = text.rfind("end ");
  if (end == text.npos) return std::nullopt;
  char expected[64];
  std::vector<JournalEntry> entries;
  size_t at = kJournalHead.size();
  auto field = [&](std::string* out) {
    if (at >= end || text[at] != ' ') return false;
    ++at;
    size_t length = 0, digits = 0;
    while (at < end && text[at] >= '0' && text[at] <= '9' && digits < 12) {
      length = length * 10 + static_cast<size_t>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || at >= end || text[at] != ':' || end - at - 1 < length) return false;
    *out = std::string(text.substr(at + 1, length));
    at += 1 + length;
    return true;
  };
  while (at < end) {
    JournalEntry e;
    e.kind = text[at++];
    if (e.kind != 'R' && e.kind != 'W') return std::nullopt;
    for (std::string* f : {&e.folder, &e.name, &e.temp, &e.old}) {
      if (!field(f)) return std::nullopt;
    }
    for (uint64_t* n : {&e.device, &e.folderInode, &e.inode, &e.newInode, &e.newSize}) {
      std::string digits;
      if (!field(&digits) || digits.empty()) return std::nullopt;
      *n = std::strtoull(digits.c_str(), nullptr, 10);
    }
    if (at < end && text[at] == ' ' && !field(&e.capability)) return std::nullopt;
    if (at >= end || text[at++] != '\n') return std::nullopt;
    entries.push_back(std::move(e));
  }
  std::snprintf(expected, sizeof expected, "end %zu %016llx\n", entries.size(),
                static_cast<unsigned long long>(Checksum(text.substr(0, end))));
  if (text.substr(end) != expected) return std::nullopt;
  return entries;
}

}  // namespace kv
