#include "test_util.h"

#ifdef _WIN32
#include <cstdio>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace kvtest {

namespace {
// A new, empty folder (or file name) under the system's temporary folder.
fs::path FreshTempName(bool makeFolder) {
  static std::mt19937_64 random(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path p =
        fs::temp_directory_path() / ("kvtest-" + std::to_string(random() % 1000000007));
    if (makeFolder ? fs::create_directory(p) : !fs::exists(p)) return p;
  }
  throw std::runtime_error("no fresh temporary name");
}
}  // namespace

TempDir::TempDir() : path_(FreshTempName(true)) {}

TempDir::~TempDir() {
  std::error_code ec;
  // Give back write permission that a test took away, so everything goes.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

void TempDir::Write(const std::string& rel, const std::string& bytes) const {
  const fs::path p = path_ / rel;
  fs::create_directories(p.parent_path());
  WriteFile(p, bytes);
}

std::string TempDir::Read(const std::string& rel) const { return ReadFile(path_ / rel); }

std::map<std::string, std::string> TempDir::Snapshot() const {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(path_)) {
    if (entry.is_regular_file() && !entry.is_symlink()) {
      files[fs::relative(entry.path(), path_).generic_string()] = ReadFile(entry.path());
    }
  }
  return files;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path.string());
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void CopyTree(const fs::path& from, const fs::path& to) {
  fs::create_directories(to);
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  const std::string errName = FreshTempName(false).string();
#ifdef _WIN32
  // cmd.exe drops the outer pair of quotes of a command that starts with one.
  const std::string full = "\"" + command + " 2>\"" + errName + "\"\"";
  FILE* pipe = ::_popen(full.c_str(), "rb");
#else
  const std::string full = command + " 2>" + errName;
  FILE* pipe = ::popen(full.c_str(), "r");
#endif
  if (!pipe) throw std::runtime_error("popen failed");
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
#ifdef _WIN32
  result.status = ::_pclose(pipe);
#else
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  result.err = ReadFile(errName);
  fs::remove(errName);
  return result;
}

std::string Quote(const std::string& s) {
#ifdef _WIN32
  return "\"" + s + "\"";
#else
  std::string out = "'";
  for (const char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
#endif
}

#ifdef KV_CLI_PATH
CommandResult Cli(const std::string& args, const std::string& cwd) {
#ifdef _WIN32
  // cmd.exe: "cd /d" changes the drive too; the program by its Windows path.
  const std::string cd = cwd.empty() ? "" : "cd /d " + Quote(cwd) + " && ";
  const std::string program = fs::absolute(KV_CLI_PATH).make_preferred().string();
  return RunCommand(cd + Quote(program) + " " + args + " <NUL");
#else
  const std::string cd = cwd.empty() ? "" : "cd " + Quote(cwd) + " && ";
  return RunCommand(cd + Quote(KV_CLI_PATH) + " " + args + " </dev/null");
#endif
}
#endif

void MakeReadOnly(const fs::path& path) {
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  std::istringstream in(text);
  while (std::getline(in, current)) lines.push_back(current);
  return lines;
}

bool RunningAsRoot() {
#ifdef _WIN32
  return false;
#else
  return ::geteuid() == 0;
#endif
}

}  // namespace kvtest
