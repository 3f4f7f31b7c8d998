// Path and text helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "diff.h"
#include "general_functions.h"
#include "index_table.h"
#include "journal.h"
#include "string_functions.h"

namespace kv {
namespace {

using namespace std::string_literals;

TEST(GeneralFunctions, PathSplitting) {
  struct Case {
    std::string path, name, folder;
  };
  const std::vector<Case> cases = {
      {"C:\\dir\\x.sln", "x.sln", "C:\\dir\\"},
      {"x.sln", "x.sln", ""},
      {"C:\\dir\\", "", "C:\\dir\\"},
      {"/home/u/p/App.sln", "App.sln", "/home/u/p/"},
      {"Forms\\sub/A.frm", "A.frm", "Forms\\sub/"},
      {"C:\\Main  Form.sln", "Main Form.sln", "C:\\"},
      {"  spaced   name  ", "spaced name", ""},
      {"a\\b\r\n.frm", "b.frm", "a\\"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    const std::string before = c.path;
    EXPECT_EQ(GetFileNameFromPath(c.path), c.name) << c.path;
    EXPECT_EQ(GetFolderFromPath(c.path), c.folder) << c.path;
    EXPECT_EQ(c.path, before);
  }
}

TEST(GeneralFunctions, Extension) {
  EXPECT_EQ(GetFileExtension("Form1.cs"), ".cs");
  EXPECT_EQ(GetFileExtension("Form1.cs.bak"), ".bak");
  EXPECT_EQ(GetFileExtension("C:\\a.b\\file"), ".b\\file");
  EXPECT_EQ(GetFileExtension("ends."), ".");
  EXPECT_EQ(GetFileExtension("Makefile"), std::nullopt);
}

TEST(StringFunctions, AppendToArrayCopiesValues) {
  std::vector<std::vector<std::string>> lists;
  std::vector<std::string> inner{"a"};
  AppendToArray(lists, inner);
  inner.push_back("b");
  AppendToArray(lists, inner);
  AppendToArray(lists, std::vector<std::string>{});
  ASSERT_EQ(lists.size(), 3u);
  EXPECT_EQ(lists[0], std::vector<std::string>{"a"});
  EXPECT_EQ(lists[1].size(), 2u);
  EXPECT_TRUE(lists[2].empty());
}

TEST(StringFunctions, Cleaning) {
  struct Case {
    std::string in, removed, removedTabs, normalized;
  };
  const std::vector<Case> cases = {
      {"wo\0r\rd\n"s, "word", "word", "word"},
      {"  word  ", "word", "word", "word"},
      {"\tword ", "\tword", "word", "\tword"},
      {"a     b", "a     b", "a     b", "a b"},
      {"a  b  c", "a  b  c", "a  b  c", "a b c"},
      {"word \r\n word", "word  word", "word  word", "word word"},
      {" \t ", "\t", "", "\t"},
      {"a \t  b", "a \t  b", "a   b", "a \t b"},
      {"", "", "", ""},
      {"   \r\n\0  "s, "", "", ""},
      {"\xe9t\xe9  caf\xe9", "\xe9t\xe9  caf\xe9", "\xe9t\xe9  caf\xe9", "\xe9t\xe9 caf\xe9"},
  };
  for (const Case& c : cases) {
    std::string a = c.in, b = c.in, n = c.in;
    EXPECT_EQ(RemoveControlChars(a), c.removed);
    EXPECT_EQ(a, c.removed);
    EXPECT_EQ(RemoveControlChars(b, true), c.removedTabs);
    EXPECT_EQ(NormalizeSpaces(n), c.normalized);
    EXPECT_EQ(n, c.normalized);
  }
}

TEST(StringFunctions, SplitToArray) {
  using V = std::vector<std::string>;
  struct Case {
    std::string in;
    V out;
  };
  const std::vector<Case> cases = {
      {"\"a\", \"b\", \"c\"", {"a", " b", " c"}},
      {"", {}},
      {"  \r\n ", {}},
      {"abc", {"abc"}},
      {"a,,b", {"a", "", "b"}},
      {",a", {"", "a"}},
      {"a,b,", {"a", "b"}},
      {"a,\r\nb", {"a", "b"}},
      {"x\"y\"z, \"p,q\"", {"xyz", " p", "q"}},
      {"a  ,   b", {"a ", " b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitToArray(c.in, ","), c.out) << c.in;

  // No length limit: long texts split like short ones.
  const std::string piece(40000, 'x');
  EXPECT_EQ(SplitToArray(piece, ","), V{piece});
  EXPECT_EQ(SplitToArray(piece + "," + piece, ","), (V{piece, piece}));
}

TEST(StringFunctions, CaseFoldingIsAsciiOnly) {
  EXPECT_TRUE(EqualsNoCase("ReDiDiZo", "redidizo"));
  EXPECT_FALSE(EqualsNoCase("\xc9", "\xe9"));  // Latin-1 É and é stay apart
  EXPECT_FALSE(EqualsNoCase("[", "{"));
  EXPECT_EQ(FindNoCase("xxFORM=a", "form="), 2u);
  EXPECT_EQ(FindNoCase("form", "form=", 0), std::string::npos);
  EXPECT_EQ(FindNoCase("aForm=bform=", "FORM=", 2), 7u);
  EXPECT_EQ(ToUpperAscii("a.cs\xe9"), "A.CS\xe9");
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

TEST(UnifiedDiff, HunksContextAndMissingNewline) {
  EXPECT_EQ(UnifiedDiff("same\n", "same\n", "f"), "");
  std::string before, after;
  for (int i = 1; i <= 12; ++i) {
    // A named number: GCC 12 at -O3 takes "text" + std::string&& for an
    // overlapping copy (-Wrestrict) where there is none.
    const std::string n = std::to_string(i);
    before += "l" + n + "\n";
    after += (i == 2 || i == 3 ? "L" : "l") + n + "\n";
  }
  EXPECT_EQ(
      UnifiedDiff(before, after, "x/f.frm"),
      "--- a/x/f.frm\n+++ b/x/f.frm\n@@ -1,6 +1,6 @@\n l1\n-l2\n-l3\n+L2\n+L3\n l4\n l5\n l6\n");
  EXPECT_EQ(UnifiedDiff("a\r\nb", "a\r\nB", "f"),
            "--- a/f\n+++ b/f\n@@ -1,2 +1,2 @@\n a\r\n-b\n\\ No newline at end of file\n+B\n"
            "\\ No newline at end of file\n");
  EXPECT_EQ(UnifiedDiff("a\n", "a\nb\n", "f"), "--- a/f\n+++ b/f\n@@ -1 +1,2 @@\n a\n+b\n");
}

// Every one-byte change, at every position of texts around the lane and word
// boundaries, and every length change, gives another fingerprint.
TEST(StringFunctions, FingerprintSeesEveryByteChange) {
  for (const size_t size : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{31}, size_t{32},
                            size_t{33}, size_t{100}}) {
    std::string text(size, 'a');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
    const TextFingerprint base(text);
    EXPECT_EQ(base, TextFingerprint(text));
    EXPECT_NE(base, TextFingerprint(text + '\0'));
    for (size_t i = 0; i < size; ++i) {
      for (const int delta : {1, 128}) {
        std::string changed = text;
        changed[i] = static_cast<char>(changed[i] ^ delta);
        EXPECT_NE(base, TextFingerprint(changed)) << size << " " << i;
      }
    }
  }
}

// The lookup tables for many files against the standard ones: keys from a
// small range (so that hashes and slots collide), texts of every size up to
// past a block of the store, each view still reading its text at the end.
TEST(IndexTable, AgreesWithAStandardSetAndKeptTextsStay) {
  std::mt19937_64 rng(5);
  FileKeySet keys;
  std::set<FileKey> expected;
  TextStore store;
  std::vector<std::pair<std::string_view, std::string>> kept;
  for (int i = 0; i < 20000; ++i) {
    const FileKey key{rng() % 4, rng() % 3000};
    ASSERT_EQ(keys.Insert(key), expected.insert(key).second);
    if (i % 100 == 0) {
      const std::string text(rng() % 3 == 0 ? rng() % 100000 : rng() % 40, char('a' + i % 26));
      kept.emplace_back(store.Keep(text), text);
    }
  }
  for (const auto& [view, text] : kept) EXPECT_EQ(view, text);
}

}  // namespace
// A journal reads back as written, whatever bytes its names and the
// capability hold; one written before the capability was recorded still
// reads; one cut short or altered does not.
TEST(Journal, RoundTripsAndRefusesDamage) {
  const std::vector<JournalEntry> entries = {
      {'R', "/p/a b", "x\n1:y end 3", ".t", ".o", 1, 2, 3, 4, 5, ""},
      {'W', "/p", "l", ".t2", ".o2", 6, 7, 8, 9, 10, std::string("\x01\0\x02 end 9:", 9)}};
  const std::string text = EncodeJournal(entries);
  const auto back = DecodeJournal(text);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 2u);
  EXPECT_EQ((*back)[0].name, entries[0].name);
  EXPECT_EQ((*back)[1].capability, entries[1].capability);
  EXPECT_EQ((*back)[1].newSize, 10u);

  std::string older = EncodeJournal({entries[0]});
  EXPECT_TRUE(DecodeJournal(older));
  for (size_t cut = 0; cut < text.size(); cut += 7) {
    EXPECT_FALSE(DecodeJournal(text.substr(0, cut))) << cut;
  }
  std::string altered = text;
  altered[30] ^= 1;
  EXPECT_FALSE(DecodeJournal(altered));
}

// A journal of many entries is handed on in bounded blocks that read back
// whole; a failed block ends the writing with its error.
TEST(Journal, WrittenInBlocksReadsBackWhole) {
  std::string text;
  size_t blocks = 0, largest = 0;
  JournalWriter writer([&](std::string_view block) {
    ++blocks;
    largest = std::max(largest, block.size());
    text += block;
    return 0;
  });
  const JournalEntry e{'R', std::string(200, 'f'), "name", ".t", ".o", 1, 2, 3, 4, 5, ""};
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(writer.Add(e), 0);
  ASSERT_EQ(writer.Finish(), 0);
  EXPECT_GT(blocks, 4u);
  EXPECT_LT(largest, size_t{1} << 17);
  const auto back = DecodeJournal(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->size(), 2000u);

  JournalWriter failing([](std::string_view) { return ENOSPC; });
  int err = 0;
  for (int i = 0; i < 2000 && err == 0; ++i) err = failing.Add(e);
  EXPECT_EQ(err, ENOSPC);
  EXPECT_EQ(failing.Finish(), ENOSPC);
}

}  // namespace kv
