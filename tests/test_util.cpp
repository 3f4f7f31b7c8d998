#include "test_util.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace kvtest {

TempDir::TempDir() {
  std::string templ = (fs::temp_directory_path() / "kvtest-XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

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
      files[fs::relative(entry.path(), path_).string()] = ReadFile(entry.path());
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
  char errName[] = "/tmp/kvtest-err-XXXXXX";
  const int errFd = ::mkstemp(errName);
  if (errFd < 0) throw std::runtime_error("mkstemp failed");
  ::close(errFd);
  const std::string full = command + " 2>" + errName;
  FILE* pipe = ::popen(full.c_str(), "r");
  if (!pipe) throw std::runtime_error("popen failed");
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.err = ReadFile(errName);
  ::unlink(errName);
  return result;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  std::istringstream in(text);
  while (std::getline(in, current)) lines.push_back(current);
  return lines;
}

bool RunningAsRoot() { return ::geteuid() == 0; }

}  // namespace kvtest
