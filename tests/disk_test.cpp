// The file layer: lookup of listed paths, whole-file reads, atomic writes.
#include "disk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "test_util.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using kvtest::TempDir;

TEST(RealDiskFind, ExactCaseFoldedAndAmbiguous) {
  TempDir dir;
  dir.Write("Proj/Forms/Main.frm", "x");
  dir.Write("Proj/P.vbp", "x");
  dir.Write("Twins/a.txt", "1");
  dir.Write("Twins/A.txt", "2");
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
      {"Forms/Main.frm", base, true},
      {"Forms\\Other.frm", base, false},
      {"folder.frm", base, false},  // a folder is not a file
      {"", base, false},
      {dir / "proj/p.VBP", "", true},
      {dir / "Twins/a.TXT", "", false},  // two entries differ only in case
      {dir / "Twins/a.txt", "", true},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> found = disk.Find(c.path, c.base);
    EXPECT_EQ(found.has_value(), c.found) << c.path;
    if (found) {
      EXPECT_TRUE(fs::is_regular_file(*found)) << *found;
    }
  }
}

// Files of every size around the read's chunk boundaries come back whole,
// into a string that held a longer or a shorter text before; so does a file
// whose size the system does not report (read until its end).
TEST(RealDiskRead, EverySizeAndUnknownSize) {
  TempDir dir;
  RealDisk disk;
  std::string got(3 << 20, 'j');
  for (const size_t size : {size_t{1}, size_t{255}, size_t{4096}, size_t{65535}, size_t{65536},
                            size_t{65537}, size_t{(1 << 20) + 7}, size_t{2}}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + size) % 251);
    dir.Write("f", bytes);
    ASSERT_FALSE(disk.ReadAll(dir / "f", &got)) << size;
    EXPECT_EQ(got, bytes) << size;
  }
  // /proc files report a size of 0 but have contents.
  const std::string expected = kvtest::ReadFile("/proc/self/cmdline");
  ASSERT_FALSE(expected.empty());
  ASSERT_FALSE(disk.ReadAll("/proc/self/cmdline", &got));
  EXPECT_EQ(got, expected);
}

