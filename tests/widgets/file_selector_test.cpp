#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/settings.h"
#include "console/memory_console.h"
#include "tests/support/screen_helpers.h"
#include "tests/widgets/scratch_dir.h"
#include "widgets/dir_list.h"
#include "widgets/file_selector.h"

namespace {

const std::string kCtrlA(1, '\x01');
const ColorPair kHighlight{0, 15};
const ColorPair kPlain{7, 0};

TextArray ListOf(const std::vector<std::string>& names) {
  TextArray list(static_cast<std::int32_t>(names.size()));
  for (std::size_t i = 0; i < names.size(); ++i) {
    list.Set(static_cast<std::int32_t>(i + 1), names[i]);
  }
  return list;
}

std::string Padded(const std::string& text, std::size_t width) {
  std::string padded = text;
  padded.resize(width, ' ');
  return padded;
}

struct PanelCase {
  std::string name;
  std::string key;
  std::int32_t count, top, sel;
  std::int32_t wantTop, wantSel;
};

TEST(ListPanelKeyTest, MovesSelectionAndPage) {
  InitSettings();
  const PanelCase cases[] = {
      {"down", KeyDown, 30, 1, 1, 1, 2},
      {"up at the first stays", KeyUp, 30, 1, 1, 1, 1},
      {"down at the last stays", KeyDown, 30, 17, 30, 17, 30},
      {"down past the page moves it", KeyDown, 30, 1, 14, 2, 15},
      {"PgDn goes to the page's last row first", KeyPgDn, 30, 1, 1, 1, 14},
      {"PgDn on the last row goes a page on", KeyPgDn, 30, 1, 14, 15, 28},
      {"PgDn near the end stops at the last", KeyPgDn, 30, 15, 28, 17, 30},
      {"PgUp goes to the page's top first", KeyPgUp, 30, 15, 28, 15, 15},
      {"PgUp on the top goes a page back", KeyPgUp, 30, 15, 15, 1, 1},
      {"PgUp near the start stops at the first", KeyPgUp, 30, 5, 5, 1, 1},
      {"Home", KeyHome, 30, 17, 20, 1, 1},
      {"End", KeyEnd, 30, 1, 3, 17, 30},
      {"End on a short list", KeyEnd, 5, 1, 1, 1, 5},
      {"empty list", KeyDown, 0, 1, 1, 1, 1},
  };
  for (const PanelCase& c : cases) {
    std::string key = c.key;
    std::int32_t top = c.top;
    std::int32_t sel = c.sel;
    ListPanelKey(key, 14, c.count, top, sel);
    EXPECT_EQ(key, "") << c.name << ": a panel key is consumed";
    EXPECT_EQ(top, c.wantTop) << c.name;
    EXPECT_EQ(sel, c.wantSel) << c.name;
  }
  for (const std::string& other : {std::string("A"), KeyEnter, KeyTab, KeyCtrlPgUp, KeyRight}) {
    std::string key = other;
    std::int32_t top = 3;
    std::int32_t sel = 5;
    ListPanelKey(key, 14, 30, top, sel);
    EXPECT_EQ(key, other);
    EXPECT_EQ(top, 3);
    EXPECT_EQ(sel, 5);
  }
}

TEST(SeekListEntryTest, FirstEntryNotBelowThePrefix) {
  const TextArray list = ListOf({"alpha", "LOG", "log10", "logbook", "lz", "zeta"});
  const struct {
    std::string prefix;
    std::int32_t sel;
  } cases[] = {
      {"log", 2}, {"LOGB", 4}, {"lo", 2}, {"lq", 5},   {"m", 6},
      {"zz", 6},  {"", 1},     {"A", 1},  {"LOG1", 3}, {"logbookz", 5},
  };
  for (const auto& c : cases) {
    std::int32_t top = 1;
    std::int32_t sel = 1;
    SeekListEntry(c.prefix, list, 3, 6, top, sel);
    EXPECT_EQ(sel, c.sel) << c.prefix;
    EXPECT_TRUE(sel >= top && sel <= top + 2) << c.prefix << ": the selection is on the page";
  }
  std::int32_t top = 1;
  std::int32_t sel = 4;
  SeekListEntry("x", TextArray(10), 14, 0, top, sel);
  EXPECT_EQ(sel, 1) << "an empty list selects its first place";
}

class SelectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    console = &AttachMemoryConsole();
    console->SetTimeLimitMs(60000);
    SetColor(7, 0);
    ClearScreen();
    FileTop = FileSelIdx = DirTop = DirSelIdx = 0;
    LastExt.clear();
  }
  void TearDown() override { ConsoleDetach(); }

  void Keys(const std::vector<std::string>& keys) {
    for (const std::string& key : keys) console->PushKey(key);
  }
  // FileSel with the keys queued so far; returns the result, key in key.
  std::string Select(std::string_view ext, std::int32_t mode, std::string& key,
                     std::string message = "") {
    std::string result = "unset";
    std::int32_t clearFirst = 1;
    FileSel("Pick a file", "the status line", message, ext, result, mode, key, clearFirst);
    EXPECT_EQ(clearFirst, 0);
    return result;
  }
  // Runs a screen until the queued keys are used up, and leaves its last
  // drawing on the screen to be read.
  template <typename Screen>
  void RunUntilKeysRunOut(Screen screen) {
    console->SetTimeLimitMs(console->NowMsValue() + 3000);
    EXPECT_THROW(screen(), ScriptExhausted);
    EXPECT_EQ(console->KeysLeft(), 0u);
    console->SetTimeLimitMs(console->NowMsValue() + 60000);
  }
  std::string Here() const { return std::filesystem::current_path().string(); }

  ScratchDir dir;
  MemoryConsole* console = nullptr;
};

