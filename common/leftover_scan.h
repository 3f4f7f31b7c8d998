// What a run left behind: a read-only search of the folders of a project for
// the old GUIDs, library names and member texts that are still there, each
// with the reason why the run did not migrate it.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "disk.h"
#include "kept_ranges.h"
#include "rules.h"

namespace kv {

enum class LeftoverReason {
  NotListed,      // the file is not listed by the project
  NotFollowed,    // listed as a class, user control or other kind the run did not follow
  Binary,         // a binary companion file (.frx, .ctx), never rewritten
  LowerCaseGuid,  // an old GUID not written in upper case: the rules match the exact case
  OwnMember,      // a member of the language's own objects (VB's), left alone on purpose
  EntryPath,      // inside the path of a member entry, which keeps its bytes on purpose
  Unreadable,     // the file could not be read
  Other,          // in a migrated file, in a place the rules do not rewrite
};
inline constexpr LeftoverReason kAllReasons[] = {
    LeftoverReason::NotListed,     LeftoverReason::NotFollowed, LeftoverReason::Binary,
    LeftoverReason::LowerCaseGuid, LeftoverReason::OwnMember,   LeftoverReason::EntryPath,
    LeftoverReason::Unreadable,    LeftoverReason::Other,
};

// The key of a reason in the JSON record ("not-listed", ...).
const char* ReasonKey(LeftoverReason reason);
// Whether a leftover of this reason means that the project is not done: all
// but VB's own members and entry paths, which are right as they stand.
bool Blocks(LeftoverReason reason);

struct Leftover {
  std::string path = {};  // the file, as found below a scanned folder
  size_t line = 0;        // 1-based; 0 when the file could not be read
  size_t column = 0;      // 1-based, in bytes
  size_t offset = 0;      // of the text, in bytes from the start of the file
  std::string text = {};  // the bytes found
  LeftoverReason reason = LeftoverReason::Other;
  int error = 0;  // Unreadable: the errno of the read
};

// The paths of member entries in a migrated project file's text, which the
// run keeps byte for byte (empty for other files). The engines know them; the
// front ends pass them in.
using EntryPathFinder =
    std::function<std::vector<TextRange>(std::string_view path, std::string_view text)>;

// The ranges of a migrated file's text that hold members of the language's
// own objects, which the rules leave alone on purpose (empty for files of
// other kinds); in text order, one range each.
using OwnMemberFinder =
    std::function<std::vector<TextRange>(std::string_view path, std::string_view text)>;

// The files that the migrated project files list as kinds the run did not
// follow.
using NotFollowedFinder =
    std::function<std::set<FileKey>(Disk& disk, const std::vector<std::string>& migrated)>;

// What only the engine that migrated the files knows about them.
struct ScanHooks {
  EntryPathFinder entryPaths = {};
  OwnMemberFinder ownMembers = {};
  NotFollowedFinder notFollowed = {};
};

struct ScanRequest {
  std::vector<std::string> folders;   // searched with every folder below them
  std::vector<std::string> migrated;  // files the run read and migrated
  ScanHooks hooks = {};
};

// The kinds of file searched (by name ending, any ASCII case), and of those
// the binary ones.
bool IsScannedKind(std::string_view fileName);
bool IsBinaryKind(std::string_view fileName);

// Searches every file of a scanned kind below the folders (symlinked folders
// are not entered; a file reached twice is searched once). Files are read
// through `disk`, so a dry run's pending texts are what is searched. Writes
// nothing. Findings sorted by path, then position.
std::vector<Leftover> ScanLeftovers(Disk& disk, const ScanRequest& request);

// The findings in one text: every old GUID in any case, and every old name
// or member text not followed by the rest of its new text. `migrated` says
// whether the run migrated this file (then the reason comes from the place;
// otherwise `fileReason` is every finding's reason).
void FindLeftovers(std::string_view path, std::string_view text, bool migrated,
                   LeftoverReason fileReason, std::vector<Leftover>& out,
                   const ScanHooks& hooks = {});

}  // namespace kv
