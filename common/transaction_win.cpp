// The run's transaction on Windows, for now without a journal: writes are
// kept in memory until Commit, which replaces each file atomically in turn
// (RealDisk::WriteAll: ReplaceFileW after FlushFileBuffers). A failure before
// Commit changes nothing; a failure during Commit leaves the files replaced
// before it replaced and the rest as they were. There is nothing to recover.
#include <map>

#include "transaction.h"

namespace kv {

struct Transaction::State {
  Options options;
  RealDisk disk;
  // Staged texts by file identity, with the path they were written through.
  std::map<FileKey, std::pair<std::string, std::string>> staged;
  explicit State(Options o) : options(std::move(o)), disk(options.hook) {}
};

Transaction::Transaction() : Transaction(Options{}) {}
Transaction::Transaction(Options options) : state_(std::make_unique<State>(std::move(options))) {}
Transaction::~Transaction() = default;

std::optional<std::string> Transaction::Canonical(const std::string& path) {
  return state_->disk.Canonical(path);
}

std::optional<std::string> Transaction::Find(std::string_view path, std::string_view baseFolder) {
  return state_->disk.Find(path, baseFolder);
}

std::optional<FileKey> Transaction::Key(const std::string& resolvedPath) {
  return state_->disk.Key(resolvedPath);
}

IoError Transaction::ReadAll(const std::string& resolvedPath, std::string* contents) {
  if (const std::optional<FileKey> key = state_->disk.Key(resolvedPath)) {
    if (auto it = state_->staged.find(*key); it != state_->staged.end()) {
      *contents = it->second.second;
      return IoError{};
    }
  }
  return state_->disk.ReadAll(resolvedPath, contents);
}

IoError Transaction::WriteAll(const std::string& resolvedPath, std::string_view contents) {
  std::string current;
  if (IoError e = ReadAll(resolvedPath, &current)) return e;
  if (current == contents) return IoError{};
  if (IoError e = CheckWritable(resolvedPath)) return e;
  const std::optional<FileKey> key = state_->disk.Key(resolvedPath);
  if (!key) return IoError{ENOENT};
  state_->staged[*key] = {resolvedPath, std::string(contents)};
  return IoError{};
}

Transaction::CommitResult Transaction::Commit() {
  CommitResult result;
  if (!state_->options.dryRun) {
    for (const auto& [key, staged] : state_->staged) {
      if (IoError e = state_->disk.WriteAll(staged.first, staged.second)) {
        result.failure = FileFailure{staged.first, e};
        break;
      }
    }
  }
  state_->staged.clear();
  return result;
}

void Transaction::Rollback() { state_->staged.clear(); }

size_t Transaction::StagedCount() const { return state_->staged.size(); }

FileFailure Transaction::Recover(const std::string&, const FaultHook&) { return FileFailure{}; }

}  // namespace kv