TEST_F(SelectorTest, DrawListPanelCutsPadsAndHighlights) {
  const TextArray list = ListOf({"short", "exactly10c", "longer than ten"});
  std::int32_t top = 1;
  std::int32_t sel = 9;
  DrawListPanel(list, 5, 4, 10, 4, 3, top, sel, true);
  EXPECT_EQ(sel, 3) << "the selection is brought onto the list";
  EXPECT_EQ(ScreenText(5, 4, 12), " short      ");
  EXPECT_EQ(ScreenText(6, 4, 12), " exactly10c ");
  EXPECT_EQ(ScreenText(7, 4, 12), " longer ... ");
  EXPECT_EQ(ScreenText(8, 4, 12), std::string(12, ' '));
  EXPECT_EQ(ScreenText(9, 4, 12), std::string(12, ' ')) << "only `rows` rows are drawn";
  for (int col = 4; col <= 15; ++col) {
    EXPECT_EQ(CellColors(7, col), kHighlight) << col;
    EXPECT_EQ(CellColors(6, col), kPlain) << col;
  }
  DrawListPanel(list, 5, 4, 10, 4, 3, top, sel, false);
  EXPECT_EQ(CellColors(7, 4), kPlain) << "no highlight without focus";

  top = 1;
  sel = 3;
  DrawListPanel(list, 5, 4, 10, 2, 3, top, sel, true);
  EXPECT_EQ(top, 2) << "the page follows the selection";
  EXPECT_EQ(ScreenText(5, 4, 12), " exactly10c ");
}

TEST_F(SelectorTest, PgDnTwicePagesTheFilePanel) {
  for (int i = 1; i <= 30; ++i)
    dir.File("f" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".txt");
  Keys({KeyPgDn, KeyPgDn});
  std::string key;
  RunUntilKeysRunOut([&] { Select("txt", 0, key); });
  EXPECT_EQ(FileTop, 15);
  EXPECT_EQ(FileSelIdx, 28);
  EXPECT_EQ(ScreenText(7, 38, 9), " f15.txt ");
  EXPECT_EQ(ScreenText(20, 38, 9), " f28.txt ");
  EXPECT_EQ(CellColors(20, 38), kHighlight);
  EXPECT_EQ(CellColors(19, 38), kPlain);

  Keys({KeyEnter});
  key.clear();
  EXPECT_EQ(Select("txt", 0, key), "f28.txt");
  EXPECT_EQ(key, KeyEnter);
}

