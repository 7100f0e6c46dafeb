// The terminal's receive side on the virtual clock, against the simulated
// board: nothing received is lost while a message waits, while the terminal
// draws slowly, or while the line delivers errors on every poll.

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "board/board_io.h"
#include "config/config_file.h"
#include "config/messages.h"
#include "sim/flood_text.h"
#include "terminal/terminal.h"
#include "terminal/uart_screen.h"
#include "tests/support/screen_helpers.h"
#include "tests/support/terminal_fixture.h"
#include "uart/uart.h"
#include "uart/uart_session.h"

namespace {

using q7m::sim::FloodText;
using q7m::sim::kFloodLineSize;

class ReceptionTest : public TerminalOnSimBoardTest {
 protected:
  ReceptionTest() : TerminalOnSimBoardTest("q7m-recv-") {}
  void SetUp() override {
    TerminalOnSimBoardTest::SetUp();
    BoardRegWrite(0x352, 8, 2);  // J27: only what the test puts on the line arrives
    console->onAdvance = [this](std::uint64_t now) {
      for (const auto& watch : watches) watch(now);
    };
  }
  // Puts bytes on the line at `baud` when the virtual clock reaches atMs.
  void LineSendsAt(std::uint64_t atMs, std::string bytes, std::uint32_t baud = 115200) {
    watches.push_back([this, atNs = atMs * 1000000, bytes = std::move(bytes), baud,
                       sent = false](std::uint64_t now) mutable {
      if (sent || now < atNs) return;
      sent = true;
      sim->SimRxWire(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), baud);
    });
  }
  // Calls `look` once, when the virtual clock first reaches atMs.
  void LookAt(std::uint64_t atMs, std::function<void()> look) {
    watches.push_back(
        [atNs = atMs * 1000000, look = std::move(look), done = false](std::uint64_t now) mutable {
          if (done || now < atNs) return;
          done = true;
          look();
        });
  }
  // Counts the framing error messages that appear on row 24.
  void WatchMessages(int& shown) {
    watches.push_back([&shown, up = false](std::uint64_t) mutable {
      // The message stands from column 2; column 1 keeps what was there.
      const bool now = ScreenLine(24).find(" UartRcvStr Framing Error") == 1;
      if (now && !up) ++shown;
      up = now;
    });
  }
  std::vector<std::string> Rows(int from, int to) {
    std::vector<std::string> rows;
    for (int row = from; row <= to; ++row) rows.push_back(ScreenLine(row));
    return rows;
  }
  // Flood lines as the screen shows them, without the last space and CR LF.
  static std::string FloodLine(std::uint64_t number) {
    return FloodText(number * kFloodLineSize, kFloodLineSize - 3);
  }

  std::vector<std::function<void(std::uint64_t)>> watches;
};

TEST_F(ReceptionTest, AMessageWaitingFiveSecondsDuringAFloodLosesNothing) {
  // About 6 s of line at 115200 baud from 100 ms on.
  constexpr std::uint64_t kLines = 1000;
  const std::string flood = FloodText(0, kLines * kFloodLineSize);
  LineSendsAt(100, flood);
  // F1 plays a macro with a fault: its report waits on row 24 until the key
  // at 5.5 s.
  MacroCount[1] = 1;
  MacroText[1][1] = "X";
  console->PushKey(KeyF1, 500);
  console->PushKey(" ", 5500);
  console->PushKey(KeyShiftF2, 7000);

  std::vector<std::string> atOneSecond, atFiveSeconds, atTheEnd;
  LookAt(1000, [&] { atOneSecond = Rows(1, 25); });
  LookAt(5400, [&] { atFiveSeconds = Rows(1, 25); });
  LookAt(6900, [&] { atTheEnd = Rows(1, 25); });
  RunTerminal("T", 115200, *console);

  EXPECT_EQ(sim->SimRxLostCount(), 0u);
  EXPECT_EQ(sim->SimRxOverflowEvents(), 0u);
  EXPECT_EQ(Capture(), flood) << "every byte in the capture, in order";
  // While the message stands, the screen under it does not move.
  ASSERT_EQ(atOneSecond.size(), 25u);
  EXPECT_EQ(atOneSecond[23].substr(1), " Cmd:X   Pos1 ??") << "from column 2";
  EXPECT_EQ(atFiveSeconds, atOneSecond);
  // After the key the message row is given back and the held lines follow
  // in order: the last 24 lines of the flood, then the cursor's empty row.
  ASSERT_EQ(atTheEnd.size(), 25u);
  for (int row = 0; row < 24; ++row) {
    EXPECT_EQ(atTheEnd[static_cast<std::size_t>(row)], FloodLine(kLines - 24 + row)) << row + 1;
  }
  EXPECT_EQ(atTheEnd[24], "");
}

