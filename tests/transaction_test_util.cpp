#include "transaction_test_util.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>

#include "test_util.h"

namespace kvtest {

namespace fs = std::filesystem;

Tree ScanTree(const fs::path& root) {
  Tree t;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    const std::string name = entry.path().filename().string();
    if (name.find(kv::Transaction::kTempMarker) != std::string::npos ||
        name.find(kv::Transaction::kJournalMarker) != std::string::npos) {
      ++t.ours;
    } else {
      t.files[fs::relative(entry.path(), root).generic_string()] = ReadFile(entry.path());
    }
  }
  return t;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

kv::Transaction::CommitResult RunUpper(const fs::path& root, const std::vector<std::string>& names,
                                       kv::Transaction::FaultHook hook, bool exchange,
                                       bool flushAll) {
  kv::Transaction::Options options;
  options.hook = std::move(hook);
  options.exchange = exchange;
  if (flushAll) options.flushEvery = 1;
  options.journalFolder = root.string();
  kv::Transaction t(options);
  for (const std::string& name : names) {
    std::string text;
    if (kv::IoError e = t.ReadAll((root / name).string(), &text)) return {{name, e}, false};
    if (kv::IoError e = t.WriteAll((root / name).string(), Upper(text))) return {{name, e}, false};
  }
  return t.Commit();
}

void RecoverThroughFaults(const fs::path& root, const std::string& what) {
  for (size_t j = 0;; ++j) {
    size_t seen = 0;
    bool failed = false;
    const kv::FileFailure f =
        kv::Transaction::Recover(root.string(), [&](kv::DiskOp, const std::string&) {
          const bool now = seen++ == j;
          failed = failed || now;
          return now ? EIO : 0;
        });
    if (!failed) {
      EXPECT_FALSE(f) << what << ": " << f.error.Message();
      return;
    }
  }
}

}  // namespace kvtest
