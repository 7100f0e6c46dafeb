#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "board/board_io.h"
#include "config/config_file.h"
#include "terminal/macro_player.h"
#include "terminal/uart_screen.h"
#include "tests/support/screen_helpers.h"
#include "tests/support/sim_board_fixture.h"
#include "uart/uart.h"
#include "uart/uart_session.h"

namespace {

// What the session's consumer hands the tap.
struct RecordingTap final : UartSession::Tap {
  void Received(std::string_view bytes) override { bytes_.append(bytes); }
  std::string bytes_;
};

class MacroTest : public SimBoardTest {
 protected:
  void SetUp() override {
    SimBoardTest::SetUp();
    BoardRegWrite(0x352, 8, 2);  // the J27 connector: no console answers
    UartInit(UartClockHz, 115200, 0x352, 0, [](std::string_view) {});
    sim->SimTxClear();
    MacroCount.fill(0);
    session = std::make_unique<UartSession>(ScreenSessionOptions(115200, &tap), *console);
    line = std::make_unique<UartScreen>(
        *session, [this](std::string_view bytes) { shownBytes.append(bytes); }, true);
  }
  void TearDown() override {
    line.reset();
    session.reset();
    SimBoardTest::TearDown();
  }
  void RunMacro(int slot) { ::RunMacro(*line, slot); }
  void Define(int slot, std::vector<std::string> lines) {
    MacroCount[static_cast<std::size_t>(slot)] = static_cast<std::int32_t>(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
      MacroText[static_cast<std::size_t>(slot)][i + 1] = lines[i];
  }
  std::string Play(const std::string& line) {
    Define(5, {line});
    sim->SimTxClear();
    RunMacro(5);
    return sim->TransmittedText();
  }
  void WatchRow24() { RecordRowTexts(*console, 24, shown); }
  std::vector<std::string> shown;
  RecordingTap tap;
  std::string shownBytes;
  std::unique_ptr<UartSession> session;
  std::unique_ptr<UartScreen> line;
};

TEST_F(MacroTest, CommandsSendTheirBytes) {
  const struct {
    const char* line;
    std::string sent;
  } cases[] = {
      {"\"ls\" CR", "ls\r"},
      {"$3", "\x03"},
      {"$&H1B", "\x1B"},
      {"$65 $66", "AB"},
      {"$65   $66", "AB"},
      {"CR LF", "\r\n"},
      {"cR lF", "\r\n"},
      {"CR 'send enter", "\r"},
      {"\"it's\"", "it's"},
      {"\"abc", "abc "},
      {"$300", std::string(1, static_cast<char>(300 & 0xFF))},
      {"$-1", "\xFF"},
      {"$65.6", "B"},
      {"w0 $65", "A"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Play(c.line), c.sent) << c.line;
  EXPECT_TRUE(shown.empty());
}

TEST_F(MacroTest, BytesGoOutTenMillisecondsApartAndTheMacroEndsWithItsLastByte) {
  Define(1, {"\"abc\" CR"});
  RunMacro(1);
  const auto sent = sim->Transmitted();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].startNs, 0u) << "the first byte leaves at once";
  for (std::size_t i = 1; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].startNs - sent[i - 1].startNs, 10'000'000u) << "byte " << i;
  }
  EXPECT_EQ(console->NowMsValue(), 30u) << "the gap after the last byte is the engine's";
}

TEST_F(MacroTest, PacingHoldsWhenSleepsOvershootAsRealOnesDo) {
  // Waits that end between two whole milliseconds must still add up to at
  // least 10 ms per byte.
  console->AdvanceNs(900'000);
  console->SetSleepOvershootNs(300'000);
  Define(1, {"\"abcdefghijklmnopqrst\""});
  RunMacro(1);
  const auto sent = sim->Transmitted();
  ASSERT_EQ(sent.size(), 20u);
  for (std::size_t i = 1; i < sent.size(); ++i) {
    EXPECT_GE(sent[i].startNs - sent[i - 1].startNs, 10'000'000u) << "byte " << i;
  }
}

TEST_F(MacroTest, WaitCommandWaitsItsMilliseconds) {
  Define(2, {"W500 CR"});
  RunMacro(2);
  const auto sent = sim->Transmitted();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].byte, '\r');
  EXPECT_EQ(sent[0].startNs, 500'000'000u);

  const auto start = console->NowMsValue();
  Play("W-5 $65");
  EXPECT_EQ(console->NowMsValue() - start, 10u) << "other negative waits do nothing";

  console->PushKey("k", console->NowMsValue() + 730);
  const auto before = console->NowMsValue();
  Play("W-1");
  EXPECT_GE(console->NowMsValue() - before, 730u) << "W-1 waits for a key";
  EXPECT_EQ(ReadKey(), "k") << "and leaves it unread";

  console->PushKey("j", console->NowMsValue() + 120);
  const auto early = console->NowMsValue();
  Play("W2000");
  EXPECT_LT(console->NowMsValue() - early, 200u) << "a long wait ends when a key is waiting";
}

