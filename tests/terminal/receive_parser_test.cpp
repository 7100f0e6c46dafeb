#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/settings.h"
#include "console/memory_console.h"
#include "terminal/capture_file.h"
#include "terminal/receive_parser.h"
#include "tests/support/screen_helpers.h"

namespace {

class ReceiveParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    console = &AttachMemoryConsole();
    TextFg = 7;
    TextBg = 0;
    SetColor(7, 0);
    ClearScreen();
    capturePath = std::filesystem::temp_directory_path() /
                  ("q7m-capture-" + std::to_string(::getpid()) + ".txt");
    ASSERT_EQ(capture.Open(capturePath.string()), "");
  }
  void TearDown() override {
    capture.Close();
    std::filesystem::remove(capturePath);
    ConsoleDetach();
  }
  // As the terminal does: the same bytes through the screen's parser and the
  // capture's.
  void ShowReceived(std::string_view bytes) {
    screenParser.Feed(bytes, screenSink);
    captureParser.Feed(bytes, captureSink);
  }
  std::string Captured() {
    capture.Flush();
    std::ifstream in(capturePath, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

  MemoryConsole* console = nullptr;
  std::filesystem::path capturePath;
  CaptureFile capture;
  ReceiveParser screenParser;
  ReceiveParser captureParser;
  ScreenReceiveSink screenSink;
  CaptureReceiveSink captureSink{capture};
};

TEST_F(ReceiveParserTest, ColourSequencesChangeColoursAndShowNothing) {
  ShowReceived("\x1B[1;31mX");
  EXPECT_EQ(TextFg, 12);
  EXPECT_EQ(TextBg, 0);
  EXPECT_EQ(ScreenLine(1), "X");
  EXPECT_EQ(CellColors(1, 1), (ColorPair{12, 0}));
  EXPECT_EQ(Captured(), "X") << "escape bytes never reach the capture";

  ShowReceived("\x1B[m");
  EXPECT_EQ(TextFg, 7);
  EXPECT_EQ(TextBg, 0);

  ShowReceived("\x1B[41m\x1B[42m");
  EXPECT_EQ(TextBg, 6) << "background codes add their bits";
  ShowReceived("\x1B[0m\x1B[34m");
  EXPECT_EQ(TextFg, 1);
  ShowReceived("\x1B[36m");
  EXPECT_EQ(TextFg, 3);
  ShowReceived("\x1B[1m\x1B[30m");
  EXPECT_EQ(TextFg, 8) << "30 keeps the bright bit";
  EXPECT_EQ(SetColor(), (ColorPair{8, 0})) << "the console follows every code";
}

TEST_F(ReceiveParserTest, ColourCodeTable) {
  const struct {
    std::int64_t code;
    int fgFrom, bgFrom, fg, bg;
  } rows[] = {
      {0, 14, 3, 7, 0},  {2, 14, 3, 7, 0}, {4, 14, 3, 7, 0},           {5, 14, 3, 7, 0},
      {8, 14, 3, 7, 0},  {1, 6, 0, 14, 0}, {30, 14, 1, 8, 1},          {31, 7, 0, 4, 0},
      {32, 9, 0, 10, 0}, {33, 7, 0, 6, 0}, {35, 15, 0, 13, 0},         {37, 0, 0, 7, 0},
      {40, 7, 5, 7, 5},  {41, 7, 0, 7, 4}, {43, 7, 1, 7, 7},           {44, 7, 0, 7, 1},
      {45, 7, 2, 7, 7},  {46, 7, 0, 7, 3}, {47, 7, 0, 7, 7},           {39, 7, 2, 7, 2},
      {49, 7, 2, 7, 2},  {-1, 9, 4, 9, 4}, {4294967327LL, 9, 4, 9, 4},
  };
  for (const auto& row : rows) {
    TextFg = row.fgFrom;
    TextBg = row.bgFrom;
    ApplyColorCode(row.code);
    EXPECT_EQ(TextFg, row.fg) << "code " << row.code;
    EXPECT_EQ(TextBg, row.bg) << "code " << row.code;
    EXPECT_EQ(SetColor(), (ColorPair{row.fg, row.bg})) << "code " << row.code;
  }
}

TEST_F(ReceiveParserTest, UnknownSequencesShowMarkers) {
  ShowReceived(
      "\x1B[2K|\x1B"
      "c|\x1B[12;");
  ShowReceived("5H");
  EXPECT_EQ(ScreenLine(1), "<ESC><[><?>K|<ESC><63>|<ESC><[><?>H")
      << "parameter digits of an unknown sequence are dropped";
  EXPECT_EQ(Captured(), "||");
}

TEST_F(ReceiveParserTest, ControlBytesShowAsHexAndStayOutOfTheCapture) {
  ShowReceived(std::string("\x01\x1F\x00\x1A", 4));
  EXPECT_EQ(ScreenLine(1), "<1><1F><0><1A>");
  EXPECT_EQ(Captured(), "");
}

TEST_F(ReceiveParserTest, ShownBytesReachTheCaptureRaw) {
  ShowReceived("A\r\n");
  ShowReceived(std::string("\x7F\x80\xFF", 3));
  EXPECT_EQ(Captured(), std::string("A\r\n\x7F\x80\xFF", 6));
  EXPECT_EQ(ScreenText(2, 1, 3), "\x7F\x80\xFF");
}

TEST_F(ReceiveParserTest, CursorControls) {
  ShowReceived("\t");
  EXPECT_EQ(CursorCol(), 9);
  ShowReceived("\t");
  EXPECT_EQ(CursorCol(), 17);
  Locate(0, 13);
  ShowReceived("\t");
  EXPECT_EQ(CursorCol(), 17);
  Locate(0, 73);
  ShowReceived("\t");
  EXPECT_EQ(CursorCol(), 73) << "column 81 is off the screen";
  EXPECT_EQ(ScreenLine(1), "") << "Tab prints nothing";

  Locate(2, 1);
  ShowReceived("\b");
  EXPECT_EQ(CursorCol(), 1);
  ShowReceived("abc\b\b");
  EXPECT_EQ(CursorCol(), 2);
  EXPECT_EQ(ScreenLine(2), "abc") << "Backspace erases nothing";

  ShowReceived("\a");
  EXPECT_EQ(console->Tones().size(), 1u);
  EXPECT_EQ(ScreenLine(2), "abc");
  EXPECT_EQ(Captured(), "abc");
}

TEST_F(ReceiveParserTest, LineClearBlanksToColumn79AndPutsTheCursorBack) {
  Locate(3, 1);
  PrintText(std::string(80, '#'));
  Locate(3, 10);
  ShowReceived("\x1B[0J");
  EXPECT_EQ(ScreenText(3, 1, 79), std::string(9, '#') + std::string(70, ' '));
  EXPECT_EQ(ScreenText(3, 80, 1), "#") << "column 80 is left";
  EXPECT_EQ(CursorRow(), 3);
  EXPECT_EQ(CursorCol(), 10);
  EXPECT_EQ(ScreenLine(4), "") << "other rows are untouched";
}

TEST_F(ReceiveParserTest, SequencesSplitAcrossReadsAreRecognised) {
  ShowReceived("a\x1B");
  ShowReceived("[");
  ShowReceived("3");
  ShowReceived("2mb");
  EXPECT_EQ(ScreenLine(1), "ab");
  EXPECT_EQ(CellColors(1, 2), (ColorPair{2, 0}));
}

TEST_F(ReceiveParserTest, EndlessParametersStayBounded) {
  ShowReceived("\x1B[");
  ShowReceived(std::string(100000, '9'));
  EXPECT_LE(screenParser.EscParam.size(), 11u);
  ShowReceived("m");
  EXPECT_EQ(TextFg, 7) << "a code too large for 32 bits changes nothing";
  ShowReceived("\x1B[0000000000000000000031m");
  EXPECT_EQ(TextFg, 4) << "leading zeros do not count";
}

}  // namespace
