#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "board/board_io.h"
#include "config/messages.h"
#include "tests/support/screen_helpers.h"
#include "tests/support/sim_board_fixture.h"
#include "uart/uart.h"

namespace {

// The driver's messages as a screen shows them: row 24, until a key.
void Say(std::string_view message) {
  ReportError(message);
}

class UartTest : public SimBoardTest {
 protected:
  // Records every text shown on the message row while the clock runs.
  void WatchRow24() { RecordRowTexts(*console, 24, shown); }
  std::vector<std::string> shown;
};

TEST_F(UartTest, InitProgramsTheDivisorThenClearsErrorsThenEnables) {
  const struct {
    int baud;
    int lo;
    int hi;
  } rates[] = {{115200, 0x3D, 0x04}, {9600, 0xDD, 0x32}, {57600, 0x7A, 0x08}};
  for (const auto& rate : rates) {
    sim->SimAccessClear();
    EXPECT_TRUE(UartInit(UartClockHz, rate.baud, 0x352, 0, Say));
    const std::vector<std::pair<int, int>> expected = {
        {0, rate.lo}, {1, rate.hi}, {6, 0xC1}, {3, 1}};
    EXPECT_EQ(sim->RegisterWrites(), expected) << rate.baud << " baud";
    EXPECT_EQ(sim->Accesses().size(), 8u) << "index and data store for each register";
  }
  EXPECT_EQ(sim->SimUartDivisor(), 2170u);
}

TEST_F(UartTest, BaudRatesThatCannotBeProgrammedAreReportedAndWriteNothing) {
  for (const int baud : {0, -9600, 1907}) {
    sim->SimAccessClear();
    console->PushKey(" ");
    WatchRow24();
    EXPECT_FALSE(UartInit(UartClockHz, baud, 0x352, 0, Say));
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), "  UartInit: baud rate " + std::to_string(baud) + " cannot be set");
    EXPECT_TRUE(sim->Accesses().empty()) << baud;
    shown.clear();
  }
  EXPECT_TRUE(UartInit(UartClockHz, 1908, 0x352, 0, Say));
  EXPECT_EQ(sim->SimUartDivisor(), 65514u);
}

TEST_F(UartTest, SendWaitsForTheTransmitterThenWritesEveryCharacter) {
  UartInit(UartClockHz, 115200, 0x352, 0, Say);
  sim->SimAccessClear();
  UartSendStr(0x352, 0, std::string(128, 'a'), Say);
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(sim->TransmittedText(), std::string(128, 'a'));
  const auto log = sim->Accesses();
  ASSERT_GE(log.size(), 2u + 128u);
  EXPECT_EQ(log[0].offset, 0x1B353u);
  EXPECT_EQ(log[0].value, 2);
  EXPECT_FALSE(log[1].isWrite) << "the status is read before any character";
  for (std::size_t i = log.size() - 128; i < log.size(); ++i) EXPECT_TRUE(log[i].isWrite);
}

TEST_F(UartTest, OverlongStringIsReportedAndStillSentWhole) {
  UartInit(UartClockHz, 115200, 0x352, 0, Say);
  console->PushKey(" ");
  WatchRow24();
  UartSendStr(0x352, 0, std::string(129, 'b'), Say);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  UartSendStr: string too long 129");
  EXPECT_EQ(sim->TransmittedText(), std::string(129, 'b'));
}

TEST_F(UartTest, BusyTransmitterTimesOutAfter100001ReadsAndSendsAnyway) {
  UartInit(UartClockHz, 115200, 0x352, 0, Say);
  BoardRegWrite(0x352, 2, 'x');  // busy for one character time; the clock stands still
  sim->SimAccessClear();
  console->PushKey(" ");
  WatchRow24();
  UartSendStr(0x352, 0, "y", Say);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  Timout on Wait UartTxStatus");
  const auto log = sim->Accesses();
  std::size_t statusReads = 0;
  for (const auto& access : log) statusReads += access.isWrite ? 0 : 1;
  EXPECT_EQ(statusReads, 100001u);
  EXPECT_EQ(sim->TransmittedText(), "xy");
}

