#include "config/number_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr double kMaxDouble = std::numeric_limits<double>::max();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();

struct ValueCase {
  std::string text;
  double expected;
};

void ExpectValues(const std::vector<ValueCase>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(ReadNumberValue(c.text), c.expected) << "text: \"" << c.text << "\"";
  }
}

TEST(NumberReader, DecimalNumbersWithSignFractionAndExponent) {
  ExpectValues({
      {"1.5e3", 1500.0},
      {"-2", -2.0},
      {"+7", 7.0},
      {".5", 0.5},
      {"-.5", -0.5},
      {"5.", 5.0},
      {"5.e2", 500.0},
      {"1E2", 100.0},
      {"2e-3", 0.002},
      {"1e+2", 100.0},
      {"007", 7.0},
      {"0.1", 0.1},
      {"115200", 115200.0},
      {"123456789012345678901234567890", 123456789012345678901234567890.0},
      // Correctly rounded: 2^53 + 1 is not a double and goes to the even neighbour.
      {"9007199254740993", 9007199254740992.0},
      {"2.2250738585072014e-308", std::numeric_limits<double>::min()},
  });
}

TEST(NumberReader, ReadsAsFarAsTheCharactersAllow) {
  ExpectValues({
      {"12abc", 12.0},
      {"1e", 1.0},
      {"1e+", 1.0},
      {"1e-", 1.0},
      {"1ex", 1.0},
      {"1.5.3", 1.5},
      {"1e2.5", 100.0},
      {"1 2", 1.0},
      {"3,5", 3.0},
      {"1e2e3", 100.0},
  });
}

TEST(NumberReader, NoNumberInFrontReadsAsZero) {
  ExpectValues({
      {"", 0.0},
      {"   ", 0.0},
      {"abc", 0.0},
      {"-", 0.0},
      {"+", 0.0},
      {".", 0.0},
      {"-.", 0.0},
      {".e5", 0.0},
      {"e5", 0.0},
      {"- 5", 0.0},
      {"0x1F", 0.0},
      {"0X1f", 0.0},
      {"$10", 0.0},
  });
}

TEST(NumberReader, OnlySpacesAreSkippedInFront) {
  ExpectValues({
      {"   42", 42.0},
      {" -1.5", -1.5},
      {"  &H10", 16.0},
      {"\t42", 0.0},
      {"\n42", 0.0},
      {"\r42", 0.0},
  });
}

TEST(NumberReader, HexOctalAndBinaryIntegers) {
  ExpectValues({
      {"&H1F", 31.0},
      {"&h1f", 31.0},
      {"&HfF", 255.0},
      {"&O17", 15.0},
      {"&o777", 511.0},
      {"&B101", 5.0},
      {"&b11111111", 255.0},
      {"&HFFFFFFFF", 4294967295.0},
      {"&HFFFFFFFFFFFFFFFF", 18446744073709551615.0},
      {"&H10000000000000000", 18446744073709551616.0},
  });
}

TEST(NumberReader, BasedIntegersStopAtTheFirstNonDigit) {
  ExpectValues({
      {"&H", 0.0},
      {"&O", 0.0},
      {"&B", 0.0},
      {"&", 0.0},
      {"&X12", 0.0},
      {"& H12", 0.0},
      {"&H-1", 0.0},
      {"&H1G", 1.0},
      {"&O78", 7.0},
      {"&O8", 0.0},
      {"&B102", 2.0},
      {"&B2", 0.0},
      {"&H1.5", 1.0},
      {"&H1e2", 0x1E2},
  });
}

TEST(NumberReader, HugeValuesSaturateInsteadOfOverflowing) {
  const std::string digits400(400, '9');
  const std::string hex300 = "&H" + std::string(300, 'F');
  ExpectValues({
      {"1e400", kMaxDouble},
      {"-1e400", -kMaxDouble},
      {"1.8e308", kMaxDouble},
      {"1.7976931348623157e308", kMaxDouble},
      {digits400, kMaxDouble},
      {"-" + digits400, -kMaxDouble},
      {digits400 + ".5e-399", 10.0},  // 9.99...95: the scale counts all 400 digits
      {"1e99999999999999999999999999", kMaxDouble},
      {"1e-400", 0.0},
      {"1e-99999999999999999999999999", 0.0},
      {"0e999999999", 0.0},
      {hex300, kMaxDouble},
      {"&B" + std::string(2000, '1'), kMaxDouble},
  });
  EXPECT_DOUBLE_EQ(ReadNumberValue("&HFFFFFFFFFFFFFFFFFFFF"), 1208925819614629174706175.0);
}

