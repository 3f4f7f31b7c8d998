// What the run's transaction needs of the platform: a few operations on open
// folders and files. The commit and the recovery (transaction.cpp) are
// written once over them; transaction_posix.cpp and transaction_win.cpp
// hold each platform's.
//
// Names are plain names in a folder (UTF-8 on Windows); nothing here follows
// a symlink or a reparse point at the last step, and no open blocks on a
// FIFO.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "disk.h"

namespace kv::os {

// An open file or folder: a descriptor, or a HANDLE (RealDisk holds its
// files in it too).
class Node {
 public:
  static constexpr intptr_t kNone = -1;
  Node() = default;
  explicit Node(intptr_t value) : value_(value) {}
  Node(Node&& other) noexcept : value_(std::exchange(other.value_, kNone)) {}
  Node& operator=(Node&& other) noexcept {
    if (this != &other) {
      Close();
      value_ = std::exchange(other.value_, kNone);
    }
    return *this;
  }
  ~Node() { Close(); }
  bool ok() const { return value_ != kNone; }
  intptr_t get() const { return value_; }
  // Closes; the failure of the close (a late write error) as an errno value.
  int Close();

 private:
  intptr_t value_ = kNone;
};

// What the transaction knows of a file or folder.
struct FileInfo {
  enum class Kind { Missing, Regular, Folder, Other };
  Kind kind = Kind::Missing;
  bool ours = false;    // owned by the user this process runs as
  bool shared = false;  // writable by others than its owner
  uint64_t volume = 0, index = 0, size = 0, links = 1;
  int64_t written = 0, changed = 0;         // times, in the platform's units
  uint32_t owner = 0, group = 0, mode = 0;  // POSIX: ids and permission bits
  uint32_t attributes = 0;                  // Windows: the file's attributes
  bool regular() const { return kind == Kind::Regular; }
  // Still the file that was read: same volume, index, size and times.
  bool Same(const FileInfo& o) const {
    return regular() && o.regular() && volume == o.volume && index == o.index && size == o.size &&
           written == o.written && changed == o.changed;
  }
};

// A folder held open for the run.
struct Dir {
  Node node;
  std::string path;  // as shown and as recorded in the journal
  FileInfo info;
  // This user may write the folder (checked once per run where the platform
  // checks it apart from the file; making a file in it checks again).
  mutable bool writable = false;
};

using Fault = std::function<int(DiskOp op)>;

// The separator of paths shown.
extern const char kSeparator;
// A path to show for an entry of a folder (on Windows, in code page
// `pathCodePage` where that can write it).
std::string Shown(const std::string& folder, const std::string& name, unsigned pathCodePage);
// Whether `path` is absolute, as a journal records its folders.
bool IsAbsolute(std::string_view path);

// The folder and the name of the file a path names, a symlink at the end
// followed (the file a project lists through a link is the one changed).
IoError Locate(RealDisk& base, const std::string& path, std::string* folder, std::string* name);
// `path` as the run was given it (on Windows in code page `pathCodePage`), or
// as a journal records it.
IoError OpenFolder(const std::string& path, unsigned pathCodePage, Dir* dir);
// Flush: what flushing the file's data takes (a read on POSIX).
enum class Access { Read, Write, Flush };
// Opens an entry of the folder: never a link (ELOOP), never blocking.
IoError OpenEntry(const Dir& dir, const std::string& name, Access access, Node* file);
// Makes a new file, ours alone (and hidden on Windows), open for writing.
IoError CreateEntry(const Dir& dir, const std::string& name, Node* file);
IoError InfoOf(const Node& file, FileInfo* info);
// The entry itself, a link not followed; Kind::Missing when there is none.
IoError InfoAt(const Dir& dir, const std::string& name, FileInfo* info);

// Without `untilEnd`, a file of known size is read up to that size only (the
// caller checks afterwards that the size held).
IoError ReadRest(const Node& file, uint64_t sizeHint, std::string* contents,
                 const std::function<int()>& fault, bool untilEnd = true);
// Maps the first `size` bytes of the file read-only into `text`; false where
// the platform does not (the caller then reads the file).
bool MapRest(const Node& file, uint64_t size, MappedText* text);
// Up to `size` bytes at `offset`; `*got` 0 at the end.
IoError ReadAt(const Node& file, uint64_t offset, char* buffer, size_t size, size_t* got);
IoError WriteText(const Node& file, std::string_view text, const std::function<int()>& fault);
// The same for an edited text, written from its pieces where the platform can.
IoError WriteEdited(const Node& file, const EditedText& text, const std::function<int()>& fault);
// `size` bytes from the start of `from` over the start of `to`, which then
// ends there.
IoError CopyInto(const Node& from, const Node& to, uint64_t size);
IoError Flush(const Node& file);

// Refusals of a write: no write bit at all, this user may not write the file
// or its folder, a lock.
IoError CheckWritable(const Dir& dir, const std::string& name, const FileInfo& read);
// A dry run's check that the owner and group of a replaced file can be kept.
IoError CheckOwnerKeepable(const FileInfo& read);
// The original's owner, group, permission bits and attributes onto its
// staged copy; `*stagedIndex` is then the copy's file index.
IoError KeepMetadata(const Node& original, const Node& staged, const FileInfo& read,
                     uint64_t* stagedIndex);
// What a write into the file itself clears and must set again afterwards
// (POSIX: its capability attribute); empty when nothing.
std::string SavedByWrite(const Node& original);
// Writes `size` bytes of `from` into `to` itself, then sets again the
// permission bits `mode` (a write by an ordinary user clears setuid; 0: the
// bits the file had) and what SavedByWrite kept.
IoError WriteInPlace(const Node& from, const Node& to, uint64_t size, uint32_t mode,
                     const std::string& saved);

// How far Swap got.
enum class Swapped {
  None,       // nothing changed
  Exchanged,  // the staged file at the name, the original at the staged file's name
  OldKept,    // the original (also) at `old`; the staged file not yet at the name
  Renamed,    // the staged file at the name, the original at `old`
};
// Puts the staged file `temp` in the place of `name`, keeping the original
// at `temp` (one-step exchange, where `exchange` and the file system allow)
// or at `old`.
IoError Swap(const Dir& dir, const std::string& name, const std::string& temp,
             const std::string& old, bool exchange, Swapped* state);
IoError Exchange(const Dir& dir, const std::string& a, const std::string& b);
// The recovery's replacement: `temp` over `name` (the original may go to
// `old`).
IoError Replace(const Dir& dir, const std::string& name, const std::string& temp,
                const std::string& old);
// Renames `from` to `to`, replacing what is there.
IoError Rename(const Dir& dir, const std::string& from, const std::string& to);
IoError Remove(const Dir& dir, const std::string& name);
// Removes names, several at a time where that saves waiting for the disk.
void RemoveMany(const std::vector<std::pair<const Dir*, std::string>>& names);
// Makes the folder's renames durable; `volume`: by one flush of its whole
// file system (where kFlushesVolumes).
IoError FlushFolder(const Dir& dir, bool volume);
extern const bool kFlushesVolumes;
// Calls `each` with the name of every entry of the folder.
void List(const Dir& dir, const std::function<void(const std::string&)>& each);

// The run that made one of our files, as its names carry it: the process id
// (and on Windows the process's creation time, since ids come back) and the
// transaction's token.
struct Maker {
  uint64_t pid = 0, created = 0;
  std::string token;
};
extern const bool kMakerHasCreation;
Maker Self();
// Whether another process `maker` names still runs (one we may not ask
// about counts as running).
bool ProcessAlive(const Maker& maker);

// Flushes the file system of a folder on a second thread while the run goes
// on (POSIX); only ever one flush waiting.
class BackgroundFlush {
 public:
  BackgroundFlush();
  ~BackgroundFlush();
  void Request(const Dir& dir);
  // Waits for a flush under way; one still waiting is dropped.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kv::os
