// When the bridge looks at the transmitter, and when a client that arrives is
// handed the bytes kept for it.

#include <gtest/gtest.h>

#include "bridge/bridge.h"
#include "bridge/client_watch.h"
#include "bridge/line_pacer.h"

namespace {

constexpr std::uint64_t kUs = 1000;
constexpr std::uint64_t kMs = 1'000'000;

TEST(CharTime, TenBitsOfTheDivisorTheUartReallyGets) {
  EXPECT_EQ(CharTimeNs(115200), 1085u * 80);  // divisor 1085: 86.8 us
  EXPECT_EQ(CharTimeNs(9600), 13021u * 80);
  EXPECT_EQ(CharTimeNs(1907), 0u) << "a rate the divisor cannot hold";
}

TEST(LinePacer, WakesBeforeTheTransmitterIsFreeByTheUsualLatenessAndARead) {
  LinePacer pacer(CharTimeNs(115200));
  EXPECT_EQ(pacer.WakeAtNs(), 0u) << "nothing sent yet: at once";
  pacer.Wrote(1000 * kUs);
  EXPECT_EQ(pacer.FreeAtNs(), 1000 * kUs + 86800);
  EXPECT_EQ(pacer.WakeAtNs(), pacer.FreeAtNs()) << "nothing learnt yet";

  pacer.StatusRead(2 * kUs);
  for (int i = 0; i < 32; ++i) pacer.WokeUp(5 * kMs, 5 * kMs + (i % 2 == 0 ? 18 : 22) * kUs);
  EXPECT_EQ(pacer.MarginNs(), 22 * kUs + 2 * kUs);
  EXPECT_EQ(pacer.WakeAtNs(), pacer.FreeAtNs() - 24 * kUs);
}

TEST(LinePacer, ARareLongDelayDoesNotMakeEveryByteSpin) {
  LinePacer pacer(CharTimeNs(115200));
  for (int i = 0; i < 32; ++i) pacer.WokeUp(0, (i == 7 ? 15 * kMs : 20 * kUs));
  EXPECT_EQ(pacer.MarginNs(), 20 * kUs);
  // Once delays are long as a rule, the bridge wakes that much earlier, but
  // never more than a character time early.
  for (int i = 0; i < 32; ++i) pacer.WokeUp(0, 60 * kUs);
  EXPECT_EQ(pacer.MarginNs(), 60 * kUs);
  for (int i = 0; i < 32; ++i) pacer.WokeUp(0, 500 * kUs);
  EXPECT_EQ(pacer.MarginNs(), 86800u);
  pacer.Wrote(10 * kMs);
  EXPECT_EQ(pacer.WakeAtNs(), 10 * kMs) << "right after the write: the status is read from then on";
  // A faster line: the margin follows the shorter character time.
  pacer.SetCharNs(CharTimeNs(921600));
  EXPECT_EQ(pacer.MarginNs(), CharTimeNs(921600));
}

TEST(LinePacer, APreemptedStatusReadCountsAsOneCharacterAtMost) {
  LinePacer pacer(CharTimeNs(115200));
  pacer.StatusRead(3 * kMs);
  EXPECT_EQ(pacer.MarginNs(), 86800u);
  for (int i = 0; i < 30; ++i) pacer.StatusRead(1 * kUs);
  EXPECT_LT(pacer.MarginNs(), 5 * kUs) << "the estimate comes back to what reads cost";
}

TEST(ClientWatch, AClientGetsTheKeptBytesOnceItHasSetItselfUp) {
  ClientWatch watch;
  EXPECT_EQ(watch.Present(false, 0), ClientWatch::Change::kNone);
  EXPECT_EQ(watch.Present(true, 10 * kMs), ClientWatch::Change::kArrived);
  EXPECT_TRUE(watch.Here());
  EXPECT_FALSE(watch.Ready());
  // Its set-up (tcsetattr with a flush, say) pushes the handover back.
  watch.SetUp(60 * kMs);
  EXPECT_EQ(watch.SettledAtNs(), 60 * kMs + ClientWatch::kSettleNs);
  EXPECT_EQ(watch.Present(true, 60 * kMs + ClientWatch::kSettleNs - 1), ClientWatch::Change::kNone);
  EXPECT_EQ(watch.Present(true, 60 * kMs + ClientWatch::kSettleNs), ClientWatch::Change::kSettled);
  EXPECT_TRUE(watch.Ready());
  // Set-up after that changes nothing; leaving does.
  watch.SetUp(500 * kMs);
  EXPECT_TRUE(watch.Ready());
  EXPECT_EQ(watch.Present(false, 600 * kMs), ClientWatch::Change::kLeft);
  EXPECT_FALSE(watch.Here());
  EXPECT_FALSE(watch.Ready());
}

TEST(ClientWatch, AClientThatWritesIsReadyAtOnce) {
  ClientWatch watch;
  EXPECT_EQ(watch.Wrote(), ClientWatch::Change::kNone) << "no client";
  watch.Present(true, 0);
  EXPECT_EQ(watch.Wrote(), ClientWatch::Change::kSettled);
  EXPECT_TRUE(watch.Ready());
  EXPECT_EQ(watch.Wrote(), ClientWatch::Change::kNone);
}

}  // namespace
