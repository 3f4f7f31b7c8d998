#include "journal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kv {

namespace {

constexpr std::string_view kJournalHead = "kvmigrate journal 1\n";
constexpr uint64_t kChecksumStart = 1469598103934665603ull;

uint64_t Checksum(std::string_view bytes, uint64_t h = kChecksumStart) {
  for (const char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return h;
}

void PutField(std::string& out, std::string_view field) {
  out += ' ';
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

std::string Trailer(size_t count, uint64_t checksum) {
  char trailer[64];
  std::snprintf(trailer, sizeof trailer, "end %zu %016llx\n", count,
                static_cast<unsigned long long>(checksum));
  return trailer;
}

// The journal's bytes a block at a time, each byte counted into the
// checksum as it is taken (except the trailer's).
class Bytes {
 public:
  explicit Bytes(const std::function<long(char*, size_t)>& read) : read_(read) {}
  // The next byte without taking it; -1 at the end or on a failure.
  int Peek() {
    if (at_ == size_ && !Fill()) return -1;
    return static_cast<unsigned char>(buffer_[at_]);
  }
  int Take(bool counted = true) {
    const int c = Peek();
    if (c < 0) return c;
    ++at_;
    if (counted) sum_ = (sum_ ^ static_cast<unsigned>(c)) * 1099511628211ull;
    return c;
  }
  uint64_t sum() const { return sum_; }

 private:
  bool Fill() {
    const long got = read_(buffer_, sizeof buffer_);
    if (got <= 0) return false;
    size_ = static_cast<size_t>(got);
    at_ = 0;
    return true;
  }
  const std::function<long(char*, size_t)>& read_;
  char buffer_[1 << 16];
  size_t at_ = 0, size_ = 0;
  uint64_t sum_ = kChecksumStart;
};

// " <length>:<bytes>"
bool Field(Bytes& in, std::string* out) {
  if (in.Take() != ' ') return false;
  size_t length = 0, digits = 0;
  while (in.Peek() >= '0' && in.Peek() <= '9' && digits < 12) {
    length = length * 10 + static_cast<size_t>(in.Take() - '0');
    ++digits;
  }
  if (digits == 0 || length > kJournalFieldLimit || in.Take() != ':') return false;
  out->clear();
  for (size_t i = 0; i < length; ++i) {
    const int c = in.Take();
    if (c < 0) return false;
    *out += static_cast<char>(c);
  }
  return true;
}

bool Number(Bytes& in, uint64_t* n) {
  std::string digits;
  if (!Field(in, &digits) || digits.empty() || digits.size() > 20) return false;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  *n = std::strtoull(digits.c_str(), nullptr, 10);
  return true;
}

}  // namespace

JournalWriter::JournalWriter(std::function<int(std::string_view)> put)
    : put_(std::move(put)), block_(kJournalHead), sum_(Checksum(kJournalHead)) {}

int JournalWriter::Flush() {
  if (!block_.empty()) error_ = put_(block_);
  block_.clear();
  return error_;
}

int JournalWriter::Add(const JournalEntry& e) {
  if (error_) return error_;
  const size_t from = block_.size();
  block_ += e.kind;
  for (const std::string* f : {&e.folder, &e.name, &e.temp, &e.old}) PutField(block_, *f);
  for (const uint64_t n : {e.device, e.folderInode, e.inode, e.newInode, e.newSize}) {
    PutField(block_, std::to_string(n));
  }
  if (!e.capability.empty() || e.mode != 0) PutField(block_, e.capability);
  if (e.mode != 0) PutField(block_, std::to_string(e.mode));
  block_ += '\n';
  sum_ = Checksum(std::string_view(block_).substr(from), sum_);
  ++count_;
  return block_.size() >= (size_t{1} << 16) ? Flush() : 0;
}

int JournalWriter::Finish() {
  if (error_) return error_;
  block_ += Trailer(count_, sum_);
  return Flush();
}

std::string EncodeJournal(const std::vector<JournalEntry>& entries) {
  std::string out;
  JournalWriter writer([&](std::string_view block) {
    out += block;
    return 0;
  });
  for (const JournalEntry& e : entries) writer.Add(e);
  writer.Finish();
  return out;
}

JournalRead ReadJournal(const std::function<long(char*, size_t)>& read,
                        const std::function<bool(const JournalEntry&)>& each) {
  Bytes in(read);
  for (const char c : kJournalHead) {
    if (in.Take() != static_cast<unsigned char>(c)) return JournalRead::NotWhole;
  }
  size_t count = 0;
  bool refused = false;
  JournalEntry e;
  while (in.Peek() == 'R' || in.Peek() == 'W') {
    e = JournalEntry{};
    e.kind = static_cast<char>(in.Take());
    for (std::string* f : {&e.folder, &e.name, &e.temp, &e.old}) {
      if (!Field(in, f)) return JournalRead::NotWhole;
    }
    for (uint64_t* n : {&e.device, &e.folderInode, &e.inode, &e.newInode, &e.newSize}) {
      if (!Number(in, n)) return JournalRead::NotWhole;
    }
    if (in.Peek() == ' ' && !Field(in, &e.capability)) return JournalRead::NotWhole;
    uint64_t mode = 0;
    if (in.Peek() == ' ' && (!Number(in, &mode) || mode > 07777)) return JournalRead::NotWhole;
    e.mode = static_cast<uint32_t>(mode);
    if (in.Take() != '\n') return JournalRead::NotWhole;
    ++count;
    // Entries are handed on before the checksum is known: `each` only looks.
    if (!refused && !each(e)) refused = true;
  }
  const std::string expected = Trailer(count, in.sum());
  for (const char c : expected) {
    if (in.Take(false) != static_cast<unsigned char>(c)) return JournalRead::NotWhole;
  }
  if (in.Peek() >= 0) return JournalRead::NotWhole;
  return refused ? JournalRead::Refused : JournalRead::Whole;
}

std::optional<std::vector<JournalEntry>> DecodeJournal(std::string_view text) {
  std::vector<JournalEntry> entries;
  size_t at = 0;
  const JournalRead result = ReadJournal(
      [&](char* buffer, size_t size) {
        const size_t n = std::min(size, text.size() - at);
        std::memcpy(buffer, text.data() + at, n);
        at += n;
        return static_cast<long>(n);
      },
      [&](const JournalEntry& e) {
        entries.push_back(e);
        return true;
      });
  if (result != JournalRead::Whole) return std::nullopt;
  return entries;
}

}  // namespace kv
