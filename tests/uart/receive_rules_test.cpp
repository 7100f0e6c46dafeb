// The receive side's rules that the terminal and the bridge share: the
// capped backlog and the once-then-quiet error reports.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uart/reception.h"

namespace {

constexpr std::uint64_t kMs = 1'000'000;

std::string TakeAll(ReceiveBacklog& backlog, std::size_t slice) {
  std::string out;
  while (!backlog.Empty()) {
    const std::string_view front = backlog.Front(slice);
    EXPECT_LE(front.size(), slice);
    out.append(front);
    backlog.Consume(front.size());
  }
  return out;
}

TEST(ReceiveBacklog, KeepsOrderAcrossAddsAndPartialTakes) {
  ReceiveBacklog backlog(100);
  EXPECT_EQ(backlog.Add("abc"), 0u);
  backlog.Consume(1);
  EXPECT_EQ(backlog.Add("defg"), 0u);
  EXPECT_EQ(backlog.Front(2), "bc");
  EXPECT_EQ(backlog.Size(), 6u);
  EXPECT_EQ(TakeAll(backlog, 4), "bcdefg");
  backlog.Consume(10);  // more than there is
  EXPECT_TRUE(backlog.Empty());
  EXPECT_EQ(backlog.Dropped(), 0u);
}

TEST(ReceiveBacklog, BeyondTheLimitTheOldestGoAndAreCounted) {
  ReceiveBacklog backlog(10);
  EXPECT_EQ(backlog.Add("0123456"), 0u);
  EXPECT_EQ(backlog.Add("789ABC"), 3u);
  EXPECT_EQ(backlog.Front(100), "3456789ABC");
  // One addition larger than the whole limit keeps its own last bytes.
  EXPECT_EQ(backlog.Add(std::string(25, 'x') + "0123456789"), 35u);
  EXPECT_EQ(TakeAll(backlog, 3), "0123456789");
  EXPECT_EQ(backlog.Dropped(), 38u);
}

TEST(ReceiveBacklog, LongRunsThroughALargeBacklogLoseNothing) {
  // Many adds and takes of odd sizes, so that the taken part is cut off
  // several times while bytes wait.
  ReceiveBacklog backlog(1 << 20);
  std::string sent;
  std::string got;
  for (int i = 0; i < 3000; ++i) {
    std::string chunk;
    for (int k = 0; k < 37 + i % 11; ++k) chunk.push_back(static_cast<char>('a' + (i + k) % 26));
    sent += chunk;
    backlog.Add(chunk);
    const std::string_view front = backlog.Front(29 + i % 7);
    got.append(front);
    backlog.Consume(front.size());
  }
  got += TakeAll(backlog, 1000);
  EXPECT_EQ(got, sent);
}

TEST(ReceiveErrorReports, EachErrorOnceOverflowFirstThenQuietAfterItsReport) {
  ReceiveErrorReports reports;
  std::vector<std::string> said;
  std::uint64_t clock = 1000 * kMs;
  const auto say = [&](const char* message) {
    said.push_back(message);
    clock += 500 * kMs;  // the message waits half a second for its key
  };
  const auto now = [&] { return clock; };

  reports.Report(0x81, say, now);
  EXPECT_EQ(said, (std::vector<std::string>{"UartRcvStr Overflow", "UartRcvStr Framing Error"}));
  reports.Report(0x81, say, now);  // the next poll sees the same errors
  EXPECT_EQ(said.size(), 2u);

  // The framing report ended at 2000 ms: quiet until 4000 ms.
  clock = 3999 * kMs;
  reports.Report(0x01, say, now);
  EXPECT_EQ(said.size(), 2u);
  // The overflow report ended at 1500 ms: quiet until 3500 ms.
  said.clear();
  reports.Report(0x80, say, now);
  clock = 4000 * kMs;
  reports.Report(0x01, say, now);
  EXPECT_EQ(said, (std::vector<std::string>{"UartRcvStr Overflow", "UartRcvStr Framing Error"}));
}

TEST(ReceiveErrorReports, BitsOtherThanOverflowAndFramingSayNothing) {
  ReceiveErrorReports reports;
  int shown = 0;
  reports.Report(
      0x7E, [&](const char*) { ++shown; }, [] { return std::uint64_t{0}; });
  EXPECT_EQ(shown, 0);
}

}  // namespace
