#include <gtest/gtest.h>

#include "app/settings.h"
#include "console/memory_console.h"
#include "tests/support/screen_helpers.h"

namespace {

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    console = &AttachMemoryConsole();
  }
  void TearDown() override { ConsoleDetach(); }
  MemoryConsole* console = nullptr;
};

TEST_F(ConsoleTest, TextWrapsAtTheLastColumnToTheNextRow) {
  Locate(1, 75);
  PrintText("ABCDEFGHIJ");
  EXPECT_EQ(ScreenText(1, 75, 6), "ABCDEF");
  EXPECT_EQ(ScreenText(2, 1, 4), "GHIJ");
  EXPECT_EQ(CursorRow(), 2);
  EXPECT_EQ(CursorCol(), 5);
}

TEST_F(ConsoleTest, EightyCharactersOnTheBottomRowScrollAtOnce) {
  Locate(1, 1);
  PrintText("top");
  Locate(2, 1);
  PrintText("second");
  SetColor(7, 1);
  Locate(25, 1);
  PrintText(std::string(79, 'x'));
  EXPECT_EQ(ScreenLine(1), "top") << "79 characters must not scroll";
  PrintText("y");
  EXPECT_EQ(ScreenLine(1), "second");
  EXPECT_EQ(ScreenLine(24), std::string(79, 'x') + "y");
  EXPECT_EQ(ScreenLine(25), "");
  EXPECT_EQ(CellColors(25, 40), (ColorPair{7, 1})) << "new bottom row uses the current background";
  EXPECT_EQ(CursorRow(), 25);
  EXPECT_EQ(CursorCol(), 1);
}

TEST_F(ConsoleTest, PrintLineBreaksAndScrollsAtTheBottom) {
  Locate(25, 10);
  PrintLine("end");
  EXPECT_EQ(ScreenText(24, 10, 3), "end");
  EXPECT_EQ(CursorRow(), 25);
  EXPECT_EQ(CursorCol(), 1);
  Locate(3, 7);
  PrintLine("");
  EXPECT_EQ(CursorRow(), 4);
  EXPECT_EQ(CursorCol(), 1);
}

TEST_F(ConsoleTest, CarriageReturnAndLineFeedMoveTheCursor) {
  Locate(5, 1);
  PrintText("abc\rX");
  EXPECT_EQ(ScreenText(5, 1, 3), "Xbc");
  PrintText("\nY");
  EXPECT_EQ(ScreenText(6, 1, 1), "Y");
  Locate(25, 3);
  PrintText("z\r\n");
  EXPECT_EQ(ScreenText(24, 3, 1), "z");
  EXPECT_EQ(CursorRow(), 25);
}

TEST_F(ConsoleTest, LocateKeepsZeroCoordinatesAndIgnoresPositionsOffTheScreen) {
  Locate(10, 20);
  Locate(0, 5);
  EXPECT_EQ(CursorRow(), 10);
  EXPECT_EQ(CursorCol(), 5);
  Locate(3, 0);
  EXPECT_EQ(CursorRow(), 3);
  EXPECT_EQ(CursorCol(), 5);
  Locate(26, 1);
  Locate(1, 81);
  Locate(-1, 4);
  EXPECT_EQ(CursorRow(), 3);
  EXPECT_EQ(CursorCol(), 5);
  Locate(0, 0, 0);
  EXPECT_FALSE(ConsoleScreen().CursorVisible());
  Locate(2, 2);
  EXPECT_FALSE(ConsoleScreen().CursorVisible()) << "omitted visibility is unchanged";
  Locate(0, 0, 1);
  EXPECT_TRUE(ConsoleScreen().CursorVisible());
}

TEST_F(ConsoleTest, PrintZoneAdvancesToTheNextZoneOrBreaksTheLine) {
  const struct {
    int from;
    int to;
  } zones[] = {{1, 15}, {2, 15}, {14, 15}, {15, 29}, {29, 43}, {43, 57}, {57, 71}, {70, 71}};
  for (const auto& zone : zones) {
    Locate(3, zone.from);
    PrintZone();
    EXPECT_EQ(CursorRow(), 3) << "from column " << zone.from;
    EXPECT_EQ(CursorCol(), zone.to) << "from column " << zone.from;
  }
  for (const int from : {71, 75, 80}) {
    Locate(3, from);
    PrintZone();
    EXPECT_EQ(CursorRow(), 4) << "from column " << from;
    EXPECT_EQ(CursorCol(), 1) << "from column " << from;
  }
}

