#include "leftover_scan.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <cstdio>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <cerrno>
#include <cstring>

#include "cancel.h"
#include "codepage.h"
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

struct Hit {
  size_t pos;  // in the whole text
  size_t size;
  LeftoverReason reason;
};

// The needles' occurrences in a text that may come in pieces: each needle's
// taken left to right without overlapping one another, so hits come in order
// of position (and of needle at one position).
class HitScan {
 public:
  static const std::vector<Needle>& Needles() {
    static const std::vector<Needle> kNeedles = BuildNeedles();
    return kNeedles;
  }
  // The most bytes that deciding on one occurrence reads from where it
  // begins (the needle and the rest that a migrated one has after it).
  static size_t Reach() {
    static const size_t kReach = [] {
      size_t most = 2;
      for (const Needle& n : Needles())
        most = std::max(most, n.text.size() + n.migratedRest.size());
      return most;
    }();
    return kReach;
  }

  // Adds the occurrences that begin in piece[from, to) to `hits`; `piece`
  // begins at `base` in the whole text and holds Reach() bytes past `to`
  // unless the text ends first. `reasonOf(pos in piece, needle)` gives each
  // one's reason.
  template <class ReasonOf>
  void Collect(std::string_view piece, size_t from, size_t to, size_t base, ReasonOf&& reasonOf,
               std::vector<Hit>& hits) {
    static const NeedleScan& kScan = Scan();
    const std::vector<Needle>& needles = Needles();
    rulescan::CandidateScan::Walker walker(kScan.scan, piece);
    size_t polled = from;  // progress counted towards the stop flag up to here
    for (size_t p = walker.Next(from); p != std::string_view::npos && p < to;
         p = walker.Next(p + 1)) {
      if (p - polled >= kCancelStride) {
        CancelPoint(p - polled);
        polled = p;
      }
      for (uint32_t rows = kScan.scan.RowsAt(piece, p); rows != 0; rows &= rows - 1) {
        const size_t r = static_cast<size_t>(__builtin_ctz(rows));
        const Needle& needle = needles[r];
        if (base + p < nextFrom_[r] || !rulescan::FoldedAt(piece, p, kScan.folded[r])) continue;
        nextFrom_[r] = base + p + needle.text.size();
        const size_t after = p + needle.text.size();
        if (!needle.migratedRest.empty() &&
            EqualsNoCase(piece.substr(after, needle.migratedRest.size()), needle.migratedRest)) {
          continue;
        }
        hits.push_back({base + p, needle.text.size(), reasonOf(p, needle)});
      }
    }
  }

 private:
  static const NeedleScan& Scan() {
    static const NeedleScan kScan(Needles());
    return kScan;
  }
  std::vector<size_t> nextFrom_ = std::vector<size_t>(Needles().size(), 0);
};

// Lines and columns of positions taken in increasing order, over a text that
// may come in pieces.
class LineCounter {
 public:
  // Counts the line breaks up to `pos`; `piece` begins at `base` in the whole
  // text and holds the byte after `pos` unless the text ends there.
  void CountTo(std::string_view piece, size_t base, size_t pos) {
    while (counted_ < pos) {
      const size_t n = std::min(kCancelStride, pos - counted_);
      const char* block = piece.data() + (counted_ - base);
      // A block without a line break (a long line, a file of zeros) is
      // passed over at memchr's speed.
      if (!std::memchr(block, '\n', n) && !std::memchr(block, '\r', n)) {
        counted_ += n;
      } else {
        for (const size_t end = counted_ + n; counted_ < end; ++counted_) {
          if (IsBreak(piece, counted_ - base)) {
            ++line_;
            lineStart_ = counted_ + 1;
          }
        }
      }
      CancelPoint(n);
    }
  }
  Leftover At(std::string_view path, std::string_view piece, size_t base, const Hit& hit) const {
    return Leftover{.path = std::string(path),
                    .line = line_,
                    .column = hit.pos - lineStart_ + 1,
                    .offset = hit.pos,
                    .text = std::string(piece.substr(hit.pos - base, hit.size)),
                    .reason = hit.reason};
  }

 private:
  size_t line_ = 1;
  size_t lineStart_ = 0;
  size_t counted_ = 0;
};

