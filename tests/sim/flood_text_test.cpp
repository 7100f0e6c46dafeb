// The flood stream's generator and checker, as the benchmark uses them.
#include <gtest/gtest.h>

#include <string>

#include "sim/flood_text.h"

namespace q7m::sim {
namespace {

TEST(FloodTextTest, LinesAreNumberedAndFixedLength) {
  EXPECT_EQ(kFloodLineSize, 66u);
  EXPECT_EQ(FloodText(0, kFloodLineSize),
            "FLOOD 00000000 ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuv \r\n");
  EXPECT_EQ(FloodText(42 * kFloodLineSize, 16), "FLOOD 00000042 A");
  EXPECT_EQ(FloodText(98'765'432 * kFloodLineSize + 6, 8), "98765432");
  EXPECT_EQ(FloodText(kFloodNumberLimit * kFloodLineSize + 6, 8), "00000000") << "wraps";
  // Any slice equals the same bytes cut from a longer run.
  const std::string run = FloodText(0, 10 * kFloodLineSize);
  EXPECT_EQ(FloodText(100, 333), run.substr(100, 333));
  for (std::uint64_t k = 0; k < run.size(); ++k) ASSERT_EQ(FloodByte(k), run[k]) << k;
}

TEST(FloodTextTest, CheckerAcceptsAWholeStreamWithSurroundingText) {
  const std::string stream = FloodText(0, 50 * kFloodLineSize + 20);
  const FloodCheck clean = CheckFlood("flood 3320\r\n" + stream + "\r\nvsc7420# ");
  EXPECT_TRUE(clean.Clean()) << clean.problem;
  EXPECT_EQ(clean.validLines, 50u);
  EXPECT_EQ(clean.firstNumber, 0u);
  EXPECT_EQ(clean.lastNumber, 49u);
  EXPECT_EQ(clean.gaps, 0u);

  // A capture that starts mid-line counts from the first whole line.
  const FloodCheck late = CheckFlood(stream.substr(30));
  EXPECT_TRUE(late.Clean());
  EXPECT_EQ(late.firstNumber, 1u);
  EXPECT_EQ(late.validLines, 49u);

  EXPECT_FALSE(CheckFlood("").Clean()) << "no lines is not a clean flood";
  EXPECT_FALSE(CheckFlood("vsc7420# ").Clean());
}

TEST(FloodTextTest, CheckerFindsAMissingLineAndReportsWhere) {
  const std::string stream = FloodText(0, 20 * kFloodLineSize);
  std::string missing = stream;
  missing.erase(7 * kFloodLineSize, kFloodLineSize);  // line 7 lost whole
  const FloodCheck r = CheckFlood(missing);
  EXPECT_FALSE(r.Clean());
  EXPECT_EQ(r.gaps, 1u);
  EXPECT_EQ(r.badLines, 0u);
  EXPECT_EQ(r.validLines, 19u);
  EXPECT_EQ(r.expectedNumber, 7u);
  EXPECT_EQ(r.problemOffset, 7 * kFloodLineSize);
  EXPECT_NE(r.problem.find("line 8 where 7"), std::string::npos) << r.problem;
}

TEST(FloodTextTest, CheckerFindsLostBytesReorderingAndDamage) {
  const std::string stream = FloodText(0, 20 * kFloodLineSize);

  std::string dropped = stream;  // a FIFO overflow loses part of lines 3 and 4
  dropped.erase(3 * kFloodLineSize + 40, 50);
  const FloodCheck d = CheckFlood(dropped);
  EXPECT_FALSE(d.Clean());
  EXPECT_EQ(d.badLines, 1u);
  EXPECT_EQ(d.gaps, 1u);
  EXPECT_EQ(d.expectedNumber, 3u);
  EXPECT_EQ(d.problemOffset, 3 * kFloodLineSize);

  std::string swapped = stream;  // lines 5 and 6 change places
  swapped.replace(5 * kFloodLineSize, 2 * kFloodLineSize,
                  stream.substr(6 * kFloodLineSize, kFloodLineSize) +
                      stream.substr(5 * kFloodLineSize, kFloodLineSize));
  const FloodCheck s = CheckFlood(swapped);
  EXPECT_FALSE(s.Clean());
  EXPECT_EQ(s.gaps, 3u) << "6 for 5, 5 for 7, 7 for 6";
  EXPECT_EQ(s.expectedNumber, 5u);

  std::string garbled = stream;  // one byte changed by a framing error
  garbled[10 * kFloodLineSize + 30] = 'X';
  const FloodCheck g = CheckFlood(garbled);
  EXPECT_FALSE(g.Clean());
  EXPECT_EQ(g.badLines, 1u);
  EXPECT_EQ(g.validLines, 19u);
  EXPECT_EQ(g.problemOffset, 10 * kFloodLineSize);
}

}  // namespace
}  // namespace q7m::sim
