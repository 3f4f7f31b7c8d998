// The file layer: whole-file byte I/O, atomic replacement and the lookup of
// listed paths. Engines see files only through `Disk`, so that tests, the dry
// run and fault injection can stand in for the real file system.
//
// RealDisk has one implementation per platform, chosen when building:
// disk.cpp (POSIX, byte paths) and disk_win.cpp (the wide API; the narrow
// paths the engines pass are in the ANSI code page the disk was made with).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "edited_text.h"

namespace kv {

// The ANSI code page that a run's narrow paths are in on Windows unless it
// names another (project files list their entries in it; command-line
// arguments are converted to it): Windows-1252. POSIX systems take paths as
// bytes and use no code page.
constexpr unsigned kDefaultCodePage = 1252;

// Identity of a file on disk: two paths naming the same file (a symlink and
// its target, two spellings) have the same key.
struct FileKey {
  uint64_t device = 0;
  uint64_t inode = 0;
  friend bool operator==(const FileKey&, const FileKey&) = default;
  friend auto operator<=>(const FileKey&, const FileKey&) = default;
};

// Result of an operation that may fail: 0 or the errno value that says why
// (on Windows, the system's error mapped onto the nearest errno value), and,
// where the errno alone would mislead, the reason in words.
struct IoError {
  IoError() = default;
  explicit IoError(int errorCode, std::string why = {}) : code(errorCode), reason(std::move(why)) {}
  int code = 0;
  std::string reason;
  explicit operator bool() const { return code != 0; }
  std::string Message() const;  // `reason`, or else the strerror wording
};

// A file's bytes as read: in a buffer of the reader's, or, for a large file,
// in a read-only mapping of the file itself, which costs no memory of its own
// and no copy. Should the file shrink while it is mapped, the pages past its
// new end read as zeros and Intact() turns false: such bytes are never to be
// used.
class MappedText {
 public:
  // What keeps a mapping alive; its flag is raised once part of it is lost.
  struct Mapping {
    virtual ~Mapping() = default;
    std::atomic<bool> lost{false};
  };

  std::string_view view() const { return view_; }
  bool mapped() const { return mapping_ != nullptr; }
  bool Intact() const { return !mapping_ || !mapping_->lost.load(); }
  // Views bytes held elsewhere (the reader's buffer).
  void Borrow(std::string_view bytes) {
    mapping_.reset();
    view_ = bytes;
  }
  void Hold(std::shared_ptr<Mapping> mapping, std::string_view bytes) {
    mapping_ = std::move(mapping);
    view_ = bytes;
  }
  void Reset() { Borrow({}); }

 private:
  std::shared_ptr<Mapping> mapping_;
  std::string_view view_;
};

// Inside a CancelScope (cancel.h) whose flag is raised, a read or write may
// stop between the chunks of a large file and fail with ECANCELED: a read
// leaves `contents` unspecified, a write leaves the file as it was. Neither
// throws RunCancelled; the caller learns of the stop from the result (and
// from the flag).
class Disk {
 public:
  virtual ~Disk() = default;

  // Finds the file a path names: "\" counts as a separator; a relative path is
  // taken against `baseFolder` ("" = the current directory). When the exact
  // path does not name a regular file, each component is also looked up
  // without regard to ASCII case, provided exactly one entry matches so.
  // Returns the path to open, or nullopt when no regular file is found.
  virtual std::optional<std::string> Find(std::string_view path, std::string_view baseFolder) = 0;

  virtual std::optional<FileKey> Key(const std::string& resolvedPath) = 0;

  // The path of a found file or folder with every symlink, "." and ".."
  // resolved, absolute; nullopt when that fails. This default works on the
  // text alone, for file systems without symlinks.
  virtual std::optional<std::string> Canonical(const std::string& path);

  // Reads the whole file into `contents`.
  virtual IoError ReadAll(const std::string& resolvedPath, std::string* contents) = 0;

  // Replaces the file's contents atomically: a temporary file beside it is
  // written, flushed and renamed over it. A file whose permission bits grant
  // no write is never written. On failure the file is as it was and no
  // temporary file remains.
  virtual IoError WriteAll(const std::string& resolvedPath, std::string_view contents) = 0;

  // One entry of a folder. A symlink counts as the file it points to; one
  // to a folder, or to nothing, is Other (a walk does not enter it).
  struct FolderEntry {
    enum class Kind { File, Folder, Other };
    std::string name;
    Kind kind = Kind::Other;
  };
  // The entries of `folder` ("" = the current directory; "." and ".." left
  // out), in no particular order, or nullopt when it cannot be read. Each
  // name joined to `folder` with "/" is a path that Find, ReadAll and Key
  // take (on Windows see kUtf8Mark). This default reads the real file
  // system, which every staged or diffing disk stands over.
  virtual std::optional<std::vector<FolderEntry>> ListFolder(const std::string& folder);

  // ReadAll, except that a large file may be left in a read-only mapping
  // instead of being copied into `buffer`; `text` views one or the other.
  // This default reads into `buffer`.
  virtual IoError ReadMapped(const std::string& resolvedPath, std::string* buffer,
                             MappedText* text);
  // WriteAll of an edited text (of a mapped file, say), written from its
  // pieces where the file layer can. This default joins it first.
  virtual IoError WriteEdited(const std::string& resolvedPath, const EditedText& text);

