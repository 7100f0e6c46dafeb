// When a client that arrives is handed the bytes kept for it.

#include <gtest/gtest.h>

#include "bridge/client_watch.h"

namespace {

constexpr std::uint64_t kMs = 1'000'000;

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
