#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "app/settings.h"
#include "console/memory_console.h"
#include "tests/support/screen_helpers.h"
#include "tests/widgets/scratch_dir.h"
#include "widgets/dir_list.h"

namespace {

const std::string kMarker = "ZZZZZZ_TOO_MUCH_FILES";

TextArray ListOf(const std::vector<std::string>& names, std::int32_t capacity = -1) {
  TextArray list(capacity < 0 ? static_cast<std::int32_t>(names.size()) : capacity);
  for (std::size_t i = 0; i < names.size(); ++i) {
    list.Set(static_cast<std::int32_t>(i + 1), names[i]);
  }
  return list;
}

std::vector<std::string> Entries(const TextArray& list, std::int32_t count) {
  std::vector<std::string> names;
  for (std::int32_t i = 1; i <= count; ++i) names.push_back(list.Get(i));
  return names;
}

std::vector<std::string> Sorted(std::vector<std::string> names, std::int32_t order) {
  TextArray list = ListOf(names);
  SortNameList(list, static_cast<std::int32_t>(names.size()), order);
  return Entries(list, static_cast<std::int32_t>(names.size()));
}

TEST(TextArrayTest, IndexesOutsideTheBoundReadEmptyAndWriteNothing) {
  TextArray list(3);
  EXPECT_EQ(list.Capacity(), 3);
  list.Set(0, "zero");
  list.Set(4, "four");
  list.Set(-1, "minus");
  list.Set(3, "three");
  list.Swap(3, 4);
  EXPECT_EQ(list.Get(0), "");
  EXPECT_EQ(list.Get(4), "");
  EXPECT_EQ(list.Get(3), "three");
  list.Swap(1, 3);
  EXPECT_EQ(list.Get(1), "three");
  EXPECT_EQ(list.Get(3), "");
  EXPECT_EQ(TextArray(-5).Capacity(), 0);
}

TEST(SplitNumberedNameTest, BaseNumberAndExtension) {
  const struct {
    std::string name, base, number, extension;
  } cases[] = {
      {"RUN12.LOG", "RUN", "12", ".LOG"},
      {"A.B.C", "A.B", "", ".C"},
      {"1999", "", "1999", ""},
      {"A10.TXT", "A", "10", ".TXT"},
      {"A.TXT", "A", "", ".TXT"},
      {"V2.0", "V", "2", ".0"},
      {"X1Y2", "X1Y", "2", ""},
      {"", "", "", ""},
      {".", "", "", "."},
      {"12.", "", "12", "."},
  };
  for (const auto& c : cases) {
    std::string base = "old", number = "old", extension = "old";
    SplitNumberedName(c.name, base, number, extension);
    EXPECT_EQ(base, c.base) << c.name;
    EXPECT_EQ(number, c.number) << c.name;
    EXPECT_EQ(extension, c.extension) << c.name;
  }
}

TEST(SortNameListTest, ByNameIgnoresCaseAndPutsPrefixesFirst) {
  EXPECT_EQ(Sorted({"beta", "Alpha", "ALP", "gamma", "_x", "Zed"}, kOrderName),
            (std::vector<std::string>{"ALP", "Alpha", "beta", "gamma", "Zed", "_x"}));
}

// Equal keys (names that differ only in case) end in the order the original's
// gap sequence leaves them: these cases tell the rounding of the halved gap
// apart from plain integer halving (3 -> 1, 7 -> 3) and from rounding halves
// upwards (5 -> 3). Traced by hand for six names: gap 3 exchanges nothing;
// gap 2 exchanges positions 4/6 then 2/4; gap 1 finds only equal pairs.
TEST(SortNameListTest, EqualKeysFollowTheGapSequence) {
  EXPECT_EQ(Sorted({"B", "C", "B", "C", "c", "b"}, kOrderName),
            (std::vector<std::string>{"B", "b", "B", "C", "c", "C"}));
  EXPECT_EQ(Sorted({"a", "b", "B", "A", "B", "c", "a", "c", "A", "a"}, kOrderName),
            (std::vector<std::string>{"a", "a", "a", "A", "A", "B", "B", "b", "c", "c"}));
  EXPECT_EQ(
      Sorted({"A", "a", "B", "A", "A", "A", "a", "B", "a", "B", "b", "A", "A", "A"}, kOrderName),
      (std::vector<std::string>{"A", "a", "a", "A", "A", "A", "a", "A", "A", "A", "B", "B", "b",
                                "B"}));
}

TEST(SortNameListTest, NumberedNamesGroupByExtensionThenBaseThenNumber) {
  EXPECT_EQ(Sorted({"A10.TXT", "A9.TXT", "A.TXT"}, kOrderNumbered),
            (std::vector<std::string>{"A.TXT", "A9.TXT", "A10.TXT"}));
  EXPECT_EQ(Sorted({"log10.txt", "LOG2.TXT", "b.log", "a1.txt", "readme"}, kOrderNumbered),
            (std::vector<std::string>{"readme", "b.log", "a1.txt", "LOG2.TXT", "log10.txt"}));
  // A number too long for 64 bits still sorts after the shorter ones.
  EXPECT_EQ(Sorted({"N99999999999999999999999.TXT", "N5.TXT"}, kOrderNumbered),
            (std::vector<std::string>{"N5.TXT", "N99999999999999999999999.TXT"}));
}

TEST(SortNameListTest, MarkerWithoutExtensionSortsBeforeNamesWithOneInNumberedOrder) {
  EXPECT_EQ(Sorted({"B.TXT", kMarker, "A.LOG", "C"}, kOrderNumbered),
            (std::vector<std::string>{"C", kMarker, "A.LOG", "B.TXT"}));
}

TEST(SortNameListTest, DirectoryOrderPutsDotAndDotDotFirst) {
  // "!", "+" and "-" come before "." in byte order.
  EXPECT_EQ(Sorted({"zeta", "..", "!bang", "-dash", ".", "+plus", "Alpha"}, kOrderDirectory),
            (std::vector<std::string>{".", "..", "!bang", "+plus", "-dash", "Alpha", "zeta"}));
}

TEST(SortNameListTest, CountBeyondTheCapacityIsLimitedAndOtherEntriesStay) {
  TextArray list = ListOf({"c", "b", "a"});
  SortNameList(list, 1000, kOrderName);
  EXPECT_EQ(Entries(list, 3), (std::vector<std::string>{"a", "b", "c"}));
  TextArray part = ListOf({"c", "b", "a"});
  SortNameList(part, 2, kOrderName);
  EXPECT_EQ(Entries(part, 3), (std::vector<std::string>{"b", "c", "a"}));
}

class DirListTest : public ::testing::Test {
 protected:
  ScratchDir dir;
};

// "." and ".." are entries of every directory here, so 297 subdirectories
// fill the 299 names a directory list holds, and one more brings the marker.
class DirCapacityTest : public ::testing::TestWithParam<int> {
 protected:
  ScratchDir dir;
};

TEST_P(DirCapacityTest, FullListEndsWithTheMarker) {
  const int subdirectories = GetParam();
  for (int i = 0; i < subdirectories; ++i) dir.Dir("D" + std::to_string(1000 + i));
  TextArray list(kDirListCapacity);
  std::int32_t count = -1;
  GetDirList("*", kListDirectories, list, count);
  const int entries = subdirectories + 2;
  const bool full = entries > kDirListCapacity - 1;
  EXPECT_EQ(count, full ? kDirListCapacity : entries);
  const std::vector<std::string> names = Entries(list, count);
  EXPECT_EQ(std::count(names.begin(), names.end(), kMarker), full ? 1 : 0);
  EXPECT_EQ(names[0], ".");
  EXPECT_EQ(names[1], "..");
  // The marker sorts after the "D" names; every name is one of ours, once.
  if (full) {
    EXPECT_EQ(names.back(), kMarker);
  }
  const std::set<std::string> distinct(names.begin(), names.end());
  EXPECT_EQ(distinct.size(), names.size());
  for (std::size_t i = 2; i < names.size() - (full ? 1 : 0); ++i) {
    EXPECT_EQ(names[i].size(), 5u) << names[i];
    EXPECT_EQ(names[i][0], 'D');
    if (i > 2) {
      EXPECT_LT(names[i - 1], names[i]);
    }
  }
  EXPECT_EQ(list.Get(count + 1), "");
}

INSTANTIATE_TEST_SUITE_P(Subdirectories, DirCapacityTest, testing::Values(296, 297, 298, 299, 300));

TEST_F(DirListTest, FilesMatchTheExtensionWithoutRegardToCaseHiddenOnesTooAndSortNumbered) {
  for (const char* name : {"A10.TXT", "A9.TXT", "A.TXT", "b5.Txt", "notes.log", "README"}) {
    dir.File(name);
  }
  dir.File(".hidden.txt");
  dir.Dir("folder.txt");
  TextArray list(kFileListCapacity);
  std::int32_t count = 0;
  GetDirList("txt", kListFiles, list, count);
  EXPECT_EQ(Entries(list, count),
            (std::vector<std::string>{".hidden.txt", "A.TXT", "A9.TXT", "A10.TXT", "b5.Txt"}));
  GetDirList("TXT", kListFiles, list, count);
  EXPECT_EQ(count, 5);
  GetDirList("t?t", kListFiles, list, count);
  EXPECT_EQ(count, 5);
  GetDirList("*", kListFiles, list, count);
  EXPECT_EQ(Entries(list, count),
            (std::vector<std::string>{".hidden.txt", "A.TXT", "A10.TXT", "A9.TXT", "b5.Txt",
                                      "notes.log", "README"}));
  GetDirList("", kListFiles, list, count);
  EXPECT_EQ(Entries(list, count), (std::vector<std::string>{"README"}));
  GetDirList("doc", kListFiles, list, count);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(list.Get(1), "") << "entries above the count are emptied";
}

TEST_F(DirListTest, DirectoryListOfASubdirectoryStartsWithDotAndDotDotAndHasHiddenOnes) {
  dir.Dir("sub");
  std::filesystem::current_path(dir.At("sub"));
  for (const char* name : {"!bang", "+plus", "-dash", "Alpha", ".git"})
    dir.Dir(std::string("sub/") + name);
  dir.File("sub/file.txt");
  TextArray list(kDirListCapacity);
  std::int32_t count = 0;
  GetDirList("*", kListDirectories, list, count);
  EXPECT_EQ(Entries(list, count),
            (std::vector<std::string>{".", "..", "!bang", "+plus", "-dash", ".git", "Alpha"}));
}

TEST_F(DirListTest, FullFileListPutsTheMarkerFirstInNumberedOrder) {
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"}) dir.File(name);
  TextArray list(4);
  std::int32_t count = 0;
  GetDirList("txt", kListFiles, list, count);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(list.Get(1), kMarker);
  for (std::int32_t i = 3; i <= 4; ++i) EXPECT_LT(list.Get(i - 1), list.Get(i));
  // In name order it is just a name starting with Z.
  GetDirList("*", kListFiles, list, count);
  EXPECT_EQ(list.Get(4), kMarker);
}

TEST_F(DirListTest, SymbolicLinksCountAsWhatTheyPointTo) {
  dir.Dir("real");
  dir.File("real.txt");
  std::filesystem::create_directory_symlink(dir.At("real"), dir.At("linkdir"));
  std::filesystem::create_symlink(dir.At("real.txt"), dir.At("link.txt"));
  std::filesystem::create_symlink(dir.At("missing"), dir.At("broken.txt"));
  TextArray list(kDirListCapacity);
  std::int32_t count = 0;
  GetDirList("*", kListDirectories, list, count);
  EXPECT_EQ(Entries(list, count), (std::vector<std::string>{".", "..", "linkdir", "real"}));
  GetDirList("txt", kListFiles, list, count);
  EXPECT_EQ(Entries(list, count), (std::vector<std::string>{"link.txt", "real.txt"}));
}

class PrintFileListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    AttachMemoryConsole();
    SetColor(7, 0);
    ClearScreen();
  }
  void TearDown() override { ConsoleDetach(); }
  ScratchDir dir;
};

