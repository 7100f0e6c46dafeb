#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/config_file.h"
#include "terminal/terminal.h"
#include "tests/support/screen_helpers.h"
#include "tests/support/terminal_fixture.h"

namespace {

class TerminalTest : public TerminalOnSimBoardTest {
 protected:
  TerminalTest() : TerminalOnSimBoardTest("q7m-term-") {}
  // Bytes from the remote console, put on the line at 115200 from `atMs` on.
  void RemoteSendsAt(std::uint64_t atMs, std::string bytes) {
    pending.push_back({atMs * 1000000, std::move(bytes)});
    console->onAdvance = [this](std::uint64_t now) {
      while (!pending.empty() && pending.front().first <= now) {
        const std::string& b = pending.front().second;
        sim->SimRxWire(reinterpret_cast<const std::uint8_t*>(b.data()), b.size(), 115200);
        pending.erase(pending.begin());
      }
    };
  }

  std::vector<std::pair<std::uint64_t, std::string>> pending;
};

TEST_F(TerminalTest, HeaderReceivedTextColoursAndCapture) {
  RemoteSendsAt(100, "boot \x1B[1;32mOK\x1B[0m\r\nprompt> ");
  console->PushKey(KeyShiftF2, 400);
  std::string header, row4, row5;
  ColorPair okColours{};
  console->onAdvance = [this, inner = console->onAdvance, &header, &row4, &row5,
                        &okColours](std::uint64_t now) {
    inner(now);
    if (now >= 390'000'000 && header.empty()) {
      header = ScreenLine(1);
      row4 = ScreenLine(4);
      row5 = ScreenLine(5);
      okColours = CellColors(4, 6);
    }
  };
  RunTerminal("KB20T Console - NEL=Q7M", 115200, *console);
  EXPECT_EQ(header, "KB20T Console - NEL=Q7M     <Fx>Macro  <SF1>Help  <SF2>Exit  Baud: 115200");
  EXPECT_EQ(row4, "boot OK");
  EXPECT_EQ(row5, "prompt>");
  EXPECT_EQ(okColours, (ColorPair{10, 0}));
  EXPECT_EQ(Capture(), "boot OK\r\nprompt> ");
  for (int row = 1; row <= 25; ++row) EXPECT_EQ(ScreenLine(row), "") << "left with a clear screen";
  EXPECT_EQ(sim->SimUartDivisor(), 1085u);
}

TEST_F(TerminalTest, KeysAreTranslatedAndSent) {
  const std::string keys[] = {"a",      "\x1A",  KeyUp, KeyDown, KeyLeft, KeyRight,
                              KeyDel,   KeyHome, "\r",  "\x08",  KeyEsc,  KeyF5 /* no macro */,
                              KeyCtrlF1};
  std::uint64_t at = 50;
  for (const auto& key : keys) console->PushKey(key, at += 100);
  console->PushKey(KeyShiftF2, at + 100);
  RunTerminal("T", 115200, *console);
  const std::string expected =
      std::string("a\x03\x1B[A\x1B[B\x1B[D\x1B[C\x7F\xFF\x47\r\x08\x1B", 20) +
      std::string("\xFF\x5E", 2);
  EXPECT_EQ(sim->TransmittedText(), expected);
}

TEST_F(TerminalTest, FunctionKeysPlayTheirMacros) {
  const int slots[] = {1, 10, 11, 12, 13, 14, 15, 22, 23, 24};
  for (const int slot : slots) {
    MacroCount[static_cast<std::size_t>(slot)] = 1;
    MacroText[static_cast<std::size_t>(slot)][1] = "$" + std::to_string(64 + slot);
  }
  const std::string keys[] = {KeyF1,       KeyF10,      KeyF11,      KeyF12,    KeyShiftF3,
                              KeyShiftF10, KeyShiftF11, KeyShiftF12, KeyShiftF1};
  std::uint64_t at = 50;
  for (const auto& key : keys) console->PushKey(key, at += 100);
  console->PushKey(KeyShiftF2, at + 100);
  RunTerminal("T", 115200, *console);
  // Slots 13 and 14 (Shift-F1, Shift-F2) are help and leave, never macros.
  EXPECT_EQ(sim->TransmittedText(), "AJKLOVWX");
}

TEST_F(TerminalTest, HelpShowsTheConfiguredLinesAndTheTerminalGoesOn) {
  HelpCount = 2;
  HelpLines[1] = "F1 = Enter";
  HelpLines[2] = " ";
  console->PushKey(KeyShiftF1, 100);
  RemoteSendsAt(200, "after");
  std::vector<std::string> rows;
  console->PushKey(KeyShiftF2, 500);
  console->onAdvance = [this, inner = console->onAdvance, &rows](std::uint64_t now) {
    inner(now);
    if (now >= 450'000'000 && rows.empty()) {
      for (int r = 1; r <= 4; ++r) rows.push_back(ScreenLine(r));
    }
  };
  RunTerminal("T", 115200, *console);
  const std::vector<std::string> expected = {"F1 = Enter", "", "", "after"};
  EXPECT_EQ(rows, expected);
}

TEST_F(TerminalTest, EachRunStartsTheCaptureAfresh) {
  RemoteSendsAt(50, "first run");
  console->PushKey(KeyShiftF2, 300);
  RunTerminal("T", 115200, *console);
  EXPECT_EQ(Capture(), "first run");
  RemoteSendsAt(console->NowMsValue() + 50, "second");
  console->PushKey(KeyShiftF2, console->NowMsValue() + 300);
  RunTerminal("T", 115200, *console);
  EXPECT_EQ(Capture(), "second");
}

TEST_F(TerminalTest, NothingIsLostAtLineRate) {
  std::string log;
  for (int line = 0; log.size() < 6000; ++line) {
    log += "line " + std::to_string(line) + " of the boot log, abcdefghijklmnopqrstuvwxyz\r\n";
  }
  RemoteSendsAt(10, log);
  console->PushKey(KeyShiftF2, 1000);  // the log takes about 520 ms on the line
  RunTerminal("T", 115200, *console);
  EXPECT_EQ(sim->SimRxLostCount(), 0u);
  EXPECT_EQ(Capture(), log);
}

TEST_F(TerminalTest, ACaptureFileThatCannotBeCreatedIsSaidOnceAndTheTerminalRuns) {
  std::filesystem::create_directory(dir / "Term.txt");
  std::vector<std::string> shown;
  console->PushKey(" ", 0);
  RemoteSendsAt(100, "still shown");
  console->PushKey(KeyShiftF2, 400);
  console->onAdvance = [this, inner = console->onAdvance, &shown](std::uint64_t now) {
    inner(now);
    const std::string row = ScreenLine(24);
    if (!row.empty() && (shown.empty() || shown.back() != row)) shown.push_back(row);
  };
  std::string row4;
  console->onAdvance = [this, inner = console->onAdvance, &row4](std::uint64_t now) {
    inner(now);
    if (now >= 390'000'000 && row4.empty()) row4 = ScreenLine(4);
  };
  RunTerminal("T", 115200, *console);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0],
            "  Cannot create Term.txt (Is a directory): the terminal runs without capture");
  EXPECT_EQ(row4, "still shown");
}