TEST_F(MacroTest, ErrorsReportTheCommandAndPositionAndPlayingGoesOn) {
  WatchRow24();
  console->PushText("....");
  EXPECT_EQ(Play("X"), "");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  Cmd:X   Pos1 ??");

  shown.clear();
  EXPECT_EQ(Play("crlf"), "") << "r and f are errors, c and l start commands";
  const std::vector<std::string> expected = {"  Cmd:crlf   Pos2 ??", "  Cmd:crlf   Pos4 ??"};
  EXPECT_EQ(shown, expected);

  shown.clear();
  EXPECT_EQ(Play("Cr $65"), "A");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  Cmd:Cr $65   Pos2 ??");
}

TEST_F(MacroTest, EmptySlotAndOutOfRangeSlotsDoNothing) {
  RunMacro(7);
  RunMacro(0);
  RunMacro(25);
  RunMacro(-3);
  EXPECT_EQ(sim->SimTxCount(), 0u);
  EXPECT_EQ(console->NowMsValue(), 0u);
}

TEST_F(MacroTest, MultiLineMacroRunsTheViewerFromTheProgramDirectory) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("q7m-qv-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  {
    std::ofstream viewer("QV.EXE");
    viewer << "#!/bin/sh\necho ran > qv-ran.txt\n";
  }
  ::chmod("QV.EXE", 0755);
  Define(3, {"\"a\"", "\"b\""});
  RunMacro(3);
  EXPECT_TRUE(std::filesystem::exists("qv-ran.txt"));
  EXPECT_EQ(sim->SimTxCount(), 0u) << "a multi-line macro sends nothing";
  EXPECT_EQ(console->Suspends(), 1) << "the console is handed over while it runs";

  std::filesystem::remove("QV.EXE");
  const char* path = std::getenv("PATH");
  const std::string savedPath = path != nullptr ? path : "";
  ::setenv("PATH", dir.c_str(), 1);
  WatchRow24();
  console->PushKey(" ");
  RunMacro(3);
  ::setenv("PATH", savedPath.c_str(), 1);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  Cannot start QV.EXE: No such file or directory");
  std::filesystem::current_path(old);
  std::filesystem::remove_all(dir);
}

TEST_F(MacroTest, WhatArrivesWhileAMacroPlaysIsCapturedAndShownAsItArrives) {
  std::string burst;
  for (int i = 0; i < 2000; ++i) burst.push_back(static_cast<char>('0' + i % 64));
  sim->SimRxWire(reinterpret_cast<const std::uint8_t*>(burst.data()), burst.size(), 115200);
  // 2000 characters take 174 ms on the line: far more than the 127-byte
  // buffer. Half-way through the wait the screen has shown half of them.
  std::size_t shownAt100 = 0;
  console->onAdvance = [&, looked = false](std::uint64_t now) mutable {
    if (looked || now < 100'000'000) return;
    looked = true;
    shownAt100 = shownBytes.size();
  };
  Define(4, {"\"reboot\" CR W200"});
  RunMacro(4);
  EXPECT_EQ(sim->TransmittedText(), "reboot\r");
  EXPECT_EQ(tap.bytes_, burst) << "captured while the macro played";
  EXPECT_EQ(shownBytes, burst) << "and shown";
  EXPECT_GT(shownAt100, 900u) << "as it arrived, not after the macro";
  EXPECT_LT(shownAt100, 1400u);
  EXPECT_EQ(sim->SimRxLostCount(), 0u);
}

TEST_F(MacroTest, ShiftF2EndsAMacroWhereItIsAndStaysForTheTerminal) {
  Define(6, {"\"" + std::string(100, 'x') + "\" W3000 \"after\""});
  console->PushKey("a", 200);
  console->PushKey(KeyShiftF2, 305);
  RunMacro(6);
  const std::string sent = sim->TransmittedText();
  // A byte leaves every 10 ms: the one in flight at 305 ms is the last.
  EXPECT_EQ(sent, std::string(31, 'x'));
  EXPECT_LE(console->NowMsValue(), 310u) << "the macro ended at once";
  EXPECT_EQ(ReadKey(), "a") << "keys typed meanwhile wait, in order";
  EXPECT_EQ(ReadKey(), KeyShiftF2);

  // During a wait too, and nothing after it is sent.
  sim->SimTxClear();
  Define(7, {"\"ab\" W3000 \"cd\""});
  console->PushKey(KeyShiftF2, console->NowMsValue() + 1000);
  const std::uint64_t start = console->NowMsValue();
  RunMacro(7);
  EXPECT_EQ(sim->TransmittedText(), "ab");
  EXPECT_LT(console->NowMsValue() - start, 1010u);
  EXPECT_EQ(ReadKey(), KeyShiftF2);
}

}  // namespace
