// The commit journal: what a transaction is about to replace, written and
// flushed before the first original changes, so that the recovery after a
// kill or a power loss can complete the commit. One line per staged file,
// each field as "<length>:<bytes>" so that any name survives; a last line
// with the count and a checksum, so that a journal cut short is known as such.
#pragma once

#include <cstdint>
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
};

std::string EncodeJournal(const std::vector<JournalEntry>& entries);
// nullopt for a journal that is not whole (cut short, or not ours).
std::optional<std::vector<JournalEntry>> DecodeJournal(std::string_view text);

}  // namespace kv
