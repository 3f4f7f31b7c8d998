// The commit journal: what a transaction is about to replace, written and
// flushed before the first original changes, so that the recovery after a
// kill or a power loss can complete the commit. One line per staged file,
// each field as "<length>:<bytes>" so that any name survives; a last line
// with the count and a checksum, so that a journal cut short is known as such.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// One replacement. The numbers identify files on their volume: the device
// (or volume serial), the folder's and the original's inode (or file index),
// the staged file's, and the staged text's size.
struct JournalEntry {
  char kind = 'R';  // R: swapped in by rename; W: written into the file (hard links)
  std::string folder, name, temp, old;
  uint64_t device = 0, folderInode = 0, inode = 0, newInode = 0, newSize = 0;
  // W: the file's capability attribute, which a write clears and the
  // recovery must set again (empty: none). Journals written before it was
  // recorded simply lack the field.
  std::string capability;
  // W: the permission bits to set again after the write (a write by an
  // ordinary user clears setuid); 0 where not recorded.
  uint32_t mode = 0;
};

std::string EncodeJournal(const std::vector<JournalEntry>& entries);

// Writes a journal an entry at a time, handing `put` a block whenever 64 KiB
// are gathered (and the rest at Finish), so that memory stays bounded
// whatever the number of entries. `put` returns 0 or an errno value, which
// Add and Finish return and which ends the writing.
class JournalWriter {
 public:
  explicit JournalWriter(std::function<int(std::string_view)> put);
  int Add(const JournalEntry& e);
  int Finish();

 private:
  int Flush();
  std::function<int(std::string_view)> put_;
  std::string block_;
  size_t count_ = 0;
  uint64_t sum_;
  int error_ = 0;
};

// No field of a journal we write is longer: a longer one is not ours.
inline constexpr size_t kJournalFieldLimit = size_t{1} << 16;

enum class JournalRead {
  Whole,     // every entry went to `each`, the count and the checksum agree
  NotWhole,  // cut short, or not ours
  Refused,   // `each` refused an entry
};
// Reads a journal a block at a time: `read` fills up to `size` bytes of
// `buffer` and returns how many (0 at the end, -1 on a failure, which ends
// the reading as NotWhole). Memory stays bounded whatever the journal's size.
JournalRead ReadJournal(const std::function<long(char* buffer, size_t size)>& read,
                        const std::function<bool(const JournalEntry&)>& each);

// nullopt for a journal that is not whole (cut short, or not ours).
std::optional<std::vector<JournalEntry>> DecodeJournal(std::string_view text);

}  // namespace kv