TEST_F(UartTest, RxCountIsTheLowSevenBitsOfTheStatus) {
  EXPECT_EQ(UartRxCount(0x352, 0), 0);
  sim->Inject(std::string(130, 'z'));  // overflow sets bit 7 as well
  EXPECT_EQ(UartRxCount(0x352, 0), 127);
}

TEST_F(UartTest, ReceiveTakesNoMoreThanWanted) {
  sim->Inject("0123456789");
  std::string text;
  std::int32_t failed = 7;
  UartRcvStr(0x352, 0, 4, 1000, text, 0, failed, Say);
  EXPECT_EQ(text, "0123");
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(sim->SimRxFifoLevel(), 6u);
  EXPECT_EQ(console->NowMsValue(), 0u) << "all wanted bytes were waiting: no pause";
}

TEST_F(UartTest, ReceiveCollectsBytesArrivingInTwoBursts) {
  sim->Inject("abc");
  bool second = false;
  console->onAdvance = [&](std::uint64_t nowNs) {
    if (!second && nowNs >= 500'000'000) {
      second = true;
      sim->Inject("de");
    }
  };
  std::string text;
  std::int32_t failed = 7;
  UartRcvStr(0x352, 0, 5, 1000, text, 0, failed, Say);
  EXPECT_EQ(text, "abcde");
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(console->NowMsValue(), 500u);
}

TEST_F(UartTest, SilenceTimesOutWithAMessageUnlessQuiet) {
  sim->Inject("q");
  console->PushKey(" ", 1500);
  WatchRow24();
  std::string text;
  std::int32_t failed = 0;
  UartRcvStr(0x352, 0, 3, 1000, text, 0, failed, Say);
  EXPECT_EQ(text, "q") << "the partial text is returned";
  EXPECT_EQ(failed, 1);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  UartRcvStr TimeOut");
  EXPECT_EQ(console->NowMsValue(), 1500u) << "1000 ms of silence, then the message waited";

  shown.clear();
  const auto start = console->NowMsValue();
  UartRcvStr(0x352, 0, 3, 1000, text, 1, failed, Say);
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(text, "");
  EXPECT_EQ(console->NowMsValue() - start, 1000u);
}

TEST_F(UartTest, ZeroTimeoutGivesUpAfterTheFirstPoll) {
  sim->Inject("a");
  std::string text;
  std::int32_t failed = 0;
  UartRcvStr(0x352, 0, 2, 0, text, 1, failed, Say);
  EXPECT_EQ(text, "a");
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(console->NowMsValue(), 0u);
}

TEST_F(UartTest, NothingWantedStillPollsAndTimesOutOrEndsOnTheFirstBytes) {
  // The registers selected, and the data bytes read, since the log was cleared.
  const auto selected = [&] {
    std::vector<int> indexes;
    for (const SimAccess& a : sim->Accesses()) {
      if (a.isWrite && a.offset == 0x1B353) indexes.push_back(a.value);
    }
    return indexes;
  };
  const auto dataReads = [&] {
    int reads = 0;
    for (const SimAccess& a : sim->Accesses()) reads += !a.isWrite && a.offset == 0x1B352;
    return reads;
  };
  for (const std::int32_t wanted : {0, -3}) {
    // Silence: the usual polls until the time-out.
    sim->SimAccessClear();
    const auto start = console->NowMsValue();
    std::string text = "old";
    std::int32_t failed = 0;
    UartRcvStr(0x352, 0, wanted, 50, text, 1, failed, Say);
    EXPECT_EQ(text, "") << wanted;
    EXPECT_EQ(failed, 1) << wanted;
    EXPECT_EQ(console->NowMsValue() - start, 50u) << wanted;
    EXPECT_EQ(selected(), std::vector<int>(6, 5)) << "a status poll every 10 ms, 0 to 50";

    // Bytes waiting: the data register is selected, none is taken.
    sim->Inject("xyz");
    sim->SimAccessClear();
    UartRcvStr(0x352, 0, wanted, 1000, text, 1, failed, Say);
    EXPECT_EQ(text, "") << wanted;
    EXPECT_EQ(failed, 0) << wanted;
    EXPECT_EQ(selected(), (std::vector<int>{5, 4})) << wanted;
    EXPECT_EQ(dataReads(), 1) << "the status only";
    EXPECT_EQ(sim->SimRxFifoLevel(), 3u) << wanted;
    UartRcvStr(0x352, 0, 3, 1000, text, 1, failed, Say);
    EXPECT_EQ(text, "xyz");
  }
}

