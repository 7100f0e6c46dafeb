// The code-table view on the simulated board: received bytes as codes, keys
// sent as read, and the companion program's way out.

#include "terminal/code_view.h"

#include <gtest/gtest.h>

#include "board/board_io.h"
#include "tests/support/screen_helpers.h"
#include "tests/support/sim_board_fixture.h"

namespace {

class CodeViewTest : public SimBoardTest {
 protected:
  // Runs the never-ending view until the virtual clock reaches `untilMs`;
  // `atMs` bytes are injected into the receiver once the clock passes it.
  void RunFor(std::uint64_t untilMs, std::string bytes = {}, std::uint64_t atMs = 20) {
    console->SetTimeLimitMs(untilMs);
    console->onAdvance = [this, bytes, atMs, done = false](std::uint64_t nowNs) mutable {
      if (!done && !bytes.empty() && nowNs >= atMs * 1000000) {
        done = true;
        sim->Inject(bytes);
      }
    };
    EXPECT_THROW(RunCodeView(115200, *console), ScriptExhausted) << "the view never returns";
    console->onAdvance = nullptr;
  }
};

TEST_F(CodeViewTest, TitleThenReceivedBytesAsCodesOnOneRow) {
  RunFor(200, "\x41\x0D\x0A");
  EXPECT_EQ(ScreenText(1, 1, 57), "Serial Term ASCII Code" + std::string(35, ' '));
  EXPECT_EQ(ScreenLine(2), std::string(23, '-'));
  EXPECT_EQ(ScreenLine(3), "");
  EXPECT_EQ(ScreenLine(4), "");
  EXPECT_EQ(ScreenLine(5), "<41><0D><0A>");
  EXPECT_EQ(ScreenLine(6), "");
  EXPECT_EQ(sim->SimUartDivisor(), 1085u) << "125 MHz / 115200";
  EXPECT_TRUE(sim->SimUartEnabled());
}

TEST_F(CodeViewTest, NothingIsInterpretedAndCodesWrapAtTheRowEnd) {
  std::string bytes("\x00\xFF\x1B[31m", 7);
  bytes += std::string(14, 'z');  // 21 codes: 84 columns
  RunFor(200, bytes);
  EXPECT_EQ(ScreenText(5, 1, 28), "<00><FF><1B><5B><33><31><6D>");
  EXPECT_EQ(ScreenText(5, 77, 4), "<7A>");
  EXPECT_EQ(ScreenLine(6), "<7A>");
  EXPECT_EQ(CellColors(5, 1), (ColorPair{7, 0})) << "no colour handling";
}

TEST_F(CodeViewTest, KeysAreSentExactlyAsReadShiftF2Included) {
  console->PushKey(KeyUp, 30);
  console->PushKey(KeyShiftF2, 60);
  console->PushKey("a", 90);
  RunFor(400);
  EXPECT_EQ(sim->TransmittedText(),
            "\xFF\x48\xFF\x55"
            "a");
  EXPECT_EQ(console->KeysLeft(), 0u);
  EXPECT_EQ(ScreenLine(1).substr(0, 22), "Serial Term ASCII Code") << "still the view";
}

TEST_F(CodeViewTest, ReceivedBytesAreDrainedWhileKeysAreSent) {
  // 300 bytes at line rate take 26 ms, more than twice the receive buffer;
  // the five keys keep the sender busy for 50 ms meanwhile.
  std::string wire;
  for (int i = 0; i < 300; ++i) wire.push_back(static_cast<char>(i));
  BoardRegWrite(0x352, 8, 2);  // J27: no console echoes the keys among the codes
  console->PushText("hello", 20);
  console->SetTimeLimitMs(300);
  console->onAdvance = [this, wire, done = false](std::uint64_t nowNs) mutable {
    if (!done && nowNs >= 21 * 1000000ull) {
      done = true;
      sim->SimRxWire(reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size(), 115200);
    }
  };
  EXPECT_THROW(RunCodeView(115200, *console), ScriptExhausted);
  console->onAdvance = nullptr;
  EXPECT_EQ(sim->SimRxLostCount(), 0u);
  EXPECT_EQ(sim->TransmittedText(), "hello");
  std::string shown;
  for (int row = 5; row <= 19; ++row) shown += ConsoleScreen().RowText(row);
  std::string want;
  for (int i = 0; i < 300; ++i) {
    char code[6];
    std::snprintf(code, sizeof code, "<%02X>", i & 0xFF);
    want += code;
  }
  EXPECT_EQ(shown, want);
}

TEST_F(CodeViewTest, TheCompanionsLeaveKeyEndsTheViewAndIsNotSent) {
  console->SetTimeLimitMs(1000);
  console->PushKey("x", 20);
  console->PushKey(kCodeViewLeaveKey, 50);
  RunCodeViewUntil(115200, kCodeViewLeaveKey, kCodeViewLeaveName, *console);
  EXPECT_EQ(sim->TransmittedText(), "x");
  EXPECT_EQ(ScreenText(1, 1, 57), "Serial Term ASCII Code     <Ctrl-]>Exit" + std::string(18, ' '));
  EXPECT_LT(console->NowMsValue(), 100u);
}

}  // namespace