// A mapped file that another program cuts short while it is read: the lost
// pages read as zeros and the text says it is not intact, instead of the
// process dying of SIGBUS; an untouched mapping stays intact. The written
// text comes out the same from its pieces.
TEST(RealDiskMap, ShrunkFileReadsAsZerosAndIsNotIntact) {
  TempDir dir;
  std::string bytes(size_t{3} << 20, 'm');
  bytes[5] = 'n';
  dir.Write("big", bytes);
  const int fd = ::open((dir / "big").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  MappedText kept, cut;
  ASSERT_TRUE(MapOpenFile(fd, bytes.size(), &kept));
  ASSERT_TRUE(MapOpenFile(fd, bytes.size(), &cut));
  EXPECT_EQ(kept.view(), bytes);
  ASSERT_EQ(::ftruncate(fd, 4096), 0);
  const std::string_view view = cut.view();
  size_t zeros = 0;
  for (size_t i = 4096; i < view.size(); i += 4096) zeros += view[i] == '\0';
  EXPECT_EQ(zeros, (view.size() - 1) / 4096);
  EXPECT_EQ(view[5], 'n');
  EXPECT_FALSE(cut.Intact());
  EXPECT_TRUE(kept.Intact());  // not read since
  ::close(fd);

  const TextEdit edits[] = {{5, 6, "N"}, {bytes.size() - 1, bytes.size(), "end"}};
  const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  int faults = 0;
  ASSERT_FALSE(WriteOpenFile(out, EditedText{bytes, edits}, [&] { return ++faults, 0; }));
  ::close(out);
  EXPECT_EQ(kvtest::ReadFile(dir / "out"), (EditedText{bytes, edits}.Join()));
  EXPECT_EQ(faults, 1);  // one chunk of 4 MiB
}

TEST(RealDiskRead, EmptyBinaryAndMissing) {
  TempDir dir;
  const std::string bytes("\0\xff\r\n\x80 last", 10);
  dir.Write("bin", bytes);
  dir.Write("empty", "");
  RealDisk disk;
  std::string got = "junk";
  EXPECT_FALSE(disk.ReadAll(dir / "bin", &got));
  EXPECT_EQ(got, bytes);
  EXPECT_FALSE(disk.ReadAll(dir / "empty", &got));
  EXPECT_EQ(got, "");
  EXPECT_EQ(disk.ReadAll(dir / "none", &got).code, ENOENT);
  EXPECT_EQ(disk.ReadAll(dir.path().string(), &got).code, EISDIR);
}

TEST(RealDiskWrite, KeepsModeAndSymlinkAndLeavesNoTemp) {
  TempDir dir;
  dir.Write("real.txt", "old");
  ::chmod((dir / "real.txt").c_str(), 0640);
  fs::create_symlink("real.txt", dir.path() / "link.txt");
  RealDisk disk;
  ASSERT_FALSE(disk.WriteAll(dir / "link.txt", "new contents"));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.txt"));
  EXPECT_EQ(dir.Read("real.txt"), "new contents");
  struct stat st;
  ASSERT_EQ(::stat((dir / "real.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.Snapshot().size(), 1u);  // no temporary file left
}

TEST(RealDiskWrite, ReadOnlyFileIsNeverWritten) {
  TempDir dir;
  dir.Write("ro.txt", "keep me");
  ::chmod((dir / "ro.txt").c_str(), 0444);
  RealDisk disk;
  EXPECT_EQ(disk.WriteAll(dir / "ro.txt", "changed").code, EACCES);  // also as root
  EXPECT_EQ(CheckWritable(dir / "ro.txt").code, EACCES);
  EXPECT_EQ(dir.Read("ro.txt"), "keep me");
  EXPECT_EQ(dir.Snapshot().size(), 1u);
}

// Every primitive step of a write, failed in turn: the old bytes survive and
// no temporary file remains.
TEST(RealDiskWrite, InjectedFailureAtEveryStepKeepsOldContent) {
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

TEST(RealDiskWrite, FailedReadReportsAndReturnsNothing) {
  TempDir dir;
  dir.Write("f.txt", "data");
  RealDisk disk([](DiskOp op, const std::string&) { return op == DiskOp::Read ? EIO : 0; });
  std::string got;
  EXPECT_EQ(disk.ReadAll(dir / "f.txt", &got).code, EIO);
  EXPECT_TRUE(got.empty());
}

TEST(RealDiskKey, SymlinkAndTargetAreOneFile) {
  TempDir dir;
  dir.Write("a.frm", "x");
  fs::create_symlink("a.frm", dir.path() / "b.frm");
  RealDisk disk;
  EXPECT_EQ(disk.Key(dir / "a.frm"), disk.Key(dir / "b.frm"));
  EXPECT_FALSE(disk.Key(dir / "none"));
}

// A file found is asked for its real path next; a link found, or a file that
// became a link after another file was found, is resolved to its target.
TEST(RealDiskFind, RealPathOfWhatWasFound) {
  TempDir dir;
  dir.Write("sub/t.frm", "x");
  dir.Write("a.frm", "x");
  dir.Write("c.frm", "x");
  fs::create_symlink("sub/t.frm", dir.path() / "l.frm");
  RealDisk disk;
  const std::string real = disk.Canonical(dir.path().string()).value_or("?");
  const std::string a = dir / "a.frm", l = dir / "l.frm";
  ASSERT_EQ(disk.Find("a.frm", dir.path().string()), a);
  EXPECT_EQ(disk.Canonical(a), real + "/a.frm");
  ASSERT_EQ(disk.Find("l.frm", dir.path().string()), l);
  EXPECT_EQ(disk.Canonical(l), real + "/sub/t.frm");
  ASSERT_EQ(disk.Find("A.FRM", dir.path().string()), a);  // found by a walk
  EXPECT_EQ(disk.Canonical(a), real + "/a.frm");
  EXPECT_EQ(disk.Canonical(l), real + "/sub/t.frm");  // (the last answer is kept)
  ASSERT_EQ(disk.Find("a.frm", dir.path().string()), a);
  fs::remove(dir.path() / "a.frm");
  fs::create_symlink("sub/t.frm", dir.path() / "a.frm");
  ASSERT_TRUE(disk.Find("c.frm", dir.path().string()));
  EXPECT_EQ(disk.Canonical(a), real + "/sub/t.frm");
}

}  // namespace
}  // namespace kv
