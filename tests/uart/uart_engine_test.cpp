// The board UART's engine stepped on the virtual clock against the simulated
// board: what it reads and writes, in which register sequence, at what pace,
// and how it hands bytes and errors on.

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board/board_io.h"
#include "sim/flood_text.h"
#include "tests/support/sim_board_fixture.h"
#include "uart/thread_tasks.h"
#include "uart/uart.h"
#include "uart/uart_engine.h"

namespace {

void Say(std::string_view) {}

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint32_t kData = 0x1B352;
constexpr std::uint32_t kIndex = 0x1B353;

// What a consumer takes from the engine: bytes, and events as markers
// "{kind:value}" at their place.
std::string TakeAll(UartEngine& engine) {
  std::string taken;
  char chunk[512];
  for (;;) {
    std::optional<UartEvent> event;
    const std::size_t n = engine.Take(chunk, sizeof chunk, event);
    taken.append(chunk, n);
    if (event) {
      taken += "{" + std::to_string(static_cast<int>(event->kind)) + ":" +
               std::to_string(event->value) + "}";
    }
    if (n == 0 && !event) return taken;
  }
}

std::string Marker(UartEvent::Kind kind, std::uint32_t value) {
  return "{" + std::to_string(static_cast<int>(kind)) + ":" + std::to_string(value) + "}";
}

class UartEngineTest : public SimBoardTest {
 protected:
  void SetUp() override {
    SimBoardTest::SetUp();
    BoardRegWrite(0x352, 8, 2);  // J27: only what the test puts on the line arrives
    UartInit(UartClockHz, 115200, 0x352, 0, Say);
    sim->SimAccessClear();
    sim->SimTxClear();
  }
  static UartEngine::Options Options(std::int32_t baud, std::uint64_t gapNs = 0,
                                     std::size_t ring = 256 * 1024) {
    UartEngine::Options options{};
    options.port = 0x352;
    options.regBase = 0;
    options.baud = baud;
    options.sendGapNs = gapNs;
    options.receiveRingBytes = ring;
    return options;
  }
  void Wire(const std::string& bytes, std::uint32_t baud = 115200) {
    sim->SimRxWire(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), baud);
  }
  std::vector<SimAccess> Accesses() const { return sim->Accesses(); }
};

TEST(UartEngineThread, IsNamedSoThatThePollerCanBeToldFromTheProgramsThreads) {
  UartEngine::Options options{};
  options.port = 0x352;
  options.baud = 115200;
  const ThreadTaskHost clock;
  UartEngine engine(options, clock);
  char name[16] = {};
  std::thread poller([&] {
    engine.PrepareThread();
    prctl(PR_GET_NAME, name, 0UL, 0UL, 0UL);
  });
  poller.join();
  EXPECT_STREQ(name, "uart-poller");
  char mine[16] = {};
  prctl(PR_GET_NAME, mine, 0UL, 0UL, 0UL);
  EXPECT_STRNE(mine, "uart-poller") << "the caller's thread keeps its name";
}