TEST_F(SelectorTest, ScreenLayout) {
  dir.Dir("sub");
  dir.File("a.txt");
  std::string key;
  RunUntilKeysRunOut([&] { Select("txt", 0, key); });
  EXPECT_EQ(ScreenText(2, 2, 79), Padded(" Pick a file", 78) + " ");
  EXPECT_EQ(CellColors(2, 2), (ColorPair{15, 1}));
  EXPECT_EQ(CellColors(2, 79), (ColorPair{15, 1}));
  EXPECT_EQ(CellColors(2, 80), (ColorPair{7, 8})) << "cleared with dark grey";
  EXPECT_EQ(ScreenText(4, 2, 6), " Path:");
  EXPECT_EQ(ScreenText(4, 8, 72), " " + Padded(dir.Path(), 70) + " ");
  EXPECT_EQ(CellColors(4, 8), kPlain);
  EXPECT_EQ(ScreenText(6, 2, 35), Padded(" Directories:", 35));
  EXPECT_EQ(ScreenText(6, 38, 42), " " + Padded("Files: *.txt", 40) + " ");
  EXPECT_EQ(ScreenText(7, 2, 35), Padded(" .", 35));
  EXPECT_EQ(ScreenText(8, 2, 4), " .. ");
  EXPECT_EQ(ScreenText(9, 2, 5), " sub ");
  EXPECT_EQ(CellColors(7, 2), kPlain) << "the directory panel has no focus";
  EXPECT_EQ(ScreenText(7, 38, 42), " " + Padded("a.txt", 40) + " ");
  EXPECT_EQ(CellColors(7, 38), kHighlight);
  EXPECT_EQ(ScreenText(24, 3, 77), Padded("the status line", 77));
  EXPECT_EQ(CellColors(24, 3), (ColorPair{15, 8}));
  EXPECT_FALSE(ConsoleScreen().CursorVisible());
}

TEST_F(SelectorTest, HeaderColourFollowsTheMode) {
  const struct {
    std::int32_t mode;
    int header;
  } cases[] = {{0, 1}, {1, 4}, {-1, 5}, {2, 1}};
  for (const auto& c : cases) {
    std::string key;
    RunUntilKeysRunOut([&] { Select("txt", c.mode, key); });
    EXPECT_EQ(CellColors(2, 2), (ColorPair{15, c.header})) << c.mode;
    EXPECT_EQ(CellColors(6, 38), (ColorPair{15, c.header})) << c.mode;
  }
}

TEST_F(SelectorTest, HelpLineForEachFocusAndMode) {
  const std::string panel = " Up Dw Pup Pdw Home End A-Z 0-9";
  const struct {
    bool fileMode;
    std::int32_t mode;
    std::vector<std::string> keys;
    std::string line;
  } cases[] = {
      {true, 0, {}, "File Sel Keys: Lf Rg Tab" + panel + " Enter Esc Ctrl-A"},
      {true, 1, {}, "File Sel Keys: Lf Rg Tab" + panel + " Enter Esc Ins"},
      {true, 0, {KeyLeft}, "File Sel Keys: Lf Rg Tab" + panel + " Enter Esc"},
      {true, 1, {KeyShiftTab}, "File Sel Keys: Lf Rg Tab" + panel + " Enter Esc Ins"},
      {true, 0, {KeyRight}, "File Sel Keys: Lf Rg Tab A-Z"},
      {false, 0, {}, "Dir Sel Keys: Lf Rg Tab A-Z Enter"},
      {false, 0, {KeyTab}, "Dir Sel Keys: Lf Rg Tab" + panel + " Enter Esc"},
      {false, 1, {KeyTab}, "Dir Sel Keys: Lf Rg Tab" + panel + " Enter Esc Ins"},
      {false, 1, {KeyLeft}, "Dir Sel Keys: Lf Rg Tab" + panel + " Esc"},
      {false, -1, {KeyTab, KeyTab}, "Dir Sel Keys: Lf Rg Tab" + panel + " Esc"},
  };
  for (const auto& c : cases) {
    Keys(c.keys);
    std::string key;
    std::string message;
    std::int32_t clearFirst = 1;
    RunUntilKeysRunOut([&] {
      if (c.fileMode) {
        Select("txt", c.mode, key);
      } else {
        DirSel("Walk", "", message, "txt", c.mode, key, clearFirst);
      }
    });
    const std::size_t width = c.fileMode ? 72 : 71;
    EXPECT_EQ(ScreenText(22, 3, static_cast<int>(width)), Padded(c.line, width)) << c.line;
    EXPECT_EQ(CellColors(22, 3 + static_cast<int>(width) - 1), (ColorPair{7, 8})) << c.line;
  }
}

