// A run as one transaction over the file layer. Engines read and write
// through it as through any Disk; nothing they write reaches an original until
// Commit:
// - A write whose text equals the file's text writes nothing.
// - Any other write stages the text in a temporary file beside the original,
//   with the original's owner, group, permission bits and extended
//   attributes; a file whose metadata cannot be kept is refused.
// - Commit checks that every original is still the file that was read (same
//   device, inode, size and change time, reached through the same folder
//   handle), makes the staged files durable with one flush per file system,
//   records the commit in a journal, swaps each staged file with its original
//   (or, for a file with several hard links, writes the text into it), and
//   flushes each folder once.
// - Rollback (also when the object goes without a commit) removes every
//   staged file.
// - Recover, run before a run over a project, completes a commit that a kill
//   or a power loss cut short, and removes the temporary files and journals
//   that runs which died left behind.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk.h"

namespace kv {

// A failure of the file layer and the file it concerns.
struct FileFailure {
  std::string path;
  IoError error;
  explicit operator bool() const { return static_cast<bool>(error); }
};

// A file named like one of ours that the recovery or the clean-up did not
// touch, since it failed a check (a symlink, another user's file, a journal
// naming files outside its folder...), and why.
struct LeftAlone {
  std::string path;
  std::string reason;
};

class Transaction : public Disk {
 public:
  using FaultHook = RealDisk::FaultHook;

  struct Options {
    // Folder of the journal; "" = the folder of the first file read (the
    // project or solution file of an engine's run).
    std::string journalFolder;
    // Checks writes as a real run would and keeps their text in memory;
    // Commit then changes nothing.
    bool dryRun = false;
    // Swaps each staged file with its original in one step where the file
    // system can; false always keeps the original under a second name and
    // renames the staged file over it (what file systems without the swap
    // get).
    bool exchange = true;
    // After every this many bytes staged, the file system they are on is
    // flushed by a second thread while the run goes on.
    size_t flushEvery = size_t{64} << 20;
    FaultHook hook;
    // On Windows, the code page of the narrow paths the run reads and writes
    // through this transaction, and shows (see Disk::PathCodePage).
    unsigned pathCodePage = kDefaultCodePage;
  };

  Transaction();
  explicit Transaction(Options options);
  ~Transaction() override;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  std::optional<std::string> Find(std::string_view path, std::string_view baseFolder) override;
  std::optional<FileKey> Key(const std::string& resolvedPath) override;
  std::optional<std::string> Canonical(const std::string& path) override;
  // A file staged by this transaction reads as its staged text.
  IoError ReadAll(const std::string& resolvedPath, std::string* contents) override;
  // Stages the text (see above). Refusals: a file whose permission bits grant
  // no write, one this user may not write, one whose owner, group or extended
  // attributes cannot be kept, one that changed since it was read.
  IoError WriteAll(const std::string& resolvedPath, std::string_view contents) override;
  // A large file that is not staged is left in a read-only mapping, checked
  // afterwards as ReadAll checks what it read.
  IoError ReadMapped(const std::string& resolvedPath, std::string* buffer,
                     MappedText* text) override;
  // WriteAll of an edited text, staged from its pieces.
  IoError WriteEdited(const std::string& resolvedPath, const EditedText& text) override;
  unsigned PathCodePage() const override;

  // Replaces every original by its staged text, or, on a failure, changes
  // nothing (`pending` false) or leaves a journal that the next Recover
  // completes (`pending` true: the failure came where not even undoing the
  // commit was possible).
  struct CommitResult {
    FileFailure failure;
    bool pending = false;
  };
  CommitResult Commit();
  // Removes every staged file; no original changes.
  void Rollback();

  // Files staged so far.
  size_t StagedCount() const;

  // Completes the commits recorded by journals in `folder` whose runs are no
  // longer alive, and removes our stale temporary files there. Only files
  // that pass every check are used or removed (see docs/reliability.md);
  // the others go to `leftAlone` (when given) and stop nothing. On Windows
  // `folder`, and the paths of failures and of files left alone, are in code
  // page `pathCodePage`.
  static FileFailure Recover(const std::string& folder, const FaultHook& hook = {},
                             std::vector<LeftAlone>* leftAlone = nullptr,
                             unsigned pathCodePage = kDefaultCodePage);

  // The files the clean-up of the folders this transaction met left alone,
  // since the last call.
  std::vector<LeftAlone> TakeLeftAlone();

  // No journal of ours is larger: a larger one is left alone.
  static constexpr uint64_t kJournalLimit = uint64_t{1} << 30;

  // Marks our files: temporary files are "." + name + kTempMarker + "<pid>-...",
  // journals kJournalMarker + "<pid>-...".
  static constexpr std::string_view kTempMarker = RealDisk::kTempMarker;
  static constexpr std::string_view kJournalMarker = ".kvmigrate-journal-";

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace kv