TEST_F(ConsoleTest, PrintZonePadsWithSpacesInTheCurrentColours) {
  Locate(1, 1);
  PrintText("abcdefghijklmnop");
  SetColor(14, 2);
  Locate(1, 3);
  PrintZone();
  EXPECT_EQ(ScreenText(1, 1, 16), "ab            op");
  EXPECT_EQ(CellColors(1, 14), (ColorPair{14, 2}));
}

TEST_F(ConsoleTest, SetColorReturnsThePreviousPairAndKeepsOmittedColours) {
  SetColor(7, 0);
  const ColorPair saved = SetColor(12, 1);
  EXPECT_EQ(saved, (ColorPair{7, 0}));
  EXPECT_EQ(SetColor(), (ColorPair{12, 1})) << "no arguments changes nothing";
  SetColor(std::nullopt, 3);
  EXPECT_EQ(SetColor(), (ColorPair{12, 3}));
  SetColor(5);
  EXPECT_EQ(SetColor(), (ColorPair{5, 3}));
  SetColor(saved.fg, saved.bg);
  EXPECT_EQ(SetColor(), (ColorPair{7, 0}));
  SetColor(0x1E, 0x21);
  EXPECT_EQ(SetColor(), (ColorPair{14, 1})) << "only the low four bits count";
}

TEST_F(ConsoleTest, ClearScreenFillsWithTheBackgroundAndHomesTheCursor) {
  Locate(5, 5);
  PrintText("x");
  SetColor(7, 4);
  ClearScreen();
  EXPECT_EQ(ScreenLine(5), "");
  EXPECT_EQ(CellColors(25, 80), (ColorPair{7, 4}));
  EXPECT_EQ(CursorRow(), 1);
  EXPECT_EQ(CursorCol(), 1);
}

TEST_F(ConsoleTest, ReadKeyReturnsEmptyAtOnceWhenNoKeyWaits) {
  EXPECT_EQ(ReadKey(), "");
  EXPECT_EQ(console->NowMsValue(), 0u);
  console->PushKey(KeyF1);
  EXPECT_EQ(ReadKey(), std::string("\xFF\x3B", 2));
}

TEST_F(ConsoleTest, LongWaitsEndEarlyOnAKeyAndLeaveItUnread) {
  console->PushKey("a", 0);
  WaitMs(500);
  EXPECT_EQ(console->NowMsValue(), 50u);
  EXPECT_EQ(ReadKey(), "a");

  console->PushKey("b", 1120);
  WaitMs(1000);
  EXPECT_EQ(console->NowMsValue(), 1050u) << "no key arrived: the full wait";
  WaitMs(500);
  EXPECT_EQ(console->NowMsValue(), 1150u);
  EXPECT_EQ(ReadKey(), "b");
}

TEST_F(ConsoleTest, ShortWaitsAndPausesAlwaysSleepInFull) {
  console->PushKey("k");
  WaitMs(10);
  EXPECT_EQ(console->NowMsValue(), 10u);
  WaitMs(99);
  EXPECT_EQ(console->NowMsValue(), 109u);
  PauseMs(2000);
  EXPECT_EQ(console->NowMsValue(), 2109u);
  EXPECT_EQ(ReadKey(), "k") << "the key stays unread";
}

TEST_F(ConsoleTest, WaitMinusOneWaitsUntilAKeyIsWaiting) {
  console->PushKey("z", 730);
  WaitMs(-1);
  EXPECT_GE(console->NowMsValue(), 730u);
  EXPECT_LT(console->NowMsValue(), 745u);
  EXPECT_EQ(ReadKey(), "z");
}

