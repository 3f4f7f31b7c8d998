#include "transaction_test_util.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

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

void DieNow() {
#ifdef _WIN32
  ::TerminateProcess(::GetCurrentProcess(), 9);
#endif
  std::_Exit(9);
}

bool RunKilled(const fs::path& root, size_t k, bool exchange, const KilledRun& run) {
#ifdef _WIN32
  (void)run;  // the second process runs it
#endif
  const std::string spec = std::to_string(k) + "|" + (exchange ? "1" : "0") + "|" + root.string();
#ifdef _WIN32
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  ::SetEnvironmentVariableW(L"KV_TRANSACTION_KILL", fs::path(spec).wstring().c_str());
  std::wstring command = L"\"" + std::wstring(self) +
                         L"\" --gtest_also_run_disabled_tests "
                         L"--gtest_filter=TransactionFaults.DISABLED_KilledRunChild";
  // Its output goes nowhere: the report is the calling test's.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE nul =
      ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
  ::CloseHandle(nul);
  ::SetEnvironmentVariableW(L"KV_TRANSACTION_KILL", nullptr);
  if (!started) return false;
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return code == 9 || code == 0;
#else
  // The child runs the run itself: no second program needed.
  const pid_t child = ::fork();
  if (child == 0) {
    run(root, k, exchange);
    ::_exit(0);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child;
#endif
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