// The errno value nearest to a file system error.
int ErrnoOf(const std::error_code& ec) {
#ifndef _WIN32
  // Here the system's codes are errno values: no virtual call is needed,
  // which matters where no file number is left (the sanitizers' checks of
  // one need a pipe).
  const std::error_category* category = &ec.category();
  if (category == &std::generic_category() || category == &std::system_category()) {
    return ec.value() != 0 ? ec.value() : EIO;
  }
#endif
  const std::error_condition condition = ec.default_error_condition();
  return condition.category() == std::generic_category() && condition.value() != 0
             ? condition.value()
             : EIO;
}

Leftover Unreadable(std::string path, int error) {
  return Leftover{.path = std::move(path), .reason = LeftoverReason::Unreadable, .error = error};
}

// A file read from the file system piece by piece (not through a Disk: the
// files read so are the ones the run did not migrate, which have no text
// pending). A FIFO or device put there after the walk is refused, never
// waited on.
class PieceReader {
 public:
  PieceReader() = default;
  PieceReader(const PieceReader&) = delete;
  PieceReader& operator=(const PieceReader&) = delete;
#ifdef _WIN32
  ~PieceReader() {
    if (file_) std::fclose(file_);
  }
  int Open(const fs::path& path) {
    file_ = ::_wfopen(path.c_str(), L"rb");
    return file_ ? 0 : (errno ? errno : EIO);
  }
  // Appends up to `n` bytes; returns the errno, 0 also at the end (`*end`).
  int Read(std::string& to, size_t n, bool* end) {
    const size_t old = to.size();
    to.resize(old + n);
    const size_t got = std::fread(to.data() + old, 1, n, file_);
    to.resize(old + got);
    if (got < n && std::ferror(file_)) return errno ? errno : EIO;
    *end = got < n;
    return 0;
  }

 private:
  std::FILE* file_ = nullptr;
#else
  ~PieceReader() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Open(const fs::path& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return errno;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    return 0;
  }
  int Read(std::string& to, size_t n, bool* end) {
    const size_t old = to.size();
    to.resize(old + n);
    ssize_t got;
    do {
      got = ::read(fd_, to.data() + old, n);
    } while (got < 0 && errno == EINTR);
    to.resize(old + (got > 0 ? static_cast<size_t>(got) : 0));
    if (got < 0) return errno;
    *end = got == 0;
    return 0;
  }

 private:
  int fd_ = -1;
#endif
};

// Searches a file that the run did not migrate, piece by piece: about
// kPiece bytes of it are held at a time, whatever its size. A read that fails
// part way adds an unreadable finding after what was found before it.
void FindLeftoversInFile(const fs::path& file, const std::string& path, LeftoverReason reason,
                         std::vector<Leftover>& out) {
  constexpr size_t kPiece = size_t{4} << 20;
  PieceReader reader;
  if (const int e = reader.Open(file)) {
    out.push_back(Unreadable(path, e));
    return;
  }
  const size_t keep = HitScan::Reach() + 1;  // what deciding at the piece's end reads past it
  HitScan scan;
  LineCounter lines;
  std::vector<Hit> hits;
  std::string piece;
  size_t base = 0;
  bool end = false;
  const auto reasonOf = [reason](size_t, const Needle&) { return reason; };
  for (;;) {
    while (!end && piece.size() < kPiece + keep) {
      if (const int e = reader.Read(piece, kPiece + keep - piece.size(), &end)) {
        out.push_back(Unreadable(path, e));
        return;
      }
    }
    const size_t to = end ? piece.size() : piece.size() - keep;
    hits.clear();
    scan.Collect(piece, 0, to, base, reasonOf, hits);
    for (const Hit& hit : hits) {
      lines.CountTo(piece, base, hit.pos);
      out.push_back(lines.At(path, piece, base, hit));
    }
    if (end) return;
    lines.CountTo(piece, base, base + to);
    CancelPoint(to);  // also where no candidate made the scan look
    piece.erase(0, to);
    base += to;
  }
}

// A path of the walk as the file layer and the findings name it (on Windows,
// in the layer's path code page).
std::string LayerPath(const fs::path& path, [[maybe_unused]] unsigned pathCodePage) {
#ifdef _WIN32
  return LayerPathFromWide(path.wstring(), pathCodePage);
#else
  return path.string();
#endif
}

