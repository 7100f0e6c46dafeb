#include <gtest/gtest.h>

#include <string>

#include "app/settings.h"
#include "console/memory_console.h"
#include "tests/support/screen_helpers.h"
#include "widgets/console_utils.h"

namespace {

// Code page 437 box bytes, spelled out here so that a wrong constant in the
// library cannot hide behind the same constant in the test.
std::string Box(std::initializer_list<int> bytes) {
  std::string text;
  for (const int b : bytes) text.push_back(static_cast<char>(b));
  return text;
}
std::string Repeat(int byte, int count) {
  return std::string(static_cast<std::size_t>(count), static_cast<char>(byte));
}

class ConsoleUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    console = &AttachMemoryConsole();
    SetColor(7, 0);
    ClearScreen();
  }
  void TearDown() override { ConsoleDetach(); }
  // Fills the whole screen with one character, so that untouched cells show.
  void Fill(char c) {
    for (int row = 1; row <= 24; ++row) {
      Locate(row, 1);
      PrintText(std::string(80, c));
    }
    Locate(25, 1);
    PrintText(std::string(79, c));
  }
  MemoryConsole* console = nullptr;
};

TEST_F(ConsoleUtilsTest, GfxConsoleSetupClearsInLightGreyOnTheDefaultBackground) {
  Fill('x');
  Locate(7, 7, 0);
  SetColor(14, 4);
  DefaultBackColor = 1;
  GfxConsoleSetup();
  EXPECT_TRUE(ConsoleScreen().CursorVisible());
  EXPECT_EQ(CursorRow(), 1);
  EXPECT_EQ(CursorCol(), 1);
  EXPECT_EQ(SetColor(), (ColorPair{7, 1}));
  for (int row = 1; row <= 25; ++row) {
    EXPECT_EQ(ScreenLine(row), "") << row;
    EXPECT_EQ(CellColors(row, 80), (ColorPair{7, 1})) << row;
  }
}

TEST_F(ConsoleUtilsTest, LibInitGivesTheSettingsTheirStartValues) {
  BeepEnabled = 0;
  GfxScreenMode = 3;
  DefaultBackColor = 5;
  KeyF1.clear();
  KeyEnter.clear();
  LibInit();
  EXPECT_EQ(BeepEnabled, 1);
  EXPECT_EQ(GfxScreenMode, 17);
  EXPECT_EQ(DefaultBackColor, 0);
  EXPECT_EQ(KeyF1, std::string("\xFF\x3B"));
  EXPECT_EQ(KeyEnter, "\r");
}

TEST_F(ConsoleUtilsTest, PrintVerticalSkipsSpacesAndRestoresCursorAndColours) {
  Fill('.');
  SetColor(2, 0);
  Locate(20, 33);
  PrintVertical(2, 10, "A BC", 14, 1);
  EXPECT_EQ(ScreenText(2, 10, 1), "A");
  EXPECT_EQ(ScreenText(3, 10, 1), ".") << "a space leaves the cell alone";
  EXPECT_EQ(ScreenText(4, 10, 1), "B");
  EXPECT_EQ(ScreenText(5, 10, 1), "C");
  EXPECT_EQ(ScreenText(2, 9, 3), ".A.");
  EXPECT_EQ(CellColors(2, 10), (ColorPair{14, 1}));
  EXPECT_EQ(CellColors(3, 10), (ColorPair{7, 0}));
  EXPECT_EQ(CellColors(5, 10), (ColorPair{14, 1}));
  EXPECT_EQ(CursorRow(), 20);
  EXPECT_EQ(CursorCol(), 33);
  EXPECT_EQ(SetColor(), (ColorPair{2, 0}));
  EXPECT_TRUE(ConsoleScreen().CursorVisible());
}

TEST_F(ConsoleUtilsTest, PrintSpreadWritesAlongTheRowWithTheCursorHidden) {
  Fill('.');
  SetColor(3, 0);
  Locate(12, 40);
  PrintSpread(5, 3, "x y", 15, 4);
  EXPECT_EQ(ScreenText(5, 1, 7), "..x.y..");
  EXPECT_EQ(CellColors(5, 3), (ColorPair{15, 4}));
  EXPECT_EQ(CellColors(5, 4), (ColorPair{7, 0}));
  EXPECT_EQ(CursorRow(), 12);
  EXPECT_EQ(CursorCol(), 40);
  EXPECT_EQ(SetColor(), (ColorPair{3, 0}));
  EXPECT_FALSE(ConsoleScreen().CursorVisible());
}

TEST_F(ConsoleUtilsTest, PlacedTextOffTheScreenIsDropped) {
  Fill('.');
  Locate(10, 10);
  PrintVertical(24, 1, "abcd", 15, 0);
  EXPECT_EQ(ScreenText(24, 1, 1), "a");
  EXPECT_EQ(ScreenText(25, 1, 1), "b");
  EXPECT_EQ(ScreenText(10, 10, 3), "...") << "nothing lands at the old cursor";
  EXPECT_EQ(ScreenText(1, 1, 3), "...") << "no scroll";
  PrintSpread(3, 78, "abcd", 15, 0);
  EXPECT_EQ(ScreenText(3, 78, 3), "abc");
  EXPECT_EQ(ScreenText(4, 1, 2), "..");
  PrintVertical(0, 5, "pq", 15, 0);
  EXPECT_EQ(ScreenText(1, 5, 1), "q");
  EXPECT_EQ(ScreenText(10, 10, 3), "...");
  EXPECT_EQ(CursorRow(), 10);
  EXPECT_EQ(CursorCol(), 10);
}