  // On Windows, the code page of the narrow paths this disk takes and gives
  // (Find, ListFolder, Canonical...); a disk that stands over another gives
  // that one's. Unused on POSIX systems.
  virtual unsigned PathCodePage() const { return kDefaultCodePage; }
};

// The operations of the file layer that a test can make fail: those of
// RealDisk, and the checks, metadata copies, journal writes and removals of a
// Transaction.
enum class DiskOp { Open, Read, Write, Flush, Rename, Check, Meta, Journal, Remove };
const char* DiskOpName(DiskOp op);

class RealDisk : public Disk {
 public:
  // Called before each primitive operation; a non-zero return is taken as the
  // errno of a failure of that operation.
  using FaultHook = std::function<int(DiskOp op, const std::string& path)>;

  RealDisk() = default;
  explicit RealDisk(FaultHook hook) : hook_(std::move(hook)) {}
  // `pathCodePage`: see Disk::PathCodePage.
  RealDisk(FaultHook hook, unsigned pathCodePage)
      : hook_(std::move(hook)), pathCodePage_(pathCodePage) {}

  std::optional<std::string> Find(std::string_view path, std::string_view baseFolder) override;
  std::optional<FileKey> Key(const std::string& resolvedPath) override;
  std::optional<std::string> Canonical(const std::string& path) override;
  IoError ReadAll(const std::string& resolvedPath, std::string* contents) override;
  IoError WriteAll(const std::string& resolvedPath, std::string_view contents) override;
  unsigned PathCodePage() const override { return pathCodePage_; }

  // Marks our temporary files, those of RealDisk and of the transaction
  // alike (Transaction::kTempMarker is this one); the name starts with "."
  // and holds this text.
  static constexpr std::string_view kTempMarker = ".kvmigrate-tmp-";

#ifndef _WIN32
  // realpath(3) of `path`, the folder part's result kept for the rest of this
  // object's life (a run reads thousands of files from a few folders). A last
  // component that is a symlink is resolved in full. nullopt with errno set
  // where the path names nothing.
  std::optional<std::string> RealPath(const std::string& path);
#endif

 private:
  int Fault(DiskOp op, const std::string& path) const { return hook_ ? hook_(op, path) : 0; }
  FaultHook hook_;
  unsigned pathCodePage_ = kDefaultCodePage;
  std::unordered_map<std::string, std::string> realFolders_;
#ifndef _WIN32
  std::optional<std::string> RealPathOf(const std::string& path);
  // The last path RealPath resolved, and the last file Find found: its key
  // answers the Key asked for next, and, when the name is a regular file
  // itself (`plain`, not a link), RealPath asks for its status no more. Each
  // answers once.
  struct Found {
    std::string path;
    FileKey key;
    bool keyLeft = true;
    bool plain = false;
  };
  std::optional<std::pair<std::string, std::string>> lastReal_;
  std::optional<Found> lastFound_;
#endif
};

// Reads the rest of an open file into `contents`: straight into the string for
// a regular file of known size (`sizeHint`), in chunks otherwise. `fault` is
// asked before each read. Without `untilEnd`, a file of known size is read
// up to that size only (the caller checks afterwards that the size held).
IoError ReadOpenFile(int fd, size_t sizeHint, std::string* contents,
                     const std::function<int()>& fault, bool untilEnd = true);
// Writes all of `text` at the open file's position, in chunks of 4 MiB:
// `fault` is asked before each, and the stop flag of the run is looked at
// (ECANCELED). The chunks of a large text are handed to the disk as they are
// written, not waited for, so that a flush afterwards has little left to do.
IoError WriteOpenFile(int fd, const EditedText& text, const std::function<int()>& fault);
IoError WriteOpenFile(int fd, std::string_view text, const std::function<int()>& fault);

// Files from this size on are mapped rather than copied when read (where the
// platform maps them).
inline constexpr size_t kMapFrom = size_t{1} << 20;
#ifndef _WIN32
// Maps the first `size` bytes of the open file read-only into `text`, the
// pages made present (two threads for a large file). False, with errno set,
// when the file cannot be mapped.
bool MapOpenFile(int fd, size_t size, MappedText* text);
#endif

// Checks, without writing, whether WriteAll would refuse the file for its
// permissions (no write bit at all, or not writable by this user). On Windows
// the path is in code page `pathCodePage`.
IoError CheckWritable(const std::string& resolvedPath, unsigned pathCodePage = kDefaultCodePage);

// A listed path with the platform's separator: "\" becomes "/" on POSIX
// systems, "/" becomes "\" on Windows.
std::string NativePath(std::string_view path);

// On Windows a narrow path may name a file whose name the path code page
// cannot write (an entry decoded from another code page): what follows this
// byte, which no Windows file name holds, is UTF-8. Only the entry resolver
// makes such paths; it refuses entries that hold the byte themselves.
constexpr char kUtf8Mark = '\x01';

}  // namespace kv