TEST_F(ConsoleTest, BeepSoundsAThousandHertzForAQuarterSecond) {
  Beep();
  ASSERT_EQ(console->Tones().size(), 1u);
  EXPECT_EQ(console->Tones()[0].hz, 1000);
  EXPECT_EQ(console->Tones()[0].ms, 250);
  EXPECT_EQ(console->NowMsValue(), 250u);
}

TEST_F(ConsoleTest, ReadLineEchoesAndErasesWithBackspace) {
  Locate(3, 1);
  PrintText("? ");
  console->PushText("12x");
  console->PushKey(std::string(1, '\b'));
  console->PushKey(KeyF1);  // extended keys are not part of a line
  console->PushText("3\r");
  EXPECT_EQ(ReadLine(), "123");
  EXPECT_EQ(ScreenLine(3), "? 123");
}

TEST_F(ConsoleTest, WaitsAndKeyReadsPresentWhatChangedAFrameAtATime) {
  PrintText("x");
  const int before = console->Presents();
  WaitMs(10);
  EXPECT_EQ(console->Presents(), before + 1) << "drawn as the wait began";
  ReadKey();
  EXPECT_EQ(console->Presents(), before + 1) << "nothing changed since";
  PrintText("y");
  ReadKey();
  EXPECT_EQ(console->Presents(), before + 2) << "a change, its frame due";
  PrintText("z");
  ReadKey();
  EXPECT_EQ(console->Presents(), before + 2) << "the next frame is 10 ms on";
  PauseMs(20);
  EXPECT_EQ(console->Presents(), before + 3) << "and comes within the wait";
  EXPECT_EQ(console->FramesDrawn(), 3);
}

TEST_F(ConsoleTest, AScreenLeftForLaterByABusyDrawerShowsWhileWaitingForAKey) {
  console->SetFrameTimeMs(200);
  PrintText("first");
  ConsolePresent();  // drawn; the next 200 ms the drawer is busy
  Locate(2, 1);
  PrintText("press a key");
  console->PushKey("k", 1000);
  WaitMs(-1);
  EXPECT_FALSE(ConsoleScreen().RowDirty(2)) << "the prompt was never drawn";
  EXPECT_EQ(ReadKey(), "k");
}

TEST_F(ConsoleTest, ATallerScreenShowsMoreRowsBelow) {
  ConsoleDetach();
  AttachMemoryConsole(40, 80);
  Locate(40, 1);
  EXPECT_EQ(CursorRow(), 40);
  PrintLine("x");
  EXPECT_EQ(ScreenLine(39), "x");
}

TEST_F(ConsoleTest, AWatchIsServedInEveryWaitButHeldWhileAMessageStands) {
  WakeFlag flag;
  int served = 0;
  const ConsoleWatch watch(flag, [&] {
    flag.Lower();
    ++served;
  });
  flag.Raise();
  PauseMs(10);
  EXPECT_EQ(served, 1) << "a plain pause serves it and goes on";
  EXPECT_EQ(console->NowMsValue(), 10u);
  {
    const ConsoleWatchesHeld held;
    flag.Raise();
    PauseMs(10);
    EXPECT_EQ(served, 1) << "held";
  }
  const std::uint64_t before = console->NowNsValue();
  EXPECT_EQ(ConsoleWaitUntil(before + 100'000'000, KeyWake::kNone), WaitResult::kServed);
  EXPECT_EQ(served, 2) << "what waited meanwhile is served at the next wait";
  EXPECT_EQ(console->NowNsValue(), before) << "and a caller that asked is told at once";
}

TEST_F(ConsoleTest, AWaitForANewKeyIgnoresTheKeysAlreadyWaiting) {
  console->PushKey("a", 0);
  console->PushKey("b", 300);
  EXPECT_EQ(ConsoleWaitUntil(UINT64_MAX, KeyWake::kNew), WaitResult::kKey);
  EXPECT_EQ(console->NowMsValue(), 300u) << "the first one waited already";
  EXPECT_TRUE(ConsoleKeyQueued("b"));
  EXPECT_FALSE(ConsoleKeyQueued("c"));
  EXPECT_EQ(ReadKey(), "a") << "and nothing was taken";
}

}  // namespace
