// The receive side's rules that the terminal and the bridge share: the
// capped held stream and the once-then-quiet error reports.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "uart/held_stream.h"
#include "uart/reception.h"

namespace {

constexpr std::uint64_t kMs = 1'000'000;

// Takes every held byte, `slice` at a time; events are noted in brackets
// at their place.
std::string TakeAll(HeldStream& held, std::size_t slice) {
  std::string out;
  std::string bytes;
  while (!held.Empty()) {
    std::optional<UartEvent> event;
    held.Take(bytes, slice, event);
    EXPECT_LE(bytes.size(), slice);
    out += bytes;
    if (event) out += "[" + std::to_string(event->value) + "]";
  }
  return out;
}

UartEvent Errors(std::uint32_t bits) {
  return {UartEvent::Kind::kReceiveErrors, bits};
}

TEST(HeldStream, KeepsBytesAndEventsInOrderAcrossAddsAndPartialTakes) {
  HeldStream held(100);
  EXPECT_EQ(held.Add("abc"), 0u);
  held.Add(Errors(1));
  held.Add(Errors(128));  // two events in a row, no byte between
  EXPECT_EQ(held.Add("defg"), 0u);
  EXPECT_EQ(held.Bytes(), 7u);
  EXPECT_EQ(TakeAll(held, 2), "abc[1][128]defg");
  EXPECT_TRUE(held.Empty());
  EXPECT_EQ(held.Dropped(), 0u);
}

TEST(HeldStream, BeyondTheLimitTheOldestBytesGoAndAreCountedButEventsStay) {
  HeldStream held(10);
  EXPECT_EQ(held.Add("0123456"), 0u);
  held.Add(Errors(1));
  EXPECT_EQ(held.Add("789ABC"), 3u);
  EXPECT_EQ(held.Bytes(), 10u);
  // One addition larger than the whole limit keeps its own last bytes; the
  // event it pushed past stays where the dropped bytes were.
  EXPECT_EQ(held.Add(std::string(25, 'x') + "0123456789"), 35u);
  EXPECT_EQ(TakeAll(held, 3), "[1]0123456789");
  EXPECT_EQ(held.Dropped(), 38u);
}

TEST(HeldStream, AbsorbingAnotherKeepsItsOrderItsDropsAndTheLimit) {
  HeldStream held(8);
  HeldStream more(8);
  held.Add("abcd");
  more.Add("123456789");  // 1 dropped in `more`
  more.Add(Errors(1));
  held.Absorb(more);
  EXPECT_TRUE(more.Empty());
  EXPECT_EQ(held.Dropped(), 1u + 4u) << "its own drop, then the four oldest here";
  EXPECT_EQ(TakeAll(held, 100), "23456789[1]");
  EXPECT_EQ(held.Add("x"), 0u);
  EXPECT_EQ(held.DropBytes(), 1u);
  EXPECT_TRUE(held.Empty());
}

TEST(HeldStream, LongRunsThroughALargeStreamLoseNothing) {
  // Many adds and takes of odd sizes, so that items are started and used up
  // several times while bytes wait.
  HeldStream held(1 << 20);
  std::string sent;
  std::string got;
  std::string bytes;
  for (int i = 0; i < 3000; ++i) {
    std::string chunk;
    for (int k = 0; k < 37 + i % 11; ++k) chunk.push_back(static_cast<char>('a' + (i + k) % 26));
    sent += chunk;
    held.Add(chunk);
    std::optional<UartEvent> event;
    held.Take(bytes, 29 + i % 7, event);
    got += bytes;
  }
  got += TakeAll(held, 1000);
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
