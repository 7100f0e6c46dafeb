#include <gtest/gtest.h>

#include "app/settings.h"
#include "config/messages.h"
#include "console/memory_console.h"
#include "console/program_end.h"
#include "tests/support/screen_helpers.h"

namespace {

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    AlertCount = 0;
    console = &AttachMemoryConsole();
    SetColor(7, 0);
    ClearScreen();
  }
  void TearDown() override { ConsoleDetach(); }
  MemoryConsole* console = nullptr;
};

TEST_F(MessagesTest, ErrorShowsOnRow24InWhiteOnLightRedAndRestoresTheScreen) {
  SetColor(3, 1);
  Locate(10, 17);
  console->PushKey("x", 500);
  bool checkedWhileShown = false;
  console->onAdvance = [&](std::uint64_t nowNs) {
    if (checkedWhileShown || nowNs < 100'000'000) return;
    checkedWhileShown = true;
    const std::string expected = " Config file not found: Q7m_Uart.cfg";
    EXPECT_EQ(ScreenText(24, 1, 1), " ") << "column 1 is not part of the message";
    EXPECT_EQ(ScreenText(24, 2, 78), expected + std::string(78 - expected.size(), ' '));
    for (int col = 2; col <= 79; ++col) EXPECT_EQ(CellColors(24, col), (ColorPair{15, 12}));
    EXPECT_EQ(CellColors(24, 80), (ColorPair{7, 0}));
  };
  ShowError("Config file not found: Q7m_Uart.cfg");
  console->onAdvance = nullptr;
  EXPECT_TRUE(checkedWhileShown);
  EXPECT_EQ(ScreenLine(24), "");
  for (int col = 1; col <= 79; ++col) EXPECT_EQ(CellColors(24, col), (ColorPair{3, 1}));
  EXPECT_EQ(CellColors(24, 80), (ColorPair{7, 0})) << "column 80 is never touched";
  EXPECT_EQ(SetColor(), (ColorPair{3, 1}));
  EXPECT_EQ(CursorRow(), 10);
  EXPECT_EQ(CursorCol(), 17);
  EXPECT_EQ(console->KeysLeft(), 0u) << "the key that ended the message is consumed";
}

TEST_F(MessagesTest, MessagesAreCutTo77Characters) {
  std::string exact(77, 'a');
  exact.back() = 'Z';
  MessageLine(0, 24, 12, 15, exact);
  EXPECT_EQ(exact.size(), 78u);
  EXPECT_EQ(ScreenText(24, 2, 78), " " + std::string(76, 'a') + "Z");

  std::string longer(78, 'b');
  longer.back() = 'Z';
  MessageLine(3, 23, 12, 15, longer);
  EXPECT_EQ(ScreenText(23, 2, 78), " " + std::string(77, 'b')) << "the 78th character is lost";

  std::string empty;
  MessageLine(3, 22, 12, 15, empty);
  EXPECT_EQ(empty, std::string(78, ' '));
}

TEST_F(MessagesTest, RowsWithoutASavedPlaceAreIgnored) {
  std::string text = "outside";
  for (const int row : {-1, 26, 1000}) {
    MessageLine(0, row, 12, 15, text);
    MessageLine(1, row, 12, 15, text);
  }
  EXPECT_EQ(text, "outside");
  for (int row = 1; row <= 25; ++row) EXPECT_EQ(ScreenLine(row), "");
}

TEST_F(MessagesTest, TimedMessageShowsForTheFullTimeAndReturnsTheFirstKey) {
  console->PushKey("q", 100);
  console->PushKey("r", 200);
  std::string text = "note";
  const std::string key = ShowMessage(5, 1, 14, text, 2000);
  EXPECT_EQ(console->NowMsValue(), 2000u);
  EXPECT_EQ(key, "q");
  EXPECT_EQ(ReadKey(), "r");
  EXPECT_EQ(ScreenLine(5), "");

  EXPECT_EQ(ShowMessage(5, 1, 14, text, 300), "") << "no key pressed";
}

TEST_F(MessagesTest, ShowNoteLeavesTheMessageStandingUntilRemoved) {
  SetColor(2, 0);
  Locate(7, 9);
  std::string text = "standing";
  ShowNote(20, 1, 15, text);
  EXPECT_EQ(ScreenText(20, 2, 9), " standing");
  EXPECT_EQ(SetColor(), (ColorPair{2, 0}));
  EXPECT_EQ(CursorRow(), 7);
  EXPECT_EQ(CursorCol(), 9);
  MessageLine(1, 20, 1, 15, text);
  EXPECT_EQ(ScreenLine(20), "");
}