TEST(UartPollPeriod, FortyCharactersBetweenFiftyMicrosecondsAndTenMilliseconds) {
  EXPECT_EQ(UartPollPeriodNs(115200), 40u * 86800);
  EXPECT_EQ(UartPollPeriodNs(921600), 40u * UartCharTimeNs(921600));
  EXPECT_LT(UartPollPeriodNs(921600) + 500'000, 127 * UartCharTimeNs(921600))
      << "a wake-up half a millisecond late still finds room";
  EXPECT_EQ(UartPollPeriodNs(9600), 10 * kMs);
  EXPECT_EQ(UartPollPeriodNs(250'000'000), 50'000u);
  EXPECT_EQ(UartPollPeriodNs(0), 10 * kMs) << "a rate the UART cannot take";
}

TEST_F(UartEngineTest, AFloodArrivesWholeInOrderForLittleMoreThanOneReadAByte) {
  UartEngine engine(Options(115200), *console);
  const auto runner = console->Start(engine, {});
  ASSERT_EQ(runner->Scheduling(), TaskScheduling::kOnClock);
  const std::string flood = q7m::sim::FloodText(0, 20000);  // 1.7 s of line
  Wire(flood);
  std::string taken;
  for (int i = 0; i < 20; ++i) {  // a consumer that looks every 100 ms
    console->AdvanceNs(100 * kMs);
    taken += TakeAll(engine);
  }
  EXPECT_EQ(taken, flood);
  EXPECT_EQ(sim->SimRxLostCount(), 0u);
  EXPECT_EQ(engine.Received(), flood.size());
  const double perByte = static_cast<double>(Accesses().size()) / static_cast<double>(flood.size());
  EXPECT_LE(perByte, 1.1) << "window accesses per received byte";

  // Idle, a poll is one read of the status, whose register stays selected.
  console->AdvanceNs(20 * kMs);
  sim->SimAccessClear();
  const std::uint64_t polls = engine.Polls();
  console->AdvanceNs(100 * kMs);
  const auto idle = Accesses();
  EXPECT_EQ(idle.size(), engine.Polls() - polls);
  for (const SimAccess& access : idle) {
    EXPECT_FALSE(access.isWrite);
    EXPECT_EQ(access.offset, kData);
  }
  EXPECT_NEAR(static_cast<double>(idle.size()), 100.0 * kMs / UartPollPeriodNs(115200), 1.0);
}

TEST_F(UartEngineTest, APollReadsTheCountThenThatManyBytesAndErrorsAreReadAndClearedAfterThem) {
  UartEngine engine(Options(115200), *console);
  const auto runner = console->Start(engine, {});
  // 130 bytes at once: 127 fit, the rest overflow.
  sim->Inject(std::string(130, 'x'));
  console->AdvanceNs(UartPollPeriodNs(115200));
  sim->Inject("ab");
  console->AdvanceNs(UartPollPeriodNs(115200));
  EXPECT_EQ(TakeAll(engine), std::string(127, 'x') +
                                 Marker(UartEvent::Kind::kReceiveErrors, kUartErrOverflow) + "ab");
  // The first poll: select 5, read it (127 and an error), select 4, 127
  // reads, then the driver's error handling: read 6, write 0xC1 to 6.
  const auto log = Accesses();
  ASSERT_GE(log.size(), 134u);
  EXPECT_TRUE(log[0].isWrite && log[0].offset == kIndex && log[0].value == 5);
  EXPECT_TRUE(!log[1].isWrite && log[1].offset == kData && log[1].value == 0xFF);
  EXPECT_TRUE(log[2].isWrite && log[2].offset == kIndex && log[2].value == 4);
  for (int i = 3; i < 130; ++i) EXPECT_EQ(log[i].value, 'x') << i;
  EXPECT_TRUE(log[130].isWrite && log[130].offset == kIndex && log[130].value == 6);
  EXPECT_TRUE(!log[131].isWrite && log[131].offset == kData);
  EXPECT_TRUE(log[132].isWrite && log[132].offset == kIndex && log[132].value == 6);
  EXPECT_TRUE(log[133].isWrite && log[133].offset == kData && log[133].value == kUartErrClear);
}

TEST_F(UartEngineTest, FramingErrorsFromALineAtAnotherRateAreHandedOnWithTheirBytes) {
  UartEngine engine(Options(115200), *console);
  const auto runner = console->Start(engine, {});
  Wire(std::string(50, 'U'), 57600);
  console->AdvanceNs(20 * kMs);
  const std::string taken = TakeAll(engine);
  EXPECT_NE(taken.find(Marker(UartEvent::Kind::kReceiveErrors, kUartErrFraming)),
            std::string::npos);
  EXPECT_EQ(sim->SimRxLostCount(), 0u);
}

TEST_F(UartEngineTest, WhatTheRingCannotTakeIsCountedAndSaidAtItsPlace) {
  UartEngine engine(Options(115200, 0, 256), *console);
  const auto runner = console->Start(engine, {});
  const std::string flood = q7m::sim::FloodText(0, 1000);
  Wire(flood);
  console->AdvanceNs(100 * kMs);  // nobody takes meanwhile
  EXPECT_EQ(TakeAll(engine), flood.substr(0, 256));
  EXPECT_EQ(engine.Lost(), 744u);
  console->AdvanceNs(10 * kMs);
  Wire("later");
  console->AdvanceNs(10 * kMs);
  EXPECT_EQ(TakeAll(engine), Marker(UartEvent::Kind::kBytesLost, 744) + "later")
      << "the loss is said before the bytes that follow it";
  EXPECT_EQ(sim->SimRxLostCount(), 0u) << "the UART itself lost nothing";
}

TEST_F(UartEngineTest, KeysLeaveAloneTheirGapAfterThePreviousLeftEachWithTheDriversSequence) {
  UartEngine engine(Options(115200, 10 * kMs), *console);
  const auto runner = console->Start(engine, {});
  console->AdvanceNs(kMs);
  ASSERT_EQ(engine.Send("abc"), 3u);
  console->AdvanceNs(50 * kMs);
  EXPECT_EQ(engine.Sent(), 3u);
  const auto tx = sim->Transmitted();
  ASSERT_EQ(tx.size(), 3u);
  for (std::size_t i = 1; i < tx.size(); ++i) {
    EXPECT_GE(tx[i].startNs - tx[i - 1].startNs, 10 * kMs);
    EXPECT_LE(tx[i].startNs - tx[i - 1].startNs, 10 * kMs + UartPollPeriodNs(115200));
  }
  EXPECT_EQ(engine.LastSentNs(), tx[2].startNs);
  // Each byte: select 2, one status read, the byte; nothing else between.
  std::string sequence;
  for (const SimAccess& access : Accesses()) {
    if (access.isWrite && access.offset == kIndex && access.value == 2) sequence += "S";
    if (!access.isWrite && access.offset == kData && sequence.ends_with("S")) sequence += "r";
    if (access.isWrite && access.offset == kData) sequence += static_cast<char>(access.value);
  }
  EXPECT_EQ(sequence, "SraSrbSrc");
}

TEST_F(UartEngineTest, ClientBytesKeepTheLineBusyAndASpeedChangeWaitsForTheBytesBeforeIt) {
  UartEngine engine(Options(115200), *console);
  const auto runner = console->Start(engine, {});
  const std::string first(3000, 'a');
  ASSERT_EQ(engine.Send(first), first.size());
  ASSERT_TRUE(engine.ChangeSpeed(first.size(), 9600));
  ASSERT_EQ(engine.Send("cd"), 2u);
  console->AdvanceNs(400 * kMs);
  ASSERT_EQ(engine.Sent(), first.size() + 2);
  const auto tx = sim->Transmitted();
  ASSERT_EQ(tx.size(), first.size() + 2);
  const std::uint64_t fast = UartCharTimeNs(115200);
  const double busy = static_cast<double>(first.size() * fast) /
                      static_cast<double>(tx[first.size() - 1].startNs + fast - tx[0].startNs);
  EXPECT_GE(busy, 0.97) << "share of the time the line carried the client's bytes";
  EXPECT_EQ(tx[first.size() + 1].startNs - tx[first.size()].startNs, UartCharTimeNs(9600));
  EXPECT_GE(tx[first.size()].startNs, tx[first.size() - 1].startNs + fast)
      << "the divisor changed after the last fast byte left";
  EXPECT_EQ(sim->SimUartDivisor(), 13021u);
  EXPECT_EQ(TakeAll(engine), Marker(UartEvent::Kind::kSpeedChanged, 9600));
}

// A clock the test moves by hand.
struct HandClock final : TaskClock {
  std::uint64_t NowNs() const override { return now; }
  std::uint64_t now = 0;
};

TEST_F(UartEngineTest, ATransmitterBusyForTheDriversCountOfReadsIsSaidAndTheByteGoesAnyway) {
  // The board's clock stands still, so its transmitter stays busy with the
  // first byte; the engine's own clock moves on.
  HandClock clock;
  std::uint64_t& g_engineNow = clock.now;
  g_engineNow = console->NowNsValue();
  UartEngine engine(Options(115200), clock);
  ASSERT_EQ(engine.Send("a"), 1u);
  engine.Step(g_engineNow);
  ASSERT_EQ(sim->SimTxCount(), 1u);
  ASSERT_EQ(engine.Send("b"), 1u);
  sim->SimAccessClear();
  for (int step = 0; step < 20000 && engine.Sent() < 2; ++step) {
    g_engineNow += UartPollPeriodNs(115200);
    engine.Step(g_engineNow);
  }
  ASSERT_EQ(engine.Sent(), 2u);
  // Reads of the transmitter's status (register 2 selected) before the byte.
  std::size_t statusReads = 0;
  int index = -1;
  for (const SimAccess& access : Accesses()) {
    if (access.isWrite && access.offset == kIndex) index = access.value;
    if (access.isWrite && access.offset == kData) break;
    if (!access.isWrite && access.offset == kData && index == kUartTxData) ++statusReads;
  }
  EXPECT_EQ(statusReads, static_cast<std::size_t>(kUartTxStatusReads));
  EXPECT_EQ(TakeAll(engine), Marker(UartEvent::Kind::kTransmitTimeout, 0));
}

TEST_F(UartEngineTest, HeldBytesWaitWhileAFlowControlByteGoesAheadAlone) {
  UartEngine engine(Options(115200), *console);
  const auto runner = console->Start(engine, {});
  const std::string text = q7m::sim::FloodText(0, 600);
  ASSERT_EQ(engine.Send(text), text.size());
  console->AdvanceNs(10 * kMs);
  engine.HoldSending(true);
  const std::uint64_t atHold = engine.Sent();
  ASSERT_GT(atHold, 0u);
  ASSERT_LT(atHold, text.size());
  // What was written before the hold leaves the transmitter; nothing more.
  ASSERT_TRUE(engine.ChangeSpeed(text.size(), 9600));
  sim->SimAccessClear();
  console->AdvanceNs(200 * kMs);
  EXPECT_EQ(engine.Sent(), atHold);
  EXPECT_EQ(sim->SimTxCount(), atHold);
  EXPECT_EQ(sim->SimUartDivisor(), 1085u) << "the change waits behind the held bytes";
  // A held engine still only polls: about three accesses a poll period.
  EXPECT_LT(Accesses().size(), 4 * (200 * kMs / UartPollPeriodNs(115200) + 2));

  // XOFF, held or not, goes alone, ahead of the queued bytes, counted apart.
  engine.SendAhead('\x13');
  console->AdvanceNs(10 * kMs);
  EXPECT_EQ(engine.SentAhead(), 1u);
  EXPECT_EQ(engine.Sent(), atHold);
  engine.SendAhead('\x11');
  engine.HoldSending(false);
  console->AdvanceNs(200 * kMs);
  EXPECT_EQ(engine.Sent(), text.size());
  EXPECT_EQ(engine.SentAhead(), 2u);
  EXPECT_EQ(sim->SimUartDivisor(), 13021u) << "the change, once the bytes before it left";

  EXPECT_EQ(sim->TransmittedText(), text.substr(0, atHold) + "\x13\x11" + text.substr(atHold))
      << "XON ahead of the bytes that waited";
  EXPECT_EQ(TakeAll(engine), Marker(UartEvent::Kind::kSpeedChanged, 9600));
}

}  // namespace
