#include "config/number_reader.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <system_error>

#include "console/ascii.h"
#include "console/console.h"

namespace {

constexpr double kLargest = std::numeric_limits<double>::max();
// Decimal exponents beyond these bounds are certainly out of the double range
// (the largest double is about 1.8e308, the smallest about 4.9e-324).
constexpr std::int64_t kOverflowExponent = 310;
constexpr std::int64_t kUnderflowExponent = -330;
// Exponent digits are read saturated at this size, far beyond both bounds.
constexpr std::int64_t kExponentCap = 1'000'000'000;

bool IsDecimalDigit(char c) {
  return c >= '0' && c <= '9';
}

int DigitValue(char c, int base) {
  const int value = HexDigitValue(c);
  return value < base ? value : -1;
}

// An integer after &H, &O or &B: digits of the base up to the first other
// character. Exact while it fits 64 bits, then carried on in double precision.
double ReadBasedInteger(std::string_view digits, int base) {
  std::uint64_t exact = 0;
  double value = 0.0;
  bool inexact = false;
  const auto ubase = static_cast<std::uint64_t>(base);
  for (const char c : digits) {
    const int digit = DigitValue(c, base);
    if (digit < 0) break;
    const auto udigit = static_cast<std::uint64_t>(digit);
    if (!inexact && exact <= (std::numeric_limits<std::uint64_t>::max() - udigit) / ubase) {
      exact = exact * ubase + udigit;
      continue;
    }
    if (!inexact) {
      inexact = true;
      value = static_cast<double>(exact);
    }
    value = value * base + digit;
    if (value > kLargest) return kLargest;
  }
  return inexact ? value : static_cast<double>(exact);
}

// A decimal number with optional sign, fraction and exponent, read as far as
// the characters allow. The digits are handed to from_chars in a normalised
// form, so the decimal point never depends on the locale and the magnitude is
// known before conversion (no infinities, huge digit counts are fine).
double ReadDecimal(std::string_view text) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  std::string digits;              // integer and fraction digits, leading zeros dropped
  std::int64_t pointExponent = 0;  // value = 0.digits * 10^pointExponent
  bool anyDigit = false;
  while (pos < text.size() && IsDecimalDigit(text[pos])) {
    anyDigit = true;
    if (!digits.empty() || text[pos] != '0') {
      digits.push_back(text[pos]);
      ++pointExponent;
    }
    ++pos;
  }
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    while (pos < text.size() && IsDecimalDigit(text[pos])) {
      anyDigit = true;
      if (digits.empty() && text[pos] == '0') {
        --pointExponent;
      } else {
        digits.push_back(text[pos]);
      }
      ++pos;
    }
  }
  if (!anyDigit) return 0.0;

  // The exponent counts only when at least one digit follows "e" and its sign.
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    std::size_t epos = pos + 1;
    bool expNegative = false;
    if (epos < text.size() && (text[epos] == '+' || text[epos] == '-')) {
      expNegative = text[epos] == '-';
      ++epos;
    }
    if (epos < text.size() && IsDecimalDigit(text[epos])) {
      std::int64_t exponent = 0;
      while (epos < text.size() && IsDecimalDigit(text[epos])) {
        if (exponent < kExponentCap) exponent = exponent * 10 + (text[epos] - '0');
        ++epos;
      }
      pointExponent += expNegative ? -exponent : exponent;
    }
  }

  const double zero = negative ? -0.0 : 0.0;
  if (digits.empty() || pointExponent < kUnderflowExponent) return zero;
  if (pointExponent > kOverflowExponent) return negative ? -kLargest : kLargest;

  const std::string normalised = "0." + digits + "e" + std::to_string(pointExponent);
  double value = 0.0;
  const auto [end, error] =
      std::from_chars(normalised.data(), normalised.data() + normalised.size(), value);
  (void)end;
  if (error == std::errc::result_out_of_range) {
    value = pointExponent > 0 ? kLargest : 0.0;
  } else if (error != std::errc{}) {
    value = 0.0;
  }
  return negative ? -value : value;
}

}  // namespace

double ReadNumberValue(std::string_view text) {
  const std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return 0.0;
  text.remove_prefix(start);
  if (text.size() >= 2 && text[0] == '&') {
    switch (text[1]) {
      case 'H':
      case 'h':
        return ReadBasedInteger(text.substr(2), 16);
      case 'O':
      case 'o':
        return ReadBasedInteger(text.substr(2), 8);
      case 'B':
      case 'b':
        return ReadBasedInteger(text.substr(2), 2);
      default:
        return 0.0;
    }
  }
  return ReadDecimal(text);
}

std::int64_t ReadRoundedInteger(std::string_view text) {
  const double value = ReadNumberValue(text);
  if (std::isnan(value)) return 0;
  // Nearest integer, an exact half going to the even neighbour; independent
  // of the floating-point rounding mode in force.
  double rounded = std::floor(value);
  const double rest = value - rounded;
  if (rest > 0.5 || (rest == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
  // 2^63 is exact in double; anything at or beyond it does not fit.
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (rounded >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  if (rounded < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(rounded);
}

std::int32_t SaturateInt32(std::int64_t value) {
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

std::string ReadPromptedAnswer(std::string_view prompt, std::string_view hint, std::string* raw) {
  PrintText(prompt);
  PrintText(hint);
  PrintText("? ");
  const std::string line = ReadLine();
  if (raw != nullptr) *raw = line;
  return TrimSpaces(AsciiUpper(std::string_view(line).substr(0, line.find(','))));
}

std::uint64_t ReadWrappedDecimal(std::string_view text) {
  std::size_t i = text.find_first_not_of(' ');
  if (i == std::string_view::npos) return 0;
  bool negative = false;
  if (text[i] == '-' || text[i] == '+') negative = text[i++] == '-';
  std::uint64_t value = 0;
  for (; i < text.size() && IsDecimalDigit(text[i]); ++i) {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  return negative ? ~value + 1 : value;
}

std::uint64_t ReadWrappedHex(std::string_view text, HexDigits which) {
  std::uint64_t value = 0;
  std::size_t i = which == HexDigits::kLeading ? text.find_first_not_of(' ') : 0;
  for (; i < text.size(); ++i) {
    const int digit = HexDigitValue(text[i]);
    if (digit < 0) {
      if (which == HexDigits::kLeading) break;
      continue;
    }
    value = (value << 4) | static_cast<std::uint64_t>(digit);
  }
  return value;
}

std::uint64_t ReadHexOrDecimalAnswer(std::string_view answer, HexDigits which) {
  if (answer.starts_with("&D")) return ReadWrappedDecimal(answer.substr(2));
  return ReadWrappedHex(answer, which);
}
