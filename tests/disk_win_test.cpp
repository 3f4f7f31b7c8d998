// The Windows file layer: lookup through the system's case-blind names, paths
// in the project's code page, whole-file reads, and the replacement that keeps
// the read-only attribute's word and the old file's identity.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <filesystem>

#include "disk.h"
#include "test_util.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using kvtest::TempDir;

TEST(WinDiskFind, CaseSeparatorsCodePageAndFolders) {
  TempDir dir;
  dir.Write("Proj/Forms/Main.frm", "x");
  dir.Write("Proj/P.vbp", "x");
  kvtest::WriteFile(dir.path() / "Proj" / L"Caf\u00e9.bas", "accent");
  fs::create_directories(dir.path() / "Proj/folder.frm");
  RealDisk disk;
  const std::string base = dir / "Proj";
  struct Case {
    std::string path;
    std::string base;
    bool found;
  };
  const std::vector<Case> cases = {
      {"Forms\\Main.frm", base, true},
      {"forms\\MAIN.FRM", base, true},
      {"Forms/Main.frm", base + "\\", true},
      {"Forms\\Other.frm", base, false},
      {"folder.frm", base, false},  // a folder is not a file
      {"", base, false},
      {"CAF\xc9.BAS", base, true},  // Windows-1252 bytes, the other case
      {dir / "proj/p.VBP", "", true},
      {dir / "proj/p.VBP", "D:\\elsewhere", true},  // an absolute path ignores the base
  };
  for (const Case& c : cases) {
    const std::optional<std::string> found = disk.Find(c.path, c.base);
    EXPECT_EQ(found.has_value(), c.found) << c.path;
    if (found) {
      EXPECT_EQ(found->find('/'), std::string::npos) << *found;
    }
  }
  std::string got;
  ASSERT_FALSE(disk.ReadAll(*disk.Find("caf\xe9.bas", base), &got));
  EXPECT_EQ(got, "accent");

  // A file or folder has one canonical name, in its letter case on disk.
  const std::optional<std::string> vbp = disk.Canonical(dir / "Proj/P.vbp");
  ASSERT_TRUE(vbp);
  EXPECT_EQ(disk.Canonical(dir / "PROJ/forms/../p.VBP"), vbp);
  EXPECT_TRUE(vbp->ends_with("\\Proj\\P.vbp")) << *vbp;
  EXPECT_EQ(disk.Canonical(dir / "proj").value_or("") + "\\P.vbp", *vbp);
}

TEST(WinDiskRead, SizesEmptyMissingAndFolder) {
  TempDir dir;
  RealDisk disk;
  std::string got(3 << 20, 'j');
  for (const size_t size : {size_t{0}, size_t{1}, size_t{65536}, size_t{(1 << 20) + 7}}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + size) % 251);
    dir.Write("f", bytes);
    ASSERT_FALSE(disk.ReadAll(dir / "f", &got)) << size;
    EXPECT_EQ(got, bytes) << size;
  }
  EXPECT_EQ(disk.ReadAll(dir / "none", &got).code, ENOENT);
  EXPECT_EQ(disk.ReadAll(dir.path().string(), &got).code, EISDIR);
}

DWORD AttributesOf(const std::string& path) {
  return ::GetFileAttributesW(fs::path(path).wstring().c_str());
}

TEST(WinDiskWrite, KeepsAttributesHonoursReadOnlyLeavesNoTemp) {
  TempDir dir;
  dir.Write("f.txt", "old");
  const std::string path = dir / "f.txt";
  ::SetFileAttributesW(fs::path(path).wstring().c_str(),
                       FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
  RealDisk disk;
  ASSERT_FALSE(disk.WriteAll(path, "new contents"));
  EXPECT_EQ(dir.Read("f.txt"), "new contents");
  EXPECT_TRUE(AttributesOf(path) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(dir.Snapshot().size(), 1u);

  kvtest::MakeReadOnly(path);
  ASSERT_TRUE(AttributesOf(path) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(CheckWritable(path).code, EACCES);
  EXPECT_EQ(disk.WriteAll(path, "changed").code, EACCES);
  EXPECT_EQ(dir.Read("f.txt"), "new contents");
  EXPECT_EQ(dir.Snapshot().size(), 1u);
}

TEST(WinDiskWrite, InjectedFailureAtEveryStepKeepsOldContent) {
  for (const DiskOp failing : {DiskOp::Open, DiskOp::Write, DiskOp::Flush, DiskOp::Rename}) {
    TempDir dir;
    dir.Write("f.txt", "original");
    RealDisk disk([&](DiskOp op, const std::string&) { return op == failing ? ENOSPC : 0; });
    EXPECT_EQ(disk.WriteAll(dir / "f.txt", std::string(10 << 20, 'n')).code, ENOSPC)
        << DiskOpName(failing);
    EXPECT_EQ(dir.Read("f.txt"), "original") << DiskOpName(failing);
    EXPECT_EQ(dir.Snapshot().size(), 1u) << DiskOpName(failing);
  }
}

// Past MAX_PATH (260 characters) every operation still reaches the file.
TEST(WinDiskLongPath, FindReadWriteKey) {
  TempDir dir;
  const std::string rel = std::string(120, 'd') + "/" + std::string(120, 'e') + "/F.frm";
  dir.Write(rel, "x.PenColor");
  RealDisk disk;
  const std::optional<std::string> found = disk.Find("..\\" + rel, dir / "sub");
  ASSERT_TRUE(found);
  ASSERT_GT(found->size(), 260u);
  ASSERT_FALSE(disk.WriteAll(*found, "new"));
  std::string got;
  ASSERT_FALSE(disk.ReadAll(*found, &got));
  EXPECT_EQ(got, "new");
  EXPECT_TRUE(disk.Key(*found));
}

TEST(WinDiskKey, TwoNamesOfOneFileShareAKey) {
  TempDir dir;
  dir.Write("a.frm", "x");
  dir.Write("b.frm", "x");
  fs::create_hard_link(dir.path() / "a.frm", dir.path() / "c.frm");
  RealDisk disk;
  EXPECT_EQ(disk.Key(dir / "a.frm"), disk.Key(dir / "C.FRM"));
  EXPECT_NE(disk.Key(dir / "a.frm"), disk.Key(dir / "b.frm"));
  EXPECT_FALSE(disk.Key(dir / "none"));
}

}  // namespace
}  // namespace kv
