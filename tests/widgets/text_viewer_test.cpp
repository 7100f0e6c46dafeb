#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/settings.h"
#include "console/memory_console.h"
#include "tests/support/screen_helpers.h"
#include "tests/widgets/scratch_dir.h"
#include "widgets/text_viewer.h"

namespace {

const std::string kFooter = "<Lf><Rg><Home><End> <Up><Dw><Pu><Pd><CtlPu><CtlPd> <ESC>";

TextArray Lines(std::int32_t count, std::int32_t capacity = -1) {
  TextArray lines(capacity < 0 ? count : capacity);
  for (std::int32_t i = 1; i <= count; ++i) lines.Set(i, "line " + std::to_string(i));
  return lines;
}

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    console = &AttachMemoryConsole();
    console->SetTimeLimitMs(600000);
    SetColor(7, 0);
    ClearScreen();
  }
  void TearDown() override { ConsoleDetach(); }
  // Views with the keys and then Esc: the screen is left as the viewer drew
  // it after the last key.
  void View(const TextArray& lines, std::int32_t count, const std::vector<std::string>& keys) {
    for (const std::string& key : keys) console->PushKey(key);
    console->PushKey(KeyEsc);
    ViewTxtArray("T", lines, count);
    EXPECT_EQ(console->KeysLeft(), 0u);
  }
  std::string Status() { return ScreenText(25, 66, 12); }
  MemoryConsole* console = nullptr;
};

TEST_F(ViewerTest, LayoutAndStatusFields) {
  TextArray lines = Lines(30);
  lines.Set(7, std::string(42, 'w'));
  View(lines, 30, {});
  EXPECT_EQ(ScreenText(1, 1, 5), "   T ");
  EXPECT_EQ(ScreenText(1, 66, 12), "V:0030 H:042");
  EXPECT_EQ(ScreenText(25, 4, static_cast<int>(kFooter.size())), kFooter);
  EXPECT_EQ(Status(), "L:0001 P:001");
  EXPECT_EQ(CellColors(1, 1), (ColorPair{7, 1}));
  EXPECT_EQ(CellColors(25, 70), (ColorPair{7, 1}));
  EXPECT_EQ(ScreenText(2, 1, 80), "  " + std::string("line 1") + std::string(72, ' '));
  EXPECT_EQ(CellColors(2, 3), (ColorPair{7, 0}));
  EXPECT_EQ(CellColors(2, 78), (ColorPair{7, 0}));
  EXPECT_EQ(CellColors(2, 79), (ColorPair{7, 1}));
  EXPECT_EQ(ScreenLine(24), "  line 23");
}

TEST_F(ViewerTest, TenLinesCannotScroll) {
  const TextArray lines = Lines(10);
  for (const std::string& key :
       {KeyDown, KeyPgDn, KeyCtrlDown, ExtendedKey(0x76), KeyShiftF3, KeyUp, KeyEnd, KeyRight}) {
    View(lines, 10, {key, key});
    EXPECT_EQ(Status(), "L:0001 P:001");
    EXPECT_EQ(ScreenLine(2), "  line 1");
    EXPECT_EQ(ScreenLine(11), "  line 10");
    EXPECT_EQ(ScreenLine(12), "");
  }
}

TEST_F(ViewerTest, VerticalKeys) {
  const TextArray lines = Lines(100);
  const struct {
    std::vector<std::string> keys;
    std::string status;
  } cases[] = {
      {{KeyDown}, "L:0002 P:001"},
      {{KeyDown, KeyDown, KeyUp}, "L:0002 P:001"},
      {{KeyUp}, "L:0001 P:001"},
      {{KeyCtrlDown}, "L:0005 P:001"},
      {{KeyCtrlDown, KeyCtrlDown, KeyCtrlUp}, "L:0005 P:001"},
      {{KeyPgDn}, "L:0024 P:001"},
      {{KeyPgDn, KeyPgDn, KeyPgUp}, "L:0024 P:001"},
      {{KeyPgDn, KeyPgDn, KeyPgDn, KeyPgDn, KeyPgDn}, "L:0078 P:001"},
      {{ExtendedKey(0x76)}, "L:0078 P:001"},  // Ctrl-PgDn: the last page
      {{KeyShiftF3}, "L:0078 P:001"},         // the same code once upper-cased
      {{KeyPgDn, KeyCtrlPgUp}, "L:0001 P:001"},
      {{KeyPgDn, "x", KeyF1}, "L:0024 P:001"},
  };
  for (const auto& c : cases) {
    View(lines, 100, c.keys);
    EXPECT_EQ(Status(), c.status) << c.keys.size() << " keys, first " << c.keys[0].size();
  }
  View(lines, 100, {KeyShiftF3});
  EXPECT_EQ(ScreenLine(2), "  line 78");
  EXPECT_EQ(ScreenLine(24), "  line 100");
}

TEST_F(ViewerTest, EndOnAHundredCharacterLineShowsTheLastColumns) {
  std::string longLine;
  for (int i = 0; i < 100; ++i) longLine.push_back(static_cast<char>('A' + i % 26));
  TextArray lines(2);
  lines.Set(1, "short");
  lines.Set(2, longLine);
  View(lines, 2, {KeyEnd});
  EXPECT_EQ(Status(), "L:0001 P:025");
  EXPECT_EQ(ScreenText(1, 66, 12), "V:0002 H:100");
  EXPECT_EQ(ScreenText(3, 3, 76), longLine.substr(24));
  EXPECT_EQ(ScreenText(2, 3, 76), std::string(76, ' ')) << "a line shorter than left is blank";
  View(lines, 2, {KeyEnd, KeyLeft, KeyLeft});
  EXPECT_EQ(Status(), "L:0001 P:023");
  EXPECT_EQ(ScreenText(3, 3, 76), longLine.substr(22, 76));
  View(lines, 2, {KeyEnd, KeyRight, KeyHome, KeyRight});
  EXPECT_EQ(Status(), "L:0001 P:002");
  View(lines, 2, {KeyLeft});
  EXPECT_EQ(Status(), "L:0001 P:001");
}

