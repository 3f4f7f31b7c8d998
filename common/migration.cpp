#include "migration.h"

#include <algorithm>
#include <utility>

#include "cancel.h"
#include "transaction_run.h"

namespace kv {

namespace {

// Hands each write of the engine to a WriteObserver, with the text it
// replaces.
class WatchedDisk : public Disk {
 public:
  WatchedDisk(Disk& real, const WriteObserver& observer) : real_(real), observer_(observer) {}

  std::optional<std::string> Find(std::string_view path, std::string_view base) override {
    return real_.Find(path, base);
  }
  std::optional<FileKey> Key(const std::string& path) override { return real_.Key(path); }
  std::optional<std::string> Canonical(const std::string& path) override {
    return real_.Canonical(path);
  }
  IoError ReadAll(const std::string& path, std::string* contents) override {
    return real_.ReadAll(path, contents);
  }
  IoError WriteAll(const std::string& path, std::string_view contents) override {
    std::string before;
    if (IoError e = real_.ReadAll(path, &before)) return e;
    if (IoError e = real_.WriteAll(path, contents)) return e;
    observer_(path, before, contents);
    return IoError{};
  }
  unsigned PathCodePage() const override { return real_.PathCodePage(); }

 private:
  Disk& real_;
  const WriteObserver& observer_;
};

}  // namespace

bool VersionTextAllowed(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    return c == '"' || c == '<' || c == '>' || c == '&' || static_cast<unsigned char>(c) < 0x20;
  });
}

RunOutcome RunMigration(const MigrationRequest& request, Reporter& reporter,
                        const CancelFlag* cancel, RunRecord* record) {
  std::optional<TeeReporter> tee;
  Reporter& to = record ? tee.emplace(reporter, *record) : reporter;
  if (record) record->SetPreview(request.dryRun);

  const EngineJob job = [&](Disk& disk, Reporter& r, const CancelFlag* stop) {
    WatchedDisk watched(disk, request.onWrite);
    std::unique_ptr<Migrator> migrator =
        request.kind->make(request.onWrite ? watched : disk, request);
    RunOutcome outcome = migrator->ConvertFile(request.path, r, stop);
    // The scan reads the files as the run leaves them (staged texts
    // included). A run that stopped changes nothing and reached only part of
    // the project: its last line says it all.
    if (record && request.scan && outcome.status == RunOutcome::Status::Completed &&
        !(stop && stop->load())) {
      const CancelScope scope(stop);
      try {
        record->Scan(disk, migrator->LeftoverHooks());
      } catch (const RunCancelled&) {
      }
    }
    return outcome;
  };

  RunOutcome outcome;
  if (request.disk) {
    outcome = job(*request.disk, to, cancel);
  } else {
    Transaction::Options options;
    options.dryRun = request.dryRun;
    options.hook = request.hook;
    options.pathCodePage = request.pathCodePage;
    outcome = RunAsTransaction(request.path, to, cancel, job, std::move(options));
  }
  return ReportEnd(to, std::move(outcome));
}

}  // namespace kv