TEST_F(SelectorTest, TitleAndLongPathAreCutAndAMessageIsShownOnce) {
  const std::string deep = "a-rather-long-directory-name/another-rather-long-name/third-level";
  dir.Dir(deep);
  std::filesystem::current_path(dir.At(deep));
  const std::string cur = Here();
  ASSERT_GT(cur.size(), 70u);
  std::string message = "Disk full";
  std::string result;
  std::string key;
  std::int32_t clearFirst = 1;
  const std::string title(100, 'T');
  RunUntilKeysRunOut([&] { FileSel(title, "status", message, "txt", result, 0, key, clearFirst); });
  EXPECT_EQ(ScreenText(2, 2, 79), " " + std::string(76, 'T') + "  ");
  EXPECT_EQ(ScreenText(4, 8, 72), " " + cur.substr(0, 67) + "... ");
  EXPECT_EQ(ScreenText(24, 3, 76), Padded(" Disk full", 76));
  EXPECT_EQ(CellColors(24, 3), (ColorPair{15, 12}));
  EXPECT_EQ(message, "") << "the message comes back empty";

  RunUntilKeysRunOut([&] { FileSel(title, "status", message, "txt", result, 0, key, clearFirst); });
  EXPECT_EQ(ScreenText(24, 3, 10), "status    ");
  EXPECT_EQ(CellColors(24, 3), (ColorPair{15, 8}));
}

TEST_F(SelectorTest, TypeAheadWithinAndAfterTheWindow) {
  for (const char* name : {"glob.txt", "lab.txt", "log.txt", "lzz.txt", "ocean.txt"}) {
    dir.File(name);
  }
  // Keys at virtual times (ms); each letter is read at its time.
  const struct {
    std::vector<std::pair<std::string, std::uint64_t>> keys;
    std::string chosen;
  } cases[] = {
      {{{"l", 1000}, {"o", 1500}, {"g", 2100}}, "log.txt"},
      {{{"L", 1000}, {"O", 2100}}, "log.txt"},    // 1.1 s: still one prefix
      {{{"l", 1000}, {"o", 2200}}, "ocean.txt"},  // 1.2 s: "O" alone
      {{{"l", 1000}, {"z", 1100}}, "lzz.txt"},
      {{{"l", 1000}, {"z", 1100}, {"z", 1200}, {"z", 1300}}, "ocean.txt"},  // none: the last
      {{{"g", 1000}, {"l", 5000}, {"q", 5500}}, "lzz.txt"},
  };
  for (const auto& c : cases) {
    const std::uint64_t start = console->NowMsValue();
    for (const auto& [key, at] : c.keys) console->PushKey(key, start + at);
    console->PushKey(KeyEnter, start + 9000);
    std::string key;
    EXPECT_EQ(Select("txt", 0, key), c.chosen) << c.keys.size() << " keys from " << start;
  }
}

TEST_F(SelectorTest, TypeAheadPrefixRestartsWhenTheFocusMoves) {
  dir.Dir("lib");
  dir.Dir("opt");
  dir.File("log.txt");
  dir.File("ocean.txt");
  Keys({"l", KeyLeft, "o"});
  std::string key;
  RunUntilKeysRunOut([&] { Select("txt", 0, key); });
  // "O" alone in the directory panel, not "LO".
  EXPECT_EQ(DirSelIdx, 4);
  EXPECT_EQ(ScreenText(10, 2, 5), " opt ");
  EXPECT_EQ(CellColors(10, 2), kHighlight);
}

