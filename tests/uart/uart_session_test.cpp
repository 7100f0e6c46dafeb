// The UART session on the virtual clock against the simulated board: one
// ordered stream of bytes and events for the tap and for the client, each
// stage woken by the one before it, and a byte sent the moment it is queued.

#include "uart/uart_session.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "board/board_io.h"
#include "tests/support/sim_board_fixture.h"
#include "uart/uart.h"

namespace {

constexpr std::uint64_t kMs = 1'000'000;

// The tap's view: bytes, and events as "{kind:value}" at their place.
struct RecordingTap final : UartSession::Tap {
  void Received(std::string_view bytes) override {
    const std::lock_guard<std::mutex> lock(mutex);
    seen.append(bytes);
  }
  void Said(const UartEvent& event) override {
    const std::lock_guard<std::mutex> lock(mutex);
    seen += "{" + std::to_string(static_cast<int>(event.kind)) + ":" + std::to_string(event.value) +
            "}";
  }
  std::string Seen() {
    const std::lock_guard<std::mutex> lock(mutex);
    return seen;
  }
  std::mutex mutex;
  std::string seen;
};

std::string Marker(UartEvent::Kind kind, std::uint32_t value) {
  return "{" + std::to_string(static_cast<int>(kind)) + ":" + std::to_string(value) + "}";
}

class UartSessionTest : public SimBoardTest {
 protected:
  void SetUp() override {
    SimBoardTest::SetUp();
    BoardRegWrite(0x352, 8, 2);  // J27: only what the test puts on the line arrives
    UartInit(UartClockHz, 115200, 0x352, 0, [](std::string_view) {});
    sim->SimTxClear();
  }
  static UartSession::Options Options(RecordingTap* tap, std::uint64_t gapNs = 10 * kMs) {
    UartSession::Options options;
    options.engine.port = 0x352;
    options.engine.regBase = 0;
    options.engine.baud = 115200;
    options.engine.sendGapNs = gapNs;
    options.tap = tap;
    return options;
  }
  // What the client takes, events marked as the tap marks them.
  static std::string TakeAll(UartSession& session) {
    std::string taken;
    std::string bytes;
    for (;;) {
      std::optional<UartEvent> event;
      session.Take(bytes, 1000, event);
      taken += bytes;
      if (event) taken += Marker(event->kind, event->value);
      if (bytes.empty() && !event) return taken;
    }
  }
};

TEST_F(UartSessionTest, TheTapAndTheClientGetOneStreamWithTheErrorsAtTheirPlace) {
  RecordingTap tap;
  UartSession session(Options(&tap), *console);
  sim->Inject("before");
  console->AdvanceNs(5 * kMs);
  EXPECT_TRUE(session.Notice().Up()) << "the consumer raised the client's flag";
  sim->SimRxWire(reinterpret_cast<const std::uint8_t*>("UUUU"), 4, 57600);  // framing errors
  console->AdvanceNs(10 * kMs);
  sim->Inject("after");
  console->AdvanceNs(5 * kMs);
  const std::string seen = tap.Seen();
  const std::string errors = Marker(UartEvent::Kind::kReceiveErrors, kUartErrFraming);
  ASSERT_NE(seen.find(errors), std::string::npos) << seen;
  EXPECT_EQ(seen.rfind("before", 0), 0u) << seen;
  EXPECT_LT(seen.find("before") + 6, seen.find(errors) + 1) << seen;
  EXPECT_EQ(seen.substr(seen.size() - 5), "after") << seen;
  EXPECT_EQ(TakeAll(session), seen) << "the client's stream is the tap's";
}

TEST_F(UartSessionTest, AQueuedByteLeavesAtOnceAndTheNextOneItsGapAfter) {
  RecordingTap tap;
  UartSession session(Options(&tap), *console);
  console->AdvanceNs(1 * kMs);  // the engine's first poll; the next is 3.47 ms on
  const std::uint64_t queuedAt = console->NowNsValue();
  ASSERT_EQ(session.Send("ab"), 2u);
  EXPECT_TRUE(session.Sending());
  console->AdvanceNs(30 * kMs);
  const auto sent = sim->Transmitted();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].startNs, queuedAt) << "woken by the byte, not at its next poll";
  EXPECT_EQ(sent[1].startNs - sent[0].startNs, 10 * kMs);
  EXPECT_FALSE(session.Sending());
  EXPECT_TRUE(session.Notice().Up()) << "the client learns that its bytes have left";
}

TEST_F(UartSessionTest, WithoutRoomInTheHeldStreamTheOldestGoAndAreCounted) {
  RecordingTap tap;
  UartSession::Options options = Options(&tap);
  options.holdLimit = 10;
  UartSession session(options, *console);
  sim->Inject("0123456789abcdef");
  console->AdvanceNs(5 * kMs);
  EXPECT_EQ(tap.Seen(), "0123456789abcdef") << "the tap is not bounded";
  EXPECT_EQ(session.HeldBytes(), 10u);
  EXPECT_EQ(session.Dropped(), 6u);
  EXPECT_EQ(TakeAll(session), "6789abcdef");
}

}  // namespace