TEST(NumberReader, LongDigitStringsKeepTheirScale) {
  // Leading zeros, in the integer and in the fraction, do not move the point.
  ExpectValues({
      {std::string(400, '0') + "5", 5.0},
      {"0." + std::string(399, '0') + "1e400", 1.0},
      {"1" + std::string(300, '0') + "e-300", 1.0},
      {"0.000123", 0.000123},
  });
}

struct RoundCase {
  std::string text;
  std::int64_t expected;
};

TEST(NumberReader, RoundsToTheNearestIntegerWithHalvesToEven) {
  const std::vector<RoundCase> cases = {
      {"0.5", 0},
      {"1.5", 2},
      {"2.5", 2},
      {"3.5", 4},
      {"-0.5", 0},
      {"-1.5", -2},
      {"-2.5", -2},
      {"-3.5", -4},
      {"2.4999", 2},
      {"2.5001", 3},
      {"-2.5001", -3},
      {"-0.4", 0},
      {"9600", 9600},
      {"9600.5", 9600},
      {"9601.5", 9602},
      {"&H2580", 9600},
      {"1e18", 1000000000000000000},
      {"", 0},
      {"x", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadRoundedInteger(c.text), c.expected) << "text: \"" << c.text << "\"";
  }
}

TEST(NumberReader, RoundedIntegersSaturateTo64Bits) {
  const std::vector<RoundCase> cases = {
      {"-9223372036854775808", kMin64},
      {"9223372036854775808", kMax64},
      {"9.3e18", kMax64},
      {"-9.3e18", kMin64},
      {"1e400", kMax64},
      {"-1e400", kMin64},
      {std::string(400, '7'), kMax64},
      {"&HFFFFFFFFFFFFFFFFFFFF", kMax64},
      {"&H8000000000000000", kMax64},
      {"4611686018427387904", 4611686018427387904},  // 2^62, exact
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadRoundedInteger(c.text), c.expected) << "text: \"" << c.text << "\"";
  }
}

TEST(NumberReader, SaturateInt32ClampsToThe32BitRange) {
  constexpr std::int64_t kMax32 = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin32 = std::numeric_limits<std::int32_t>::min();
  const std::vector<std::pair<std::int64_t, std::int32_t>> cases = {
      {0, 0},
      {-1, -1},
      {115200, 115200},
      {kMax32, static_cast<std::int32_t>(kMax32)},
      {kMax32 + 1, static_cast<std::int32_t>(kMax32)},
      {kMin32, static_cast<std::int32_t>(kMin32)},
      {kMin32 - 1, static_cast<std::int32_t>(kMin32)},
      {kMax64, static_cast<std::int32_t>(kMax32)},
      {kMin64, static_cast<std::int32_t>(kMin32)},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(SaturateInt32(value), expected) << "value: " << value;
  }
}

// The two hexadecimal readings of prompted entry, and &D decimal, all
// wrapping modulo 2^64.
TEST(PromptedNumbers, LeadingOrEveryHexDigitAndWrappedDecimal) {
  const struct {
    std::string text;
    std::uint64_t leading;
    std::uint64_t every;
  } hex[] = {
      {"1234.5678", 0x1234, 0x12345678},
      {"  ff", 0xFF, 0xFF},
      {"H12 34", 0, 0x1234},
      {"xyz", 0, 0},
      {"", 0, 0},
      {"1FFFFFFFFFFFFFFFF", 0xFFFFFFFFFFFFFFFFu, 0xFFFFFFFFFFFFFFFFu},
  };
  for (const auto& c : hex) {
    EXPECT_EQ(ReadWrappedHex(c.text, HexDigits::kLeading), c.leading) << c.text;
    EXPECT_EQ(ReadWrappedHex(c.text, HexDigits::kEvery), c.every) << c.text;
  }
  EXPECT_EQ(ReadWrappedDecimal(" 100x"), 100u);
  EXPECT_EQ(ReadWrappedDecimal("-1"), 0xFFFFFFFFFFFFFFFFu);
  EXPECT_EQ(ReadWrappedDecimal("+4294967295"), 4294967295u);
  EXPECT_EQ(ReadWrappedDecimal("18446744073709551617"), 1u);
  EXPECT_EQ(ReadHexOrDecimalAnswer("&D100", HexDigits::kLeading), 100u);
  EXPECT_EQ(ReadHexOrDecimalAnswer("&D", HexDigits::kEvery), 0u);
  EXPECT_EQ(ReadHexOrDecimalAnswer("100", HexDigits::kLeading), 0x100u);
}

}  // namespace