TEST_F(SelectorTest, SteppingStaysAtBothEnds) {
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) dir.File(name);
  const struct {
    std::string step;
    std::string result;
  } steps[] = {{"-", "a.txt"}, {"+", "b.txt"}, {"+", "c.txt"}, {"+", "c.txt"},
               {"-", "b.txt"}, {"-", "a.txt"}, {"-", "a.txt"}};
  for (const auto& s : steps) {
    std::string key = s.step;
    EXPECT_EQ(Select("txt", 0, key), s.result) << s.step;
    EXPECT_EQ(key, KeyEnter);
  }
  // Nothing was shown: the screen is cleared with dark grey, cursor unmoved.
  EXPECT_EQ(ScreenLine(2), "");
  EXPECT_EQ(CellColors(2, 2), (ColorPair{7, 8}));
  EXPECT_EQ(console->KeysLeft(), 0u);

  // A different extension starts at the first entry again.
  std::string key = "+";
  EXPECT_EQ(Select("TXT", -1, key), "b.txt");
  // Stepping is for the open modes: in save mode the screen opens.
  key = "+";
  Keys({KeyEsc});
  EXPECT_EQ(Select("TXT", 1, key), "");
  EXPECT_EQ(key, KeyEsc);
  // An empty directory steps to an empty name.
  dir.Dir("none");
  std::filesystem::current_path(dir.At("none"));
  key = "-";
  EXPECT_EQ(Select("TXT", 0, key), "");
  EXPECT_EQ(key, KeyEnter);
}

TEST_F(SelectorTest, AnotherExtensionRestartsTheFilePanelAndTheSameOneReopensIt) {
  for (const char* name : {"a.log", "b.log", "c.log", "a.txt", "b.txt", "c.txt"}) dir.File(name);
  std::string key;
  Keys({KeyDown, KeyDown, KeyEsc});
  EXPECT_EQ(Select("log", 0, key), "");
  EXPECT_EQ(FileSelIdx, 3);
  Keys({KeyEnter});
  EXPECT_EQ(Select("txt", 0, key), "a.txt");
  Keys({KeyDown, KeyEsc});
  Select("txt", 0, key);
  Keys({KeyEnter});
  EXPECT_EQ(Select("txt", 0, key), "b.txt");
}

TEST_F(SelectorTest, SaveModeAddsTheExtension) {
  const struct {
    std::string typed;
    std::string result;
  } cases[] = {
      {"report", "report.txt"},      {"REPORT.TXT", "REPORT.TXT"},
      {"notes.txt", "notes.txt"},    {"  \"my file\" , x", "my file.txt"},
      {"first,second", "first.txt"}, {"\tpadded  ", "padded.txt"},
      {"dot.", "dot..txt"},
  };
  for (const auto& c : cases) {
    Keys({KeyIns});
    console->PushText(c.typed + "\r");
    std::string key;
    EXPECT_EQ(Select("txt", 1, key), c.result) << c.typed;
    EXPECT_EQ(key, KeyIns);
  }
}

TEST_F(SelectorTest, NewFilePromptAndAnEmptyName) {
  Keys({KeyIns});
  console->PushText("rep");
  std::string key;
  RunUntilKeysRunOut([&] { Select("txt", 1, key); });
  EXPECT_EQ(ScreenText(24, 38, 42), Padded(" New File:rep", 42));
  EXPECT_EQ(CellColors(24, 38), (ColorPair{0, 15}));
  EXPECT_EQ(CellColors(24, 37), (ColorPair{7, 8}));
  EXPECT_TRUE(ConsoleScreen().CursorVisible());

  Keys({KeyIns, KeyEnter, KeyEsc});
  EXPECT_EQ(Select("txt", 1, key), "");
  EXPECT_EQ(key, KeyEsc) << "an empty name goes back to the screen";
  // Ins is for save mode only.
  Keys({KeyIns, KeyEsc});
  EXPECT_EQ(Select("txt", 0, key), "");
  EXPECT_EQ(key, KeyEsc);
}