TEST_F(MessagesTest, AskContinueRepeatsThePromptUntilF9OrCtrlR) {
  std::string text = "Board not ready";
  console->PushKey("x", 0);
  console->PushKey(std::string(1, '\x12'), 100);
  bool sawPrompt = false;
  console->onAdvance = [&](std::uint64_t) {
    if (ScreenText(24, 2, 78) ==
        " <F9> to continue   <F10/F11> to abort   <Ctrl-R> to reset Q6M & continue     ")
      sawPrompt = true;
  };
  const std::string key = AskContinue(24, 12, 15, text);
  console->onAdvance = nullptr;
  EXPECT_TRUE(sawPrompt);
  EXPECT_EQ(key, "\x12");
  EXPECT_GE(console->NowMsValue(), 1500u) << "the prompt stands for 1.5 s";
  EXPECT_EQ(ScreenLine(24), "");

  console->PushKey(KeyF9);
  EXPECT_EQ(AskContinue(24, 12, 15, text), KeyF9);
}

TEST_F(MessagesTest, KeyWaitHelpers) {
  console->PushKey("a", 0);
  console->PushKey("b", 0);
  console->PushKey("c", 0);
  WaitKeyDiscard();
  EXPECT_EQ(ReadKey(), "c") << "WaitKeyDiscard consumes the key and the next";

  const auto start = console->NowMsValue();
  PauseOnKey();
  EXPECT_EQ(console->NowMsValue() - start, 500u) << "no key: the full half second";

  console->PushKey(KeyEsc, console->NowMsValue() + 10);
  console->PushKey("after", console->NowMsValue() + 10);
  PauseOnKey();
  EXPECT_EQ(ReadKey(), "after") << "Esc is consumed and returns at once";

  console->PushKey("p", 0);
  console->PushKey("next", 0);
  PauseOnKey();
  EXPECT_EQ(console->KeysLeft(), 0u) << "another key waits for one more key";

  console->PushKey("1");
  console->PushKey("2");
  FlushKeys();
  EXPECT_EQ(console->KeysLeft(), 0u);
}

TEST_F(MessagesTest, PressAnyKeyPrintsItsPromptAndWaits) {
  Locate(3, 1);
  console->PushKey(" ", 40);
  PressAnyKey();
  EXPECT_EQ(ScreenLine(4), "Press any key to continue");
  EXPECT_EQ(CursorRow(), 6);
  EXPECT_GE(console->NowMsValue(), 40u);
}

TEST_F(MessagesTest, ReportErrorBeepsOnlyWithinANegativeBudget) {
  console->PushText("123");
  ReportError("one");
  EXPECT_TRUE(console->Tones().empty()) << "AlertCount 0 never beeps";
  AlertCount = -3;
  ReportError("two");
  ReportError("three");
  EXPECT_EQ(console->Tones().size(), 2u);
  EXPECT_EQ(AlertCount, -1);
  AlertCount = -3;
  BeepEnabled = 0;
  AlertBeep();
  EXPECT_EQ(console->Tones().size(), 2u);
  EXPECT_EQ(AlertCount, -2) << "the budget is counted even when beeps are off";
}

TEST_F(MessagesTest, ResetScreenClearsInLightGreyOnTheDefaultBackground) {
  DefaultBackColor = 1;
  SetColor(14, 4);
  PrintText("x");
  ResetScreen();
  EXPECT_EQ(SetColor(), (ColorPair{7, 1}));
  EXPECT_EQ(CellColors(1, 1), (ColorPair{7, 1}));
  EXPECT_EQ(ScreenLine(1), "");
}

TEST_F(MessagesTest, HomeAtAnErrorEndsTheProgramWithStatusZeroAndAClearedScreen) {
  SetColor(14, 1);
  PrintText("under the message");
  console->PushKey(KeyHome);
  try {
    ShowError("Press Home");
    ADD_FAILURE() << "ShowError returned";
  } catch (const ProgramEnd& end) {
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.signal, 0);
  }
  EXPECT_EQ(ScreenLine(24), "") << "the screen was reset";
  EXPECT_EQ(ScreenLine(1), "");
  EXPECT_EQ(SetColor(), (ColorPair{7, 0}));
}

TEST_F(MessagesTest, F10AtAskContinueEndsTheProgramWithStatusZero) {
  std::string text = "abort?";
  console->PushKey(KeyF10);
  try {
    AskContinue(24, 12, 15, text);
    ADD_FAILURE() << "AskContinue returned";
  } catch (const ProgramEnd& end) {
    EXPECT_EQ(end.status, 0);
  }
}

}  // namespace