TEST_F(ReceptionTest, ATerminalThatTakes200MsPerFrameLosesNothing) {
  console->SetFrameTimeMs(200);
  constexpr std::uint64_t kLines = 500;
  const std::string flood = FloodText(0, kLines * kFloodLineSize);
  LineSendsAt(100, flood);
  // The flood ends at about 3.1 s; the screen has caught up a frame later.
  console->PushKey(KeyShiftF2, 3600);
  std::vector<std::string> atTheEnd;
  LookAt(3500, [&] { atTheEnd = Rows(1, 24); });
  RunTerminal("T", 115200, *console);

  EXPECT_EQ(sim->SimRxLostCount(), 0u);
  EXPECT_EQ(Capture(), flood);
  EXPECT_LE(console->FramesDrawn(), 3600 / 200 + 2) << "frames are skipped, not queued";
  ASSERT_EQ(atTheEnd.size(), 24u);
  for (int row = 0; row < 24; ++row) {
    EXPECT_EQ(atTheEnd[static_cast<std::size_t>(row)], FloodLine(kLines - 24 + row)) << row + 1;
  }
}

TEST_F(ReceptionTest, At921600BaudWithEveryWakeUpHalfAMillisecondLateNothingIsLost) {
  // The receive buffer lasts 1.4 ms at this rate.
  console->SetTaskLatenessNs(500'000);
  const std::string flood = FloodText(0, 400 * kFloodLineSize);  // 0.35 s of line
  LineSendsAt(100, flood, 921600);
  console->PushKey(KeyShiftF2, 1000);
  RunTerminal("T", 921600, *console);
  EXPECT_EQ(sim->SimRxLostCount(), 0u);
  EXPECT_EQ(sim->SimRxOverflowEvents(), 0u);
  EXPECT_EQ(Capture(), flood);
}

TEST_F(ReceptionTest, AScreenThreadBlockedFiveSecondsLosesNothing) {
  // Every frame takes five seconds to reach the terminal, and the screen's
  // thread waits for it meanwhile.
  console->SetFrameTimeMs(5000);
  constexpr std::uint64_t kLines = 800;  // about 5 s of line
  const std::string flood = FloodText(0, kLines * kFloodLineSize);
  LineSendsAt(100, flood);
  console->PushKey(KeyShiftF2, 16000);
  std::vector<std::string> atTheEnd;
  LookAt(15900, [&] { atTheEnd = Rows(1, 24); });
  RunTerminal("T", 115200, *console);

  EXPECT_EQ(sim->SimRxLostCount(), 0u);
  EXPECT_EQ(Capture(), flood);
  ASSERT_EQ(atTheEnd.size(), 24u);
  for (int row = 0; row < 24; ++row) {
    EXPECT_EQ(atTheEnd[static_cast<std::size_t>(row)], FloodLine(kLines - 24 + row)) << row + 1;
  }
}

TEST_F(ReceptionTest, FortyBellsAreOneToneAndTheTextAfterThemShowsAtOnce) {
  // A binary dump holds a BEL in every 256 bytes or so.
  LineSendsAt(100, std::string(40, '\a') + "after the bells\r\n");
  LineSendsAt(800, "\a");  // a BEL on its own, later, beeps again
  console->PushKey(KeyShiftF2, 900);
  std::vector<std::string> withinOneTone;
  LookAt(350, [&] { withinOneTone = Rows(4, 4); });
  RunTerminal("T", 115200, *console);
  ASSERT_EQ(withinOneTone.size(), 1u);
  EXPECT_EQ(withinOneTone[0], "after the bells");
  EXPECT_EQ(console->ToneCount(), 2u);
  EXPECT_LT(console->NowMsValue(), 1000u) << "Shift-F2 was read at once";
  EXPECT_EQ(Capture(), "after the bells\r\n");
}

TEST_F(ReceptionTest, FramingErrorsOnEveryPollGiveOneMessageAndShiftF2StillLeaves) {
  // Ten seconds of a remote at 57600 while the UART runs at 115200.
  LineSendsAt(100, std::string(57600, 'U'), 57600);
  int shown = 0;
  WatchMessages(shown);
  console->PushKey(" ", 1000);  // ends the message; the key is not sent
  console->PushKey(KeyShiftF2, 1500);
  sim->SimTxClear();
  RunTerminal("T", 115200, *console);

  EXPECT_LT(console->NowMsValue(), 2000u) << "Shift-F2 left the terminal";
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(sim->SimTxCount(), 0u) << "the key that ended the message was dropped";
  EXPECT_GT(sim->SimRxFramingErrors(), 1000u);
}

TEST_F(ReceptionTest, TheSameErrorIsShownAgainOnlyAfterItsQuietTime) {
  LineSendsAt(100, std::string(57600, 'U'), 57600);
  int shown = 0;
  WatchMessages(shown);
  console->PushKey(" ", 500);
  console->PushKey(" ", 3000);  // the second message, after the quiet time
  console->PushKey(KeyShiftF2, 3100);
  RunTerminal("T", 115200, *console);
  EXPECT_EQ(shown, 2);
}

// Threads of this process, as the kernel lists them.
std::size_t ThreadCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++n;
  }
  return n;
}