TEST_F(SelectorTest, ExistingNameAsksBeforeOverwriting) {
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) dir.File(name);
  // The typed name exists: the selection moves onto it and the screen stays.
  Keys({KeyEnd, KeyIns});
  console->PushText("A\r");
  std::string key;
  RunUntilKeysRunOut([&] { Select("txt", 1, key); });
  EXPECT_EQ(FileSelIdx, 1);
  EXPECT_EQ(CellColors(7, 38), kHighlight);

  Keys({KeyEnd, KeyEnter});
  RunUntilKeysRunOut([&] { Select("txt", 1, key); });
  EXPECT_EQ(ScreenText(24, 38, 42), Padded(" File Already Exists! Continue [N]?", 42));
  EXPECT_EQ(CellColors(24, 38), (ColorPair{15, 12}));
  EXPECT_EQ(ScreenLine(24).substr(0, 37), std::string(37, ' '));
  EXPECT_EQ(CellColors(24, 1), (ColorPair{7, 8}));

  // "n" (or any key but Y) declines and the screen comes back; "y" confirms.
  Keys({KeyEnter, "n", KeyEnter, KeyEsc, KeyEnter, "y"});
  EXPECT_EQ(Select("txt", 1, key), "c.txt");
  EXPECT_EQ(key, KeyEnter);
  EXPECT_EQ(console->KeysLeft(), 0u);
}

TEST_F(SelectorTest, SelectAllAsksFirst) {
  dir.File("a.txt");
  Keys({kCtrlA});
  std::string key;
  RunUntilKeysRunOut([&] { Select("txt", 0, key); });
  EXPECT_EQ(ScreenText(24, 38, 42), Padded(" Select All Files, Sure [N]?", 42));

  Keys({kCtrlA, "Y"});
  EXPECT_EQ(Select("txt", 0, key), "");
  EXPECT_EQ(key, kCtrlA);
  Keys({kCtrlA, "x", KeyEsc});
  EXPECT_EQ(Select("txt", 0, key), "");
  EXPECT_EQ(key, KeyEsc);
  // Not in save mode: Ctrl-A does nothing there.
  Keys({kCtrlA, KeyEsc});
  Select("txt", 1, key);
  EXPECT_EQ(key, KeyEsc);
}

TEST_F(SelectorTest, InsMakesANewDirectoryInSaveMode) {
  dir.Dir("old");
  Keys({KeyLeft, KeyIns});
  console->PushText("newdir\r");
  std::string key;
  RunUntilKeysRunOut([&] { Select("txt", 1, key); });
  EXPECT_TRUE(std::filesystem::is_directory(dir.At("newdir")));
  EXPECT_EQ(ScreenText(9, 2, 8), " newdir ") << "the lists are read again";
  EXPECT_EQ(Here(), dir.Path()) << "the selector stays where it was";
  EXPECT_FALSE(ConsoleScreen().CursorVisible());

  // The prompt spans the row from column 2.
  Keys({KeyTab, KeyIns});
  console->PushText("x");
  std::string message;
  std::int32_t clearFirst = 1;
  RunUntilKeysRunOut([&] { DirSel("Walk", "", message, "*", 1, key, clearFirst); });
  EXPECT_EQ(ScreenText(24, 2, 78), Padded(" Make New dir:x", 78));
  EXPECT_EQ(CellColors(24, 79), (ColorPair{0, 15}));

  // A name that cannot be made is ignored; outside save mode Ins does nothing.
  Keys({KeyLeft, KeyIns});
  console->PushText("old\r");
  Keys({KeyEsc});
  EXPECT_EQ(Select("txt", 1, key), "");
  EXPECT_EQ(key, KeyEsc);
  Keys({KeyLeft, KeyIns});
  RunUntilKeysRunOut([&] { Select("txt", 0, key); });
  EXPECT_EQ(ScreenText(24, 3, 12), "the status l") << "no prompt";
  EXPECT_FALSE(ConsoleScreen().CursorVisible());
}

TEST_F(SelectorTest, EscLeavesTheCurrentDirectoryChanged) {
  dir.Dir("sub");
  dir.File("sub/inner.txt");
  dir.File("top.txt");
  Keys({KeyLeft, "s", KeyEnter, KeyEsc});
  std::string key;
  EXPECT_EQ(Select("txt", 0, key), "");
  EXPECT_EQ(key, KeyEsc);
  EXPECT_EQ(Here(), dir.At("sub"));
  EXPECT_EQ(FileTop, 1);
  EXPECT_EQ(DirSelIdx, 1);

  // The next call lists the new directory.
  Keys({KeyEnter});
  EXPECT_EQ(Select("txt", 0, key), "inner.txt");
  // ".." goes to the parent.
  Keys({KeyLeft, KeyDown, KeyEnter, KeyRight, KeyEnter});
  EXPECT_EQ(Select("txt", 0, key), "top.txt");
  EXPECT_EQ(Here(), dir.Path());
}