TEST_F(UartTest, ReceiveErrorsAreReportedOverflowFirstThenCleared) {
  UartInit(UartClockHz, 115200, 0x352, 0, Say);
  const std::string garbled(3, 'g');
  sim->SimRxWire(reinterpret_cast<const std::uint8_t*>(garbled.data()), garbled.size(), 9600);
  console->AdvanceNs(10'000'000);  // the slow bytes are on the line now
  sim->Inject(std::string(140, 'o'));
  console->PushKey(" ");
  console->PushKey(" ");
  WatchRow24();
  std::string text;
  std::int32_t failed = 0;
  sim->SimAccessClear();
  UartRcvStr(0x352, 0, 127, 1000, text, 0, failed, Say);
  EXPECT_EQ(text.size(), 127u) << "all wanted bytes are returned";
  EXPECT_EQ(failed, 1);
  const std::vector<std::string> expected = {"  UartRcvStr Overflow", "  UartRcvStr Framing Error"};
  EXPECT_EQ(shown, expected);
  const auto writes = sim->RegisterWrites();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back(), (std::pair<int, int>{6, 0xC1}));
  EXPECT_EQ(BoardRegRead(0x352, 5) & 0x80, 0) << "no error pending after the clear";
}

TEST_F(UartTest, QuietReceiveStillClearsErrors) {
  sim->Inject(std::string(128, 'o'));
  WatchRow24();
  std::string text;
  std::int32_t failed = 0;
  UartRcvStr(0x352, 0, 127, 1000, text, 1, failed, Say);
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(sim->RegisterWrites().back(), (std::pair<int, int>{6, 0xC1}));
}

TEST(UartDivisor, MustFitSixteenBitsAndBeAtLeastOne) {
  EXPECT_EQ(UartDivisor(UartClockHz, 115200), 1085u);
  EXPECT_EQ(UartDivisor(UartClockHz, 9600), 13021u);
  EXPECT_EQ(UartDivisor(UartClockHz, 57600), 2170u);
  EXPECT_EQ(UartDivisor(UartClockHz, 1908), 65514u);
  EXPECT_EQ(UartDivisor(UartClockHz, 250000000), 1u) << "exactly half rounds up";
  const std::vector<std::pair<std::int64_t, bool>> cases = {
      {1907, false},
      {1908, true},
      {9600, true},
      {115200, true},
      {250000000, true},
      {250000001, false},
      {0, false},
      {-9600, false},
      {std::numeric_limits<std::int64_t>::max(), false},
      {std::numeric_limits<std::int64_t>::min(), false},
  };
  for (const auto& [baud, usable] : cases) EXPECT_EQ(UartBaudRateUsable(baud), usable) << baud;
}

TEST(UartDivisor, IsTheNearestIntegerOfTheClockOverTheRate) {
  // floor(clock / baud + 0.5) in double precision, for every rate up to
  // 2 Mbit/s and a spread above it.
  for (std::int64_t baud = 1908; baud <= 250000000; baud += baud < 2000000 ? 1 : 997) {
    const double exact = std::floor(125000000.0 / static_cast<double>(baud) + 0.5);
    ASSERT_EQ(UartDivisor(UartClockHz, baud), static_cast<std::uint32_t>(exact)) << baud;
  }
}

}  // namespace