// Walks `top` and every folder below it (symlinked folders are not entered),
// handing each file of a scanned kind to `file`. A folder that cannot be
// opened or read to its end, and an entry whose kind cannot be told, are
// unreadable findings with the system's reason (a path too long to open
// among them): the search is not complete there. One folder is open at a
// time, whatever the depth.
template <class OnFile>
void WalkFolder(const fs::path& top, unsigned pathCodePage, OnFile&& file,
                std::vector<Leftover>& found) {
  std::vector<fs::path> pending{top};
  while (!pending.empty()) {
    const fs::path folder = std::move(pending.back());
    pending.pop_back();
    CancelPoint(kCancelStride / 1024);  // a huge tree stops within about a thousand folders
    std::vector<fs::path> below;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path& path = it->path();
      std::error_code kindError;
      const fs::file_status status = it->symlink_status(kindError);
      if (kindError) {
        found.push_back(Unreadable(LayerPath(path, pathCodePage), ErrnoOf(kindError)));
        continue;
      }
      if (fs::is_directory(status)) {
        below.push_back(path);
        continue;
      }
      const std::string name = LayerPath(path.filename(), pathCodePage);
      if (name.find(RealDisk::kTempMarker) != std::string::npos || !IsScannedKind(name)) continue;
      if (it->is_regular_file(kindError)) file(path);  // a symlink to a file counts
    }
    if (ec) found.push_back(Unreadable(LayerPath(folder, pathCodePage), ErrnoOf(ec)));
    pending.insert(pending.end(), below.rbegin(), below.rend());
  }
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
  std::optional<std::vector<TextRange>> own;  // computed when first needed
  std::optional<RangeSet> paths;              // likewise
  auto reasonOf = [&](size_t p, const Needle& needle) {
    if (!migrated) return fileReason;
    if (!paths) {
      paths.emplace(hooks.entryPaths ? hooks.entryPaths(path, text) : std::vector<TextRange>{});
    }
    if (paths->Holds(p)) return LeftoverReason::EntryPath;
    if (needle.guid && text.substr(p, needle.text.size()) != needle.text) {
      return LeftoverReason::LowerCaseGuid;
    }
    if (!needle.guid && hooks.ownMembers) {
      // In text order: one binary search.
      if (!own) own = hooks.ownMembers(path, text);
      const auto at =
          std::lower_bound(own->begin(), own->end(), p,
                           [](const TextRange& r, size_t pos) { return r.begin < pos; });
      if (at != own->end() && at->begin == p) return LeftoverReason::OwnMember;
    }
    return LeftoverReason::Other;
  };
  HitScan scan;
  std::vector<Hit> hits;
  scan.Collect(text, 0, text.size(), 0, reasonOf, hits);
  LineCounter lines;
  for (const Hit& hit : hits) {
    lines.CountTo(text, 0, hit.pos);
    out.push_back(lines.At(path, text, 0, hit));
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

  // Every file of a scanned kind, once, by path; a folder that cannot be
  // read is a finding of its own.
  std::map<std::string, std::pair<FileKey, fs::path>> files;
  std::set<FileKey> seen;
  std::vector<Leftover> found;
  // Paths are bytes on POSIX systems: no code page to ask the disk for (and
  // no call at all before the walk, which may run with every file number
  // taken).
#ifdef _WIN32
  const unsigned pathCodePage = disk.PathCodePage();
#else
  const unsigned pathCodePage = kDefaultCodePage;
#endif
  for (const std::string& folder : request.folders) {
    WalkFolder(
        folder.empty() ? "." : folder, pathCodePage,
        [&](const fs::path& file) {
          const std::string path = LayerPath(file, pathCodePage);
          const std::optional<FileKey> key = disk.Key(path);
          if (!key) {
            // The walk saw it; it is gone, or its path cannot be used.
            std::error_code e;
            (void)fs::status(file, e);
            found.push_back(Unreadable(path, e ? ErrnoOf(e) : EIO));
          } else if (seen.insert(*key).second) {
            files.emplace(path, std::make_pair(*key, file));
          }
        },
        found);
  }

  // A migrated file is read through `disk` (in a dry run its text is pending
  // there) and was held whole by the run; any other one is streamed.
  std::string text;
  for (const auto& [path, entry] : files) {
    const auto& [key, file] = entry;
    LeftoverReason reason = LeftoverReason::NotListed;
    if (IsBinaryKind(path)) {
      reason = LeftoverReason::Binary;
    } else if (notFollowed.contains(key)) {
      reason = LeftoverReason::NotFollowed;
    }
    if (!migrated.contains(key)) {
      FindLeftoversInFile(file, path, reason, found);
      continue;
    }
    if (IoError e = disk.ReadAll(path, &text)) {
      found.push_back(Unreadable(path, e.code));
      continue;
    }
    FindLeftovers(path, text, reason != LeftoverReason::Binary, reason, found, request.hooks);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Leftover& a, const Leftover& b) { return a.path < b.path; });
  return found;
}

}  // namespace kv