// What the session's consumer hands the tap.
struct RecordingTap final : UartSession::Tap {
  void Received(std::string_view bytes) override { bytes_.append(bytes); }
  std::string bytes_;
};

TEST_F(ReceptionTest, OnAVirtualClockTheEngineAndItsConsumerRunOnTheClockWithoutThreads) {
  // As root the engine's thread runs real-time; stepped on a virtual clock
  // by this thread it would take a core from everything else.
  const std::size_t before = ThreadCount();
  UartInit(UartClockHz, 115200, 0x352, 0, [](std::string_view) {});
  RecordingTap tap;
  UartSession session(ScreenSessionOptions(115200, &tap), *console);
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_EQ(sched_getscheduler(0) & ~SCHED_RESET_ON_FORK, SCHED_OTHER);
  sim->SimRxInject(reinterpret_cast<const std::uint8_t*>("abc"), 3);
  WaitMs(20);
  EXPECT_EQ(tap.bytes_, "abc") << "the clock ran the engine and its consumer within the wait";
}

TEST_F(ReceptionTest, HeldBytesBeyondTheLimitAreDroppedOldestFirstAndThatIsSaidOnce) {
  UartInit(UartClockHz, 115200, 0x352, 0, [](std::string_view) {});
  RecordingTap tap;
  UartSession::Options options = ScreenSessionOptions(115200, &tap);
  options.holdLimit = 1000;
  UartSession session(options, *console);
  std::string shownBytes;
  UartScreen screen(
      session, [&](std::string_view bytes) { shownBytes.append(bytes); }, true);
  const std::string text = FloodText(0, 5000);
  sim->SimRxWire(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), 115200);
  std::vector<std::string> row24;
  RecordRowTexts(*console, 24, row24);
  // A message waits until all 5000 bytes (434 ms of line) are in.
  console->PushKey(" ", 600);
  ShowError("waiting");
  EXPECT_EQ(tap.bytes_, text) << "the capture gets every byte at once";
  EXPECT_EQ(shownBytes, "") << "nothing is shown while the message stands";
  EXPECT_EQ(session.HeldBytes(), 1000u);
  EXPECT_EQ(session.Dropped(), 4000u);

  // The next wait shows what is held, the newest bytes in order, and says
  // once what it could not show.
  console->PushKey(" ", 700);
  WaitMs(-1);
  EXPECT_EQ(shownBytes, text.substr(4000));
  ASSERT_EQ(row24.size(), 2u);
  EXPECT_EQ(row24[0], "  waiting");
  EXPECT_EQ(row24[1], "  Receive buffer full: 4000 bytes were not shown (Term.txt has them)");
  EXPECT_EQ(console->KeysLeft(), 0u) << "the message took the key";
  console->PushKey(" ", 800);
  WaitMs(-1);
  EXPECT_EQ(row24.size(), 2u) << "said once";
  EXPECT_EQ(sim->SimRxLostCount(), 0u);
}

}  // namespace