TEST_F(ConsoleUtilsTest, DrawBoxClosedOnBothEdges) {
  Fill('.');
  DrawBox(1, 1, 3, 5, 1, 1);
  EXPECT_EQ(ScreenText(1, 1, 6), Box({218, 196, 196, 196, 191}) + ".");
  EXPECT_EQ(ScreenText(2, 1, 6), Box({179}) + "..." + Box({179}) + ".");
  EXPECT_EQ(ScreenText(3, 1, 6), Box({192, 196, 196, 196, 217}) + ".");
  EXPECT_EQ(ScreenText(4, 1, 6), "......");
  EXPECT_EQ(ScreenText(25, 1, 6), "......") << "nothing scrolled";
}

TEST_F(ConsoleUtilsTest, DrawBoxOpenEdgesUseTees) {
  Fill('.');
  SetColor(11, 1);
  DrawBox(4, 10, 7, 13, 0, 0);
  EXPECT_EQ(ScreenText(4, 10, 4), Box({195, 196, 196, 180}));
  for (int row = 5; row <= 6; ++row) {
    EXPECT_EQ(ScreenText(row, 9, 6), "." + Box({179}) + ".." + Box({179}) + ".") << row;
  }
  EXPECT_EQ(ScreenText(7, 10, 4), Box({195, 196, 196, 180}));
  EXPECT_EQ(CellColors(5, 13), (ColorPair{11, 1})) << "frames use the current colours";

  DrawBox(10, 1, 11, 2, 1, 0);
  EXPECT_EQ(ScreenText(10, 1, 3), Box({218, 191}) + ".") << "no room for horizontal lines";
  EXPECT_EQ(ScreenText(11, 1, 3), Box({195, 180}) + ".");
}

TEST_F(ConsoleUtilsTest, DrawGridOfTwoCellsLeavesTheInteriors) {
  Fill('.');
  DrawGrid(2, 3, 2, 3, 2, 1, 1);
  const std::string bar = Box({179});
  EXPECT_EQ(ScreenText(2, 2, 11),
            "." + Box({218}) + Repeat(196, 3) + Box({194}) + Repeat(196, 3) + Box({191}) + ".");
  for (int row = 3; row <= 4; ++row) {
    EXPECT_EQ(ScreenText(row, 2, 11), "." + bar + "..." + bar + "..." + bar + ".") << row;
  }
  EXPECT_EQ(ScreenText(5, 2, 11),
            "." + Box({192}) + Repeat(196, 3) + Box({193}) + Repeat(196, 3) + Box({217}) + ".");
  EXPECT_EQ(ScreenText(6, 2, 11), std::string(11, '.'));
}

TEST_F(ConsoleUtilsTest, DrawGridOpenEdgesUseTheSeparatorForm) {
  Fill('.');
  DrawGrid(1, 1, 3, 1, 1, 0, 0);
  const std::string separator = Box({195, 196, 197, 196, 197, 196, 180});
  EXPECT_EQ(ScreenText(1, 1, 8), separator + ".");
  EXPECT_EQ(ScreenText(2, 1, 8),
            Box({179}) + "." + Box({179}) + "." + Box({179}) + "." + Box({179}) + ".");
  EXPECT_EQ(ScreenText(3, 1, 8), separator + ".");
}

TEST_F(ConsoleUtilsTest, DrawGridClearBlanksTheInteriors) {
  Fill('.');
  SetColor(7, 1);
  DrawGridClear(2, 3, 2, 3, 2, 1, 0);
  const std::string bar = Box({179});
  EXPECT_EQ(ScreenText(2, 3, 9), Box({218, 196, 196, 196, 194, 196, 196, 196, 191}));
  for (int row = 3; row <= 4; ++row) {
    EXPECT_EQ(ScreenText(row, 2, 11), "." + bar + "   " + bar + "   " + bar + ".") << row;
    EXPECT_EQ(CellColors(row, 5), (ColorPair{7, 1}));
  }
  EXPECT_EQ(ScreenText(5, 3, 9), Box({195, 196, 196, 196, 197, 196, 196, 196, 180}));
}

TEST_F(ConsoleUtilsTest, FramePartsOffTheScreenAreNotDrawnElsewhere) {
  Fill('.');
  Locate(10, 10);
  DrawBox(-1, 1, 2, 5, 1, 1);
  EXPECT_EQ(ScreenText(1, 1, 6), Box({179}) + "..." + Box({179}) + ".");
  EXPECT_EQ(ScreenText(2, 1, 5), Box({192, 196, 196, 196, 217}));
  EXPECT_EQ(ScreenText(10, 1, 80), std::string(80, '.'));
  DrawGrid(20, 90, 2, 3, 2, 1, 1);
  for (int row = 20; row <= 25; ++row) {
    EXPECT_EQ(ScreenText(row, 1, 79), std::string(79, '.')) << row;
  }
}

}  // namespace