TEST_F(ViewerTest, ControlCharactersShowAsOneSpaceEach) {
  TextArray lines(1);
  lines.Set(1, std::string("a\tb\x01"
                           "c\x1b[1md\x7f\xb0",
                           12));
  View(lines, 1, {});
  // Bytes above 32 (DEL and code page 437 glyphs too) are kept.
  EXPECT_EQ(ScreenText(2, 3, 13), "a b c [1md\x7f\xb0 ");
  EXPECT_EQ(ScreenText(1, 66, 12), "V:0001 H:012");
  // The width counts each as one column: 80 tabs leave four columns to scroll.
  lines.Set(1, std::string(79, '\t') + "z");
  View(lines, 1, {KeyEnd});
  EXPECT_EQ(Status(), "L:0001 P:005");
  EXPECT_EQ(ScreenText(2, 3, 76), std::string(75, ' ') + "z");
}

TEST_F(ViewerTest, FieldsOverflowToE) {
  TextArray lines = Lines(10000);
  lines.Set(5, std::string(1000, 'x'));
  View(lines, 10000, {ExtendedKey(0x76)});
  EXPECT_EQ(ScreenText(1, 66, 12), "V:EEEE H:EEE");
  EXPECT_EQ(Status(), "L:9978 P:001");
  EXPECT_EQ(ScreenLine(24), "  line 10000");
  View(lines, 10000, {KeyEnd});
  EXPECT_EQ(Status(), "L:0001 P:925");
}

TEST_F(ViewerTest, CountOutsideTheArrayIsReportedAndNothingShown) {
  const TextArray lines = Lines(3);
  console->PushKey("x");
  ViewTxtArray("Log", lines, 5);
  EXPECT_EQ(console->KeysLeft(), 0u) << "the message waited for a key";
  console->PushKey("x");
  ViewTxtArray("Log", lines, -2);
  EXPECT_EQ(ScreenLine(2), "") << "no viewer drawn";
  EXPECT_EQ(CellColors(2, 3), (ColorPair{7, 0}));

  // While the message waits, it is on row 24.
  console->SetTimeLimitMs(console->NowMsValue() + 1000);
  EXPECT_THROW(ViewTxtArray("Log", lines, 5), ScriptExhausted);
  EXPECT_EQ(ScreenText(24, 2, 42), " ViewTxtArray: Txl Array Overflow Log 5 3 ");
  EXPECT_EQ(CellColors(24, 3), (ColorPair{15, 12}));
}

TEST_F(ViewerTest, ZeroLinesShowNothing) {
  ViewTxtArray("T", Lines(3), 0);
  EXPECT_EQ(ScreenLine(1), "");
  EXPECT_EQ(CellColors(1, 1), (ColorPair{7, 0}));
}

class ViewFileTest : public ViewerTest {
 protected:
  ScratchDir dir;
};

TEST_F(ViewFileTest, ReadsLinesWithoutTrailingSpacesOrLineEnds) {
  dir.File("Term.txt", "first line   \r\nsecond\tline\n\n   indented\nlast without end");
  console->PushKey(KeyEsc);
  ViewTxtFile("Term.txt");
  EXPECT_EQ(ScreenText(1, 4, 14), "File: Term.txt");
  EXPECT_EQ(ScreenText(1, 66, 12), "V:0005 H:016");
  EXPECT_EQ(ScreenLine(2), "  first line");
  EXPECT_EQ(ScreenLine(3), "  second line");
  EXPECT_EQ(ScreenLine(4), "");
  EXPECT_EQ(ScreenLine(5), "     indented");
  EXPECT_EQ(ScreenLine(6), "  last without end");
  EXPECT_EQ(ScreenLine(7), "");
}

TEST_F(ViewFileTest, EmptyOrMissingFileShowsNothing) {
  dir.File("empty.txt");
  dir.Dir("folder");
  ViewTxtFile("empty.txt");
  ViewTxtFile("missing.txt");
  ViewTxtFile("folder");
  ViewTxtFile("");
  EXPECT_EQ(ScreenLine(1), "");
  EXPECT_EQ(CellColors(1, 1), (ColorPair{7, 0}));
  EXPECT_EQ(console->NowMsValue(), 0u) << "no key was waited for";
}

TEST_F(ViewFileTest, StopsAfterTenThousandLines) {
  std::string text;
  for (int i = 1; i <= 10005; ++i) text += "row " + std::to_string(i) + "\n";
  dir.File("big.log", text);
  console->PushKey(KeyCtrlPgDnUpper);
  console->PushKey(KeyEsc);
  ViewTxtFile("big.log");
  EXPECT_EQ(ScreenText(1, 66, 6), "V:EEEE");
  EXPECT_EQ(ScreenText(25, 66, 6), "L:9978");
  EXPECT_EQ(ScreenLine(24), "  row 10000");
}

TEST_F(ViewFileTest, NameInAnotherCaseOpensTheFileFound) {
  dir.File("Term.txt", "hello");
  console->PushKey(KeyEsc);
  ViewTxtFile("TERM.TXT");
  EXPECT_EQ(ScreenText(1, 4, 14), "File: TERM.TXT");
  EXPECT_EQ(ScreenLine(2), "  hello");
}

}  // namespace