TEST_F(TerminalTest, ColoursFromTheRemoteOutliveTheTerminal) {
  RemoteSendsAt(50, "\x1B[44m");
  console->PushKey(KeyShiftF2, 300);
  RunTerminal("T", 115200, *console);
  EXPECT_EQ(TextBg, 1);
  EXPECT_EQ(SetColor(), (ColorPair{7, 1}));
}

TEST_F(TerminalTest, PastedKeysGoOutAsFastAsTheLinesPacingLetsThem) {
  const std::string paste = "the quick brown fox jumps";
  console->PushText(paste, 100);
  console->PushKey(KeyShiftF2, 110);  // leaves once the paste has gone out
  RunTerminal("T", 115200, *console);
  const auto sent = sim->Transmitted();
  ASSERT_EQ(sent.size(), paste.size());
  EXPECT_EQ(sim->TransmittedText(), paste);
  EXPECT_EQ(sent[0].startNs, 100'000'000u) << "the first at once";
  for (std::size_t i = 1; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].startNs - sent[i - 1].startNs, 10'000'000u) << "byte " << i;
  }
  EXPECT_GE(console->NowNsValue(), sent.back().startNs) << "Shift-F2 waited for the paste";
}

TEST_F(TerminalTest, ACaptureThatCannotBeWrittenStopsAndIsSaidOnceWithTheTextThatMetIt) {
  // A full disk: every write fails.
  std::filesystem::create_symlink("/dev/full", dir / "Term.txt");
  RemoteSendsAt(100, "first batch\r\n");
  RemoteSendsAt(900, "second batch\r\n");
  console->PushKey(" ", 600);  // ends the message
  console->PushKey(KeyShiftF2, 1200);
  std::vector<std::string> shown;
  std::string row4;
  console->onAdvance = [this, inner = console->onAdvance, &shown, &row4](std::uint64_t now) {
    inner(now);
    const std::string row = ScreenLine(24);
    if (!row.empty() && (shown.empty() || shown.back() != row)) shown.push_back(row);
    if (now >= 1100'000'000 && row4.empty()) row4 = ScreenLine(5);
  };
  RunTerminal("T", 115200, *console);
  ASSERT_EQ(shown.size(), 1u) << "said once";
  EXPECT_EQ(shown[0], "  Term.txt: No space left on device; capture stopped at 0 bytes");
  EXPECT_EQ(row4, "second batch") << "the terminal goes on";
}

}  // namespace
