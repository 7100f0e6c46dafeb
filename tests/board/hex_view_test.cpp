// The hex page viewer and its helpers on the in-memory console.

#include "board/hex_view.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <limits>
#include <vector>

#include "app/settings.h"
#include "console/memory_console.h"
#include "tests/support/screen_helpers.h"

namespace {

using Page = std::array<std::uint8_t, 256>;

// The text as ScreenLine shows it: without trailing spaces.
std::string Stripped(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

Page Ascending() {
  Page page{};
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i);
  return page;
}

class HexViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    console = &AttachMemoryConsole();
    console->SetTimeLimitMs(10000);
  }
  void TearDown() override { ConsoleDetach(); }

  // Screen column of the hex digits and of the character of page offset o.
  static int HexCol(int o) { return 5 + 3 * (o % 16); }
  static int CharCol(int o) { return 60 + o % 16; }
  static int GridRow(int row, int o) { return row + 1 + o / 16; }

  MemoryConsole* console = nullptr;
};

TEST_F(HexViewTest, GridShowsTheHeaderAndEveryLineOfAKnownPage) {
  Page page = Ascending();
  HexView view{};
  view.endAddr = 0x2000;
  EXPECT_EQ(HexViewPage(4, page, view, ""), -1);

  EXPECT_EQ(ScreenLine(4), "    00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
  EXPECT_EQ(ScreenLine(5),
            "00  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F        ................");
  EXPECT_EQ(ScreenLine(6),
            "10  10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F        ................");
  // 0x20 (space) is shown as "."; 0x21 and up as themselves.
  EXPECT_EQ(ScreenLine(7),
            "20  20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F        .!\"#$%&'()*+,-./");
  EXPECT_EQ(ScreenLine(9),
            "40  40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F        @ABCDEFGHIJKLMNO");
  EXPECT_EQ(ScreenLine(12),
            "70  70 71 72 73 74 75 76 77 78 79 7A 7B 7C 7D 7E 7F        pqrstuvwxyz{|}~\x7F");
  // Every line: its offset, 16 codes, seven spaces, 16 characters.
  for (int line = 0; line < 16; ++line) {
    const int row = 5 + line;
    char label[8];
    std::snprintf(label, sizeof label, "%02X  ", line * 16);
    EXPECT_EQ(ScreenText(row, 1, 4), label) << row;
    for (int k = 0; k < 16; ++k) {
      char code[4];
      std::snprintf(code, sizeof code, "%02X ", line * 16 + k);
      EXPECT_EQ(ScreenText(row, HexCol(k), 3), code) << row << " " << k;
    }
    EXPECT_EQ(ScreenText(row, 53, 7), "       ") << row;
  }
  // Bytes 128 to 255 are shown as themselves (code page 437 glyphs).
  EXPECT_EQ(ScreenText(20, 60, 16), std::string(reinterpret_cast<const char*>(&page[0xF0]), 16));
}

TEST_F(HexViewTest, DumpPageDrawsTheGridWithoutCursorThenWaitsForAKey) {
  Page page = Ascending();
  console->PushKey(KeyPgDn, 40);
  EXPECT_EQ(HexDumpPage(page, 2), 0x151);
  EXPECT_GE(console->NowMsValue(), 40u);
  EXPECT_EQ(ScreenLine(2), "    00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
  EXPECT_EQ(ScreenText(3, 1, 8), "00  00 0");
  for (int o = 0; o < 256; ++o) {
    EXPECT_EQ(CellColors(GridRow(2, o), HexCol(o)).fg, 7) << o;
    EXPECT_EQ(CellColors(GridRow(2, o), CharCol(o)).fg, 7) << o;
  }
  EXPECT_EQ(ScreenLine(24), "") << "no status lines";
}

TEST_F(HexViewTest, CursorHighlightCoversWidthBytesInBothColumns) {
  Page page = Ascending();
  for (const int width : {1, 2, 4, 8}) {
    // 0x1C with width 8 runs over the end of a grid line.
    for (const std::uint64_t cursor : {std::uint64_t{0x12}, std::uint64_t{0x1C}}) {
      SCOPED_TRACE(testing::Message() << "width " << width << " cursor " << cursor);
      ClearScreen();
      HexView view{};
      view.endAddr = 0x2000;
      view.width = width;
      view.cursor = cursor;
      HexViewPage(4, page, view, "");
      for (int o = 0; o < 256; ++o) {
        const bool selected = o >= static_cast<int>(cursor) && o < static_cast<int>(cursor) + width;
        const int fg = selected ? 14 : 7;
        EXPECT_EQ(CellColors(GridRow(4, o), HexCol(o)).fg, fg) << o;
        EXPECT_EQ(CellColors(GridRow(4, o), HexCol(o) + 1).fg, fg) << o;
        EXPECT_EQ(CellColors(GridRow(4, o), HexCol(o) + 2).fg, 7) << "separator " << o;
        EXPECT_EQ(CellColors(GridRow(4, o), CharCol(o)).fg, fg) << o;
        EXPECT_EQ(CellColors(GridRow(4, o), HexCol(o)).bg, 0) << o;
      }
    }
  }
}

TEST_F(HexViewTest, HighlightLeavesTheBackgroundAndRestoresLightGrey) {
  Page page = Ascending();
  SetColor(7, 1);
  HexView view{};
  view.endAddr = 0x100;
  view.cursor = 0x35;
  HexViewPage(4, page, view, "");
  EXPECT_EQ(CellColors(GridRow(4, 0x35), HexCol(0x35)), (ColorPair{14, 1}));
  EXPECT_EQ(CellColors(GridRow(4, 0x36), HexCol(0x36)), (ColorPair{7, 1}));
  EXPECT_EQ(SetColor(), (ColorPair{7, 1}));
}

struct KeyCase {
  const char* name;
  std::uint64_t startAddr;
  std::uint64_t endAddr;
  std::uint64_t pageAddr;
  std::uint64_t cursor;
  std::int32_t width;
  std::string key;
  std::uint64_t wantPage;
  std::uint64_t wantCursor;
  std::int32_t wantWidth;
  std::int32_t wantResult;
};

TEST_F(HexViewTest, EveryKeyOfTheTableAtTheEdgesOfTheRange) {
  const std::string pgDn = ExtendedKey(0x51), pgUp = ExtendedKey(0x49);
  const std::string cPgDn = ExtendedKey(0x76), cPgUp = ExtendedKey(0x84);
  const std::string home = ExtendedKey(0x47), end = ExtendedKey(0x4F);
  const std::string right = ExtendedKey(0x4D), left = ExtendedKey(0x4B);
  const std::string down = ExtendedKey(0x50), up = ExtendedKey(0x48);
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  const std::vector<KeyCase> cases = {
      // One page, from 0: every page key stays at 0.
      {"one page U", 0, 0x100, 0, 0, 1, "U", 0, 0, 1, 0},
      {"one page u", 0, 0x100, 0, 0, 1, "u", 0, 0, 1, 0},
      {"one page -", 0, 0x100, 0, 0, 1, "-", 0, 0, 1, 0},
      {"one page D", 0, 0x100, 0, 0, 1, "D", 0, 0, 1, 0},
      {"one page d", 0, 0x100, 0, 0, 1, "d", 0, 0, 1, 0},
      {"one page +", 0, 0x100, 0, 0, 1, "+", 0, 0, 1, 0},
      {"one page PgDn", 0, 0x100, 0, 0, 1, pgDn, 0, 0, 1, 0},
      {"one page PgUp", 0, 0x100, 0, 0, 1, pgUp, 0, 0, 1, 0},
      {"one page Ctrl-PgDn", 0, 0x100, 0, 0, 1, cPgDn, 0, 0, 1, 0},
      {"one page Ctrl-PgUp", 0, 0x100, 0, 0, 1, cPgUp, 0, 0, 1, 0},
      {"one page Home", 0, 0x100, 0, 0, 1, home, 0, 0, 1, 0},
      {"one page End", 0, 0x100, 0, 0, 1, end, 0, 0, 1, 0},
      // 0x0000 to 0x1FFF.
      {"End", 0, 0x2000, 0, 0, 1, end, 0x1F00, 0, 1, 0},
      {"D at the last page", 0, 0x2000, 0x1F00, 0, 1, "D", 0x1F00, 0, 1, 0},
      {"D before the last page", 0, 0x2000, 0x1E00, 0, 1, "d", 0x1F00, 0, 1, 0},
      {"U at the first page", 0, 0x2000, 0, 0, 1, "U", 0, 0, 1, 0},
      {"U from the second page", 0, 0x2000, 0x100, 0, 1, "-", 0, 0, 1, 0},
      {"PgDn from 0", 0, 0x2000, 0, 0, 1, pgDn, 0x1000, 0, 1, 0},
      {"PgDn from 0x1500", 0, 0x2000, 0x1500, 0, 1, pgDn, 0x1F00, 0, 1, 0},
      {"PgUp from 0x1500", 0, 0x2000, 0x1500, 0, 1, pgUp, 0x500, 0, 1, 0},
      {"PgUp from 0x0800", 0, 0x2000, 0x800, 0, 1, pgUp, 0, 0, 1, 0},
      {"Ctrl-PgDn from 0", 0, 0x2000, 0, 0, 1, cPgDn, 0x1F00, 0, 1, 0},
      {"Ctrl-PgUp from 0x1F00", 0, 0x2000, 0x1F00, 0, 1, cPgUp, 0, 0, 1, 0},
      {"Home", 0, 0x2000, 0x1700, 0, 1, home, 0, 0, 1, 0},
      // A range that starts above 0.
      {"U at startAddr", 0x3000, 0x5000, 0x3000, 0, 1, "U", 0x3000, 0, 1, 0},
      {"PgUp near startAddr", 0x3000, 0x5000, 0x3800, 0, 1, pgUp, 0x3000, 0, 1, 0},
      {"Ctrl-PgUp from the end", 0x3000, 0x5000, 0x4F00, 0, 1, cPgUp, 0x3000, 0, 1, 0},
      {"Home to startAddr", 0x3000, 0x5000, 0x4000, 0, 1, home, 0x3000, 0, 1, 0},
      {"End above startAddr", 0x3000, 0x5000, 0x3000, 0, 1, end, 0x4F00, 0, 1, 0},
      {"U below startAddr", 0x3000, 0x5000, 0x100, 0, 1, "U", 0x3000, 0, 1, 0},
      // Unaligned start: D never shows bytes past endAddr.
      {"D unaligned", 0x80, 0x2000, 0x1E80, 0, 1, "D", 0x1F00, 0, 1, 0},
      // Ranges shorter than a page, inverted, or empty: one page at startAddr.
      {"short range End", 0x3000, 0x3080, 0x3000, 0, 1, end, 0x3000, 0, 1, 0},
      {"short range D", 0x3000, 0x3080, 0x3000, 0, 1, "D", 0x3000, 0, 1, 0},
      {"short range PgDn", 0x3000, 0x3080, 0x3000, 0, 1, pgDn, 0x3000, 0, 1, 0},
      {"inverted End", 0x5000, 0x1000, 0x5000, 0, 1, end, 0x5000, 0, 1, 0},
      {"inverted Ctrl-PgDn", 0x5000, 0x1000, 0x5000, 0, 1, cPgDn, 0x5000, 0, 1, 0},
      {"empty End", 0, 0, 0, 0, 1, end, 0, 0, 1, 0},
      {"endAddr below a page", 0, 0x80, 0, 0, 1, "+", 0, 0, 1, 0},
      // At the top of the address space nothing wraps.
      {"top Ctrl-PgDn", kTop - 0xFFFF, kTop - 0xFF, kTop - 0xFFFF, 0, 1, cPgDn, kTop - 0x1FF, 0, 1,
       0},
      {"top PgDn", kTop - 0xFFFF, kTop - 0xFF, kTop - 0x1FF, 0, 1, pgDn, kTop - 0x1FF, 0, 1, 0},
      {"top End", kTop - 0xFF, kTop, kTop - 0xFF, 0, 1, end, kTop - 0xFF, 0, 1, 0},
      // Cursor keys at the edges of the page.
      {"Right at 255", 0, 0x100, 0, 255, 1, right, 0, 255, 1, 0},
      {"Right at 254 width 2", 0, 0x100, 0, 254, 2, right, 0, 254, 2, 0},
      {"Right at 247 width 8", 0, 0x100, 0, 247, 8, right, 0, 248, 8, 0},
      {"Left at 0", 0, 0x100, 0, 0, 1, left, 0, 0, 1, 0},
      {"Left at 1", 0, 0x100, 0, 1, 1, left, 0, 0, 1, 0},
      {"Down at 250", 0, 0x100, 0, 250, 1, down, 0, 255, 1, 0},
      {"Down at 0xF0 width 8", 0, 0x100, 0, 0xF0, 8, down, 0, 0xF8, 8, 0},
      {"Down at 0x10", 0, 0x100, 0, 0x10, 4, down, 0, 0x20, 4, 0},
      {"Up at 15", 0, 0x100, 0, 15, 1, up, 0, 0, 1, 0},
      {"Up at 16", 0, 0x100, 0, 16, 1, up, 0, 0, 1, 0},
      {"Up at 0x25", 0, 0x100, 0, 0x25, 1, up, 0, 0x15, 1, 0},
      // Space doubles the width, wraps 8 to 1 and pulls the cursor in.
      {"Space 1 to 2", 0, 0x100, 0, 0, 1, " ", 0, 0, 2, 0},
      {"Space 4 to 8", 0, 0x100, 0, 0, 4, " ", 0, 0, 8, 0},
      {"Space 8 to 1", 0, 0x100, 0, 0xF8, 8, " ", 0, 0xF8, 1, 0},
      {"Space at 255", 0, 0x100, 0, 255, 1, " ", 0, 254, 2, 0},
      {"Space 2 to 4 at 254", 0, 0x100, 0, 254, 2, " ", 0, 252, 4, 0},
      {"Space from width 0", 0, 0x100, 0, 0, 0, " ", 0, 0, 2, 0},
      // Keys that are not the viewer's come back and change nothing.
      {"other letter", 0, 0x2000, 0x300, 5, 2, "x", 0x300, 5, 2, 'x'},
      {"upper-case Q", 0, 0x2000, 0x300, 5, 2, "Q", 0x300, 5, 2, 'Q'},
      {"Esc", 0, 0x2000, 0x300, 5, 2, "\x1B", 0x300, 5, 2, 27},
      {"F1", 0, 0x2000, 0x300, 5, 2, ExtendedKey(0x3B), 0x300, 5, 2, 0x13B},
      {"Ctrl-Home", 0, 0x2000, 0x300, 5, 2, ExtendedKey(0x77), 0x300, 5, 2, 0x177},
      {"no key", 0, 0x2000, 0x300, 5, 2, "", 0x300, 5, 2, -1},
  };
  const Page page = Ascending();
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    HexView view{};
    view.startAddr = c.startAddr;
    view.endAddr = c.endAddr;
    view.pageAddr = c.pageAddr;
    view.cursor = c.cursor;
    view.width = c.width;
    if (!c.key.empty()) console->PushKey(c.key);
    EXPECT_EQ(HexViewPage(4, page, view, ""), c.wantResult);
    EXPECT_EQ(view.pageAddr, c.wantPage);
    EXPECT_EQ(view.cursor, c.wantCursor);
    EXPECT_EQ(view.width, c.wantWidth);
    EXPECT_EQ(view.startAddr, c.startAddr);
    EXPECT_EQ(view.endAddr, c.endAddr);
    EXPECT_EQ(console->KeysLeft(), 0u);
  }
}

TEST_F(HexViewTest, CursorLeftOutOfRangeIsPulledIntoThePage) {
  const Page page = Ascending();
  HexView view{};
  view.endAddr = 0x100;
  view.cursor = 100000;
  view.width = 4;
  EXPECT_EQ(HexViewPage(4, page, view, ""), -1);
  EXPECT_EQ(view.cursor, 252u);
  EXPECT_EQ(ScreenLine(25), "Val : FFFEFDFC");
}

struct AddressCase {
  std::uint64_t startAddr;
  std::uint64_t endAddr;
  std::string typed;
  std::uint64_t wantPage;
};

TEST_F(HexViewTest, AddressEntryPromptsOnRow25AndClampsToTheRange) {
  const std::vector<AddressCase> cases = {
      {0, 0x2000, "1234", 0x1200},
      {0, 0x2000, "FFFF", 0x1F00},
      {0, 0x2000, "ffff", 0x1F00},
      {0, 0x2000, " 1a5 ,77", 0x100},
      {0, 0x2000, "", 0},
      {0, 0x2000, "zz", 0},
      {0x3000, 0x5000, "10", 0x3000},
      {0x3000, 0x5000, "30FF", 0x3000},
      {0x3000, 0x5000, "3100", 0x3100},
      {0x80, 0x2000, "80", 0x80},
      {0, 0x2000, "1000001234", 0x1200},  // the low 32 bits are taken
  };
  const Page page = Ascending();
  for (const AddressCase& c : cases) {
    SCOPED_TRACE(c.typed);
    HexView view{};
    view.startAddr = c.startAddr;
    view.endAddr = c.endAddr;
    view.pageAddr = 0x1000 + c.startAddr;
    std::vector<std::string> prompts;
    console->onAdvance = [&](std::uint64_t) { prompts.push_back(ScreenLine(25)); };
    console->PushKey(c.typed.size() % 2 ? "a" : "A");
    console->PushText(c.typed, 1);
    console->PushKey(KeyEnter, 2);
    EXPECT_EQ(HexViewPage(4, page, view, ""), 0);
    console->onAdvance = nullptr;
    EXPECT_EQ(view.pageAddr, c.wantPage);
    ASSERT_FALSE(prompts.empty());
    EXPECT_EQ(prompts.front(), "Add (Hexa): ?");
    EXPECT_EQ(prompts.back(), Stripped("Add (Hexa): ? " + c.typed));
    // The screen is cleared after the entry: the grid returns on the next call.
    EXPECT_EQ(ScreenLine(5), "");
    char status[40];
    std::snprintf(status, sizeof status, "Current Addr : %010llX",
                  static_cast<unsigned long long>(c.wantPage));
    EXPECT_EQ(ScreenText(24, 1, 25), status);
  }
}

TEST_F(HexViewTest, StatusShowsTheAddressTheHelpAndTheLittleEndianValue) {
  Page page = Ascending();
  HexView view{};
  view.endAddr = 0x2000;
  view.pageAddr = 0x1F00;
  view.cursor = 0x10;
  view.width = 8;
  HexViewPage(4, page, view, " <Q>Quit");
  EXPECT_EQ(ScreenLine(24),
            "Current Addr : 0000001F00 <A><a>,<PgU>,<PgD>,<+>,<->,Up,Dwn,Lft,Rght <Q>Quit");
  EXPECT_EQ(ScreenLine(25), "Val : 1716151413121110");

  // Narrower values blank what the longer one left behind.
  console->PushKey(" ");
  HexViewPage(4, page, view, "");
  EXPECT_EQ(view.width, 1);
  EXPECT_EQ(ScreenLine(25), "Val : 10");
  EXPECT_EQ(ScreenText(25, 1, 28), "Val : 10" + std::string(20, ' '));
  EXPECT_EQ(CursorRow(), 25);
  EXPECT_EQ(CursorCol(), 29);

  for (const auto& [width, want] : std::vector<std::pair<int, std::string>>{
           {2, "Val : 1110"}, {4, "Val : 13121110"}, {1, "Val : 10"}}) {
    view.width = width;
    HexViewPage(4, page, view, "");
    EXPECT_EQ(ScreenLine(25), want);
  }
}

TEST_F(HexViewTest, StatusAddressKeepsTheLow40Bits) {
  const Page page{};
  HexView view{};
  view.startAddr = 0xAB00000000000100ull;
  view.endAddr = 0xAB00000000100000ull;
  view.pageAddr = view.startAddr;
  HexViewPage(4, page, view, "");
  EXPECT_EQ(ScreenText(24, 1, 25), "Current Addr : 0000000100");
  view.pageAddr = 0x123456789A00ull;
  HexViewPage(4, page, view, "");
  EXPECT_EQ(ScreenText(24, 1, 25), "Current Addr : 3456789A00");
}

TEST_F(HexViewTest, KeyCodesAsIntegers) {
  EXPECT_EQ(ReadKeyCode(), -1);
  console->PushKey("a");
  console->PushKey(KeyPgDn);
  console->PushKey(KeyUp);
  console->PushKey(KeyEnter);
  EXPECT_EQ(ReadKeyCode(), 'a');
  EXPECT_EQ(ReadKeyCode(), 0x151);
  EXPECT_EQ(ReadKeyCode(), 0x148);
  EXPECT_EQ(ReadKeyCode(), 13);
  EXPECT_EQ(ReadKeyCode(), -1);

  console->PushKey("q", 30);
  EXPECT_EQ(WaitKeyCode(), 'q');
  EXPECT_GE(console->NowMsValue(), 30u);
  EXPECT_LE(console->NowMsValue(), 31u) << "polled every millisecond";

  console->PushKey("q");
  console->PushKey("Z");
  console->PushKey(ExtendedKey(0x76));  // Ctrl-PgDn
  console->PushKey(ExtendedKey(0x73));  // Ctrl-Left
  console->PushKey(KeyF1);
  console->PushKey("5");
  EXPECT_EQ(WaitKeyCodeUpper(), 'Q');
  EXPECT_EQ(WaitKeyCodeUpper(), 'Z');
  // The whole key is upper-cased: scan codes that are lower-case letters too.
  EXPECT_EQ(WaitKeyCodeUpper(), 0x156) << "Ctrl-PgDn reads as Shift-F3";
  EXPECT_EQ(WaitKeyCodeUpper(), 0x153) << "Ctrl-Left reads as Del";
  EXPECT_EQ(WaitKeyCodeUpper(), 0x13B);
  EXPECT_EQ(WaitKeyCodeUpper(), '5');

  Locate(3, 1);
  console->PushKey(KeyF1, 5);
  EXPECT_EQ(AnyKeyCode(), 0x13B);
  EXPECT_EQ(ScreenLine(3), "Any key to continue");
}

TEST(ByteHelpers, ReverseBitsAndPrintable) {
  EXPECT_EQ(ReverseBits(0x01), 0x80);
  EXPECT_EQ(ReverseBits(0x80), 0x01);
  EXPECT_EQ(ReverseBits(0x12), 0x48);
  EXPECT_EQ(ReverseBits(0xA0), 0x05);
  EXPECT_EQ(ReverseBits(0x1F0), 0x0F) << "only the low 8 bits";
  EXPECT_EQ(ReverseBits(-1), 0xFF);
  EXPECT_FALSE(IsPrintable(32));
  EXPECT_FALSE(IsPrintable(0));
  EXPECT_TRUE(IsPrintable(33));
  EXPECT_TRUE(IsPrintable(0xFF));
  EXPECT_FALSE(IsPrintable(0x120));
  EXPECT_TRUE(IsPrintable(0x141));
}

class ByteCopyTest : public HexViewTest {
 protected:
  // Every text shown on the message row while the clock runs.
  void WatchRow24() { RecordRowTexts(*console, 24, shown); }
  std::vector<std::string> shown;
};

TEST_F(ByteCopyTest, CopyAndFillTakeCountBytes) {
  const std::array<std::uint8_t, 10> src = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  for (const int count : {8, 5, 1, 10}) {
    std::array<std::uint8_t, 10> dst{};
    EXPECT_TRUE(CopyBytes(dst, src, count));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(dst[i], i < count ? src[i] : 0) << count << " " << i;
  }
  std::array<std::uint8_t, 6> buffer{};
  EXPECT_TRUE(FillBytes(buffer, 0x1A5, 4));
  EXPECT_EQ(buffer, (std::array<std::uint8_t, 6>{0xA5, 0xA5, 0xA5, 0xA5, 0, 0}));
}

TEST_F(ByteCopyTest, CountsOfZeroOrLessTouchNothing) {
  const std::array<std::uint8_t, 4> src = {1, 2, 3, 4};
  std::array<std::uint8_t, 4> dst{};
  WatchRow24();
  for (const int count : {0, -1, -4}) {
    EXPECT_FALSE(CopyBytes(dst, src, count));
    EXPECT_FALSE(FillBytes(dst, 9, count));
  }
  EXPECT_EQ(dst, (std::array<std::uint8_t, 4>{}));
  EXPECT_TRUE(shown.empty());
}

TEST_F(ByteCopyTest, CountsBeyondTheBuffersAreRefusedWithAMessage) {
  const std::array<std::uint8_t, 8> src = {1, 2, 3, 4, 5, 6, 7, 8};
  std::array<std::uint8_t, 4> dst{};
  WatchRow24();
  console->PushKey(" ");
  console->PushKey(" ");
  console->PushKey(" ");
  EXPECT_FALSE(CopyBytes(dst, src, 8));
  EXPECT_FALSE(CopyBytes(std::span<std::uint8_t>(dst), std::span(src).first(2), 3));
  EXPECT_FALSE(FillBytes(dst, 7, 5));
  EXPECT_EQ(dst, (std::array<std::uint8_t, 4>{}));
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0], "  CopyBytes: count 8 exceeds the buffers (8 to 4 bytes), nothing copied");
  EXPECT_EQ(shown[1], "  CopyBytes: count 3 exceeds the buffers (2 to 4 bytes), nothing copied");
  EXPECT_EQ(shown[2], "  FillBytes: count 5 exceeds the buffer of 4 bytes, nothing filled");
}

TEST_F(HexViewTest, InputNumberReadsHexOrDecimal) {
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"&d100", 100},
      {"ff", 255},
      {"", 0},
      {"  1f  , 22", 0x1F},
      {"&D 42", 42},
      {"12G4", 0x12},
      {"FFFFFFFFFFFFFFFF", std::numeric_limits<std::uint64_t>::max()},
      {"&D-1", std::numeric_limits<std::uint64_t>::max()},
      {"&Dxyz", 0},
      {"&H10", 0} /* "&H" is not a prefix here: no leading hex digit */,
  };
  for (const auto& [typed, want] : cases) {
    SCOPED_TRACE(typed);
    ClearScreen();
    console->PushText(typed);
    console->PushKey(KeyEnter);
    EXPECT_EQ(InputNumber("Offset"), want);
    EXPECT_EQ(ScreenLine(1), Stripped("Offset (xxx=Hex, &dxx=Dec):? " + typed));
  }
}

}  // namespace