TEST_F(SelectorTest, HiddenFilesAndDirectoriesCanBeChosen) {
  dir.File(".profile");
  dir.File("a.txt");
  dir.Dir(".config");
  dir.File(".config/app.txt");
  // ".profile" sorts before "a.txt".
  Keys({KeyEnter});
  std::string key;
  EXPECT_EQ(Select("*", 0, key), ".profile");
  // Into ".config" (after "." and ".."), where the file is found.
  Keys({KeyLeft, KeyDown, KeyDown, KeyEnter, KeyRight, KeyEnter});
  EXPECT_EQ(Select("txt", 0, key), "app.txt");
  EXPECT_EQ(Here(), dir.At(".config"));
}

TEST_F(SelectorTest, EnterOnAnEmptyFilePanelGivesAnEmptyName) {
  dir.File("a.txt");
  dir.Dir("empty");
  Keys({KeyLeft, "e", KeyEnter, KeyRight, KeyEnter});
  std::string key;
  EXPECT_EQ(Select("txt", 0, key), "");
  EXPECT_EQ(key, KeyEnter);
  EXPECT_EQ(Here(), dir.At("empty"));
}

TEST_F(SelectorTest, DotGoesToTheRootAndPathLettersChooseRootOrHome) {
  dir.Dir("sub");
  // "." in the directory panel: the root.
  Keys({KeyLeft, KeyHome, KeyEnter, KeyEsc});
  std::string key;
  Select("*", 0, key);
  EXPECT_EQ(Here(), "/");

  const passwd* user = getpwuid(getuid());
  ASSERT_NE(user, nullptr);
  std::filesystem::current_path(dir.Path());
  // On the path line: "h" (upper-cased) the home directory, "R" the root,
  // other letters and digits only read the lists again; arrows are ignored.
  const struct {
    std::string letter;
    std::string where;
  } cases[] = {{"h", std::filesystem::canonical(user->pw_dir).string()},
               {"R", "/"},
               {"Q", dir.Path()},
               {"Z", dir.Path()},
               {"7", dir.Path()},
               {KeyDown, dir.Path()}};
  for (const auto& c : cases) {
    std::filesystem::current_path(dir.Path());
    Keys({KeyRight, c.letter, KeyEsc});
    Select("*", 0, key);
    EXPECT_EQ(std::filesystem::canonical(Here()).string(), c.where) << c.letter;
    EXPECT_EQ(key, KeyEsc);
  }
}

TEST_F(SelectorTest, UnhandledKeysEndWithoutClearingAndComeBackUpperCased) {
  dir.File("a.txt");
  const struct {
    std::string pressed;
    std::string returned;
  } cases[] = {
      {ExtendedKey(0x76), KeyShiftF3},  // Ctrl-PgDn reads as Shift-F3
      {ExtendedKey(0x73), KeyDel},      // Ctrl-Left as Del
      {KeyF1, KeyF1},
      {"!", "!"},
  };
  for (const auto& c : cases) {
    Keys({c.pressed});
    std::string key;
    EXPECT_EQ(Select("txt", 0, key), "");
    EXPECT_EQ(key, c.returned);
    EXPECT_EQ(ScreenText(2, 3, 11), "Pick a file") << "the screen is left as it was";
  }
  // Space reads the lists again and stays.
  Keys({" "});
  std::string key;
  RunUntilKeysRunOut([&] { Select("txt", 0, key); });
}

TEST_F(SelectorTest, DirSelEndsWithEnterOnThePathLine) {
  dir.Dir("sub");
  Keys({KeyTab, "S", KeyEnter, KeyLeft, KeyEnter});
  std::string key;
  std::string message;
  std::int32_t clearFirst = 1;
  DirSel("Walk", "", message, "*", 0, key, clearFirst);
  EXPECT_EQ(key, KeyEnter);
  EXPECT_EQ(Here(), dir.At("sub"));
  // Enter in the file panel does nothing in directory mode.
  Keys({KeyLeft, KeyEnter, KeyEsc});
  DirSel("Walk", "", message, "*", 0, key, clearFirst);
  EXPECT_EQ(key, KeyEsc);
}

}  // namespace