// The cells of a row: each columnWidth wide, trailing blanks removed.
std::vector<std::string> Cells(int row, int width) {
  std::vector<std::string> cells;
  const std::string text = ConsoleScreen().RowText(row);
  for (std::size_t at = 0; at + static_cast<std::size_t>(width) <= text.size(); at += width) {
    std::string cell = text.substr(at, static_cast<std::size_t>(width));
    cell.erase(cell.find_last_not_of(' ') + 1);
    if (!cell.empty()) cells.push_back(cell);
  }
  return cells;
}

TEST_F(PrintFileListTest, SixCellsOfThirteenOnALineAndTheSeventhOnTheNext) {
  for (int i = 1; i <= 7; ++i) dir.File("F" + std::to_string(i) + ".TXT");
  dir.File("other.log");
  dir.File(".hidden.txt");
  dir.Dir("dir.txt");
  PrintFileList("txt", 13, 0);
  EXPECT_EQ(ScreenLine(1), "Files: " + dir.Path() + "/*.txt");
  const std::vector<std::string> first = Cells(2, 13);
  const std::vector<std::string> second = Cells(3, 13);
  EXPECT_EQ(first.size(), 6u);
  EXPECT_EQ(second.size(), 1u);
  EXPECT_EQ(ScreenText(2, 79, 2), "  ") << "78 characters on the line";
  std::set<std::string> names(first.begin(), first.end());
  names.insert(second.begin(), second.end());
  EXPECT_EQ(names, (std::set<std::string>{"F1.TXT", "F2.TXT", "F3.TXT", "F4.TXT", "F5.TXT",
                                          "F6.TXT", "F7.TXT"}));
  // The last line, then one more line break.
  EXPECT_EQ(ScreenLine(4), "");
  EXPECT_EQ(CursorRow(), 5);
  EXPECT_EQ(CursorCol(), 1);
}

TEST_F(PrintFileListTest, CellsCutNamesAndStrippingCutsAtTheFirstDot) {
  dir.File("averyveryverylongname.tar.gz");
  PrintFileList("gz", 10, 0);
  EXPECT_EQ(ScreenLine(2), "averyvery");
  EXPECT_EQ(CursorRow(), 4);
  ClearScreen();
  PrintFileList("gz", 30, 1);
  EXPECT_EQ(ScreenLine(2), "averyveryverylongname");
}

TEST_F(PrintFileListTest, ExactlyEightyCharactersWrapWithoutABlankLine) {
  for (int i = 1; i <= 9; ++i) dir.File("N" + std::to_string(i));
  // Eight cells of ten fill 80 columns; the ninth starts the next row.
  PrintFileList("", 10, 0);
  EXPECT_EQ(Cells(2, 10).size(), 8u);
  EXPECT_EQ(Cells(3, 10).size(), 1u);
  EXPECT_EQ(ScreenLine(4), "");
  EXPECT_EQ(CursorRow(), 5);
}

}  // namespace
