#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "console/memory_console.h"
#include "tests/support/screen_helpers.h"
#include "widgets/number_format.h"

namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

struct IntCase {
  std::int32_t v;
  int width;
  std::string expected;
};

TEST(BinaryFields, LowByteMostSignificantFirst) {
  const struct {
    std::int32_t v;
    std::string bin;
    std::string dotted;
  } cases[] = {
      {5, "00000101", "0000.0101"},     {300, "00101100", "0010.1100"},
      {-1, "11111111", "1111.1111"},    {0xA5, "10100101", "1010.0101"},
      {0, "00000000", "0000.0000"},     {kMin, "00000000", "0000.0000"},
      {0x180, "10000000", "1000.0000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BinByte(c.v), c.bin) << c.v;
    EXPECT_EQ(BinByteDot(c.v), c.dotted) << c.v;
  }
}

TEST(DecimalFields, DecRightKeepsTheLastCharacters) {
  const IntCase cases[] = {
      {42, 5, "   42"}, {-42, 5, "  -42"},         {12345, 3, "345"},          {0, 1, "0"},
      {-42, 2, "42"},   {kMin, 11, "-2147483648"}, {kMin, 12, " -2147483648"}, {7, 0, ""},
      {7, -3, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DecRight(c.v, c.width), c.expected) << c.v << "/" << c.width;
}

TEST(DecimalFields, DecZeroMarksOnlyPositiveOverflow) {
  const IntCase cases[] = {
      {7, 3, "007"},
      {999, 3, "999"},
      {1000, 3, "EEE"},
      {5, 12, "000000000005"},
      {kMax, 10, "2147483647"},
      {kMax, 9, "EEEEEEEEE"},
      {0, 1, "0"},
      {-7, 3, "-07"},
      {-1234, 3, "-34"},
      {-3, 1, "-"},
      {kMin, 11, "-2147483648"},
      {kMin, 4, "-648"},
      {5, 0, ""},
      {-5, 0, ""},
      {-5, -1, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DecZero(c.v, c.width), c.expected) << c.v << "/" << c.width;
}

TEST(DecimalFields, DecSignedHasASignAndWidthDigits) {
  const IntCase cases[] = {
      {0, 3, "+000"},     {-5, 3, "-005"},           {42, 3, "+042"},
      {12345, 3, "+345"}, {kMin, 10, "-2147483648"}, {kMin, 2, "-48"},
      {9, 0, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecSigned(c.v, c.width), c.expected) << c.v << "/" << c.width;
  }
}

TEST(DecimalFields, DecDotsFillsWithDotsOrMarksOverflow) {
  const IntCase cases[] = {
      {42, 6, "....42"},         {-42, 3, "-42"}, {-42, 2, "EE"},
      {-42, 4, ".-42"},          {123, 3, "123"}, {1234, 3, "EEE"},
      {kMin, 11, "-2147483648"}, {1, 0, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DecDots(c.v, c.width), c.expected) << c.v << "/" << c.width;
}

TEST(DecimalFields, TrimAndSignColumn) {
  EXPECT_EQ(DecTrim(-5), "-5");
  EXPECT_EQ(DecTrim(42), "42");
  EXPECT_EQ(DecTrim(kMin), "-2147483648");
  EXPECT_EQ(DecSignCol(-5), "-5");
  EXPECT_EQ(DecSignCol(42), " 42");
  EXPECT_EQ(DecSignCol(0), " 0");
  EXPECT_EQ(DecSignCol(kMin), "-2147483648");
}

TEST(TextFields, FitTextCutsWithDotsOrPads) {
  const struct {
    std::string text;
    int width;
    int align;
    std::string expected;
  } cases[] = {
      {"config", 4, 0, "co.."}, {"ab", 4, 0, "ab  "}, {"", 3, 0, "   "},  {"abcd", 4, 0, "abcd"},
      {"abcde", 4, 0, "ab.."},  {"abc", 2, 0, ".."},  {"abc", 1, 0, "."}, {"abc", 0, 0, ""},
      {"abc", -2, 0, ""},       {"ab", 4, 1, ""},     {"ab", 4, 2, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FitText(c.text, c.width, c.align), c.expected)
        << '"' << c.text << "\" " << c.width << "/" << c.align;
  }
}

TEST(FixedPoint, FormatRealExamplesAndEdges) {
  const struct {
    float value;
    int q;
    int r;
    std::string flags;
    std::string expected;
  } cases[] = {
      {3.14159f, 2, 3, "", " 3.142"},
      {0.05f, 1, 2, "", "0.05"},
      {-1.5f, 2, 1, "+", " -1.5"},
      {-1.5f, 2, 1, "+0", "-01.5"},
      {1234.0f, 2, 1, "", "EE.E"},
      {-2.0f, 2, 1, "", "LL.L"},
      // Sign positions.
      {1.5f, 2, 1, "+", " +1.5"},
      {1.5f, 2, 1, "-", "  1.5"},
      {1.5f, 2, 1, "-0", " 01.5"},
      {0.0f, 1, 1, "+", "+0.0"},
      {-1234.0f, 2, 1, "+", "-EE.E"},
      {99.94f, 2, 1, "+", "+99.9"},
      {99.95f, 2, 1, "+", "+EE.E"},
      // Halves go upwards, also for negative values.
      {0.125f, 1, 2, "", "0.13"},
      {-0.125f, 1, 2, "-", "-0.12"},
      {-0.126f, 1, 2, "-", "-0.13"},
      {2.5f, 1, 1, "", "2.5"},
      {2.25f, 1, 1, "", "2.3"},
      // A half in the typed decimal rounds up although the float lies below it.
      {1.005f, 1, 2, "", "1.01"},
      {2.675f, 1, 2, "", "2.68"},
      // Small negative values that round to 0 are not negative.
      {-0.04f, 1, 1, "", "0.0"},
      {-0.05f, 1, 1, "", "0.0"},
      {-0.06f, 1, 1, "", "L.L"},
      // Widths below 1 are raised to 1.
      {7.0f, 0, 0, "", "7.0"},
      {7.0f, -4, -1, "0", "7.0"},
      // Zero fill and the limit 10^(q+r) - 1.
      {5.0f, 3, 2, "0", "005.00"},
      {999.994f, 3, 2, "", "999.99"},
      {999.996f, 3, 2, "", "EEE.EE"},
      {0.5f, 3, 1, "", "  0.5"},
      // Large and tiny values.
      {1e30f, 3, 1, "", "EEE.E"},
      {1e-30f, 1, 3, "", "0.000"},
      {16777216.0f, 8, 1, "", "16777216.0"},
      // Flags in any order, others ignored.
      {-3.0f, 2, 1, "x0+", "-03.0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatReal(c.value, c.q, c.r, c.flags), c.expected)
        << c.value << " (" << c.q << "," << c.r << ",\"" << c.flags << "\")";
  }
}

TEST(FixedPoint, NonFiniteValuesAreMarked) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(FormatReal(inf, 2, 1, ""), "EE.E");
  EXPECT_EQ(FormatReal(-inf, 2, 1, ""), "LL.L");
  EXPECT_EQ(FormatReal(-inf, 2, 1, "+"), "-EE.E");
  EXPECT_EQ(FormatReal(std::numeric_limits<float>::quiet_NaN(), 2, 1, ""), "EE.E");
}

TEST(FixedPoint, FieldWidthIsAlwaysQPlusRPlusOneOrTwo) {
  for (const float value : {0.0f, 1.0f, -1.0f, 12.345f, -98.76f, 1e6f}) {
    for (int q = 1; q <= 4; ++q) {
      for (int r = 1; r <= 3; ++r) {
        EXPECT_EQ(FormatReal(value, q, r, "").size(), static_cast<std::size_t>(q + r + 1));
        EXPECT_EQ(FormatReal(value, q, r, "+").size(), static_cast<std::size_t>(q + r + 2));
        EXPECT_EQ(FormatReal(value, q, r, "-0").size(), static_cast<std::size_t>(q + r + 2));
      }
    }
  }
}

TEST(ClearRowTest, BlanksSeventyNineColumnsAndParksTheCursor) {
  AttachMemoryConsole();
  SetColor(7, 0);
  ClearScreen();
  for (int row = 4; row <= 6; ++row) {
    Locate(row, 1);
    PrintText(std::string(80, 'x'));
  }
  SetColor(14, 1);
  Locate(10, 30);
  ClearRow(5);
  EXPECT_EQ(ScreenText(5, 1, 80), std::string(79, ' ') + "x") << "column 80 is left";
  EXPECT_EQ(CellColors(5, 40), (ColorPair{14, 1}));
  EXPECT_EQ(ScreenText(4, 1, 80), std::string(80, 'x'));
  EXPECT_EQ(ScreenText(6, 1, 80), std::string(80, 'x'));
  EXPECT_EQ(CursorRow(), 5);
  EXPECT_EQ(CursorCol(), 1);
  ConsoleDetach();
}

}  // namespace
