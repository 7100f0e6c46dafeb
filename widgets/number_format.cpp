#include "widgets/number_format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>

#include "console/console.h"

namespace {

constexpr int kClearRowWidth = 79;

std::size_t Size(int width) {
  return width > 0 ? static_cast<std::size_t>(width) : 0;
}

// The last n characters of text (all of it when it is shorter).
std::string LastChars(const std::string& text, std::size_t n) {
  return n >= text.size() ? text : text.substr(text.size() - n);
}

// Decimal digits of |v|; 64-bit so that INT32_MIN has a magnitude.
std::string MagnitudeDigits(std::int32_t v) {
  const std::int64_t wide = v;
  return std::to_string(wide < 0 ? -wide : wide);
}

void IncrementDigits(std::string& digits) {
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    if (*it != '9') {
      ++*it;
      return;
    }
    *it = '0';
  }
  digits.insert(digits.begin(), '1');
}

struct ScaledReal {
  bool negative = false;
  bool overflow = false;  // NaN or infinite: no digits at all
  std::string digits;     // |x|, no leading zeros
};

// x = floor(value * 10^r + 0.5), worked on the shortest decimal text that
// reads back as the same float (what the user typed and sees), so that a
// float such as 0.05f or 1.005f rounds as its decimal form does and not as
// its binary neighbour just below or above.
ScaledReal ScaleAndRound(float value, int r) {
  ScaledReal result;
  if (std::isnan(value)) {
    result.overflow = true;
    return result;
  }
  result.negative = std::signbit(value);
  if (std::isinf(value)) {
    result.overflow = true;
    return result;
  }
  if (value == 0.0f) {
    result.negative = false;
    result.digits = "0";
    return result;
  }
  std::array<char, 64> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                       std::fabs(value), std::chars_format::scientific);
  const std::string_view text(buffer.data(), ec == std::errc{} ? end - buffer.data() : 0);
  const std::size_t ePos = text.find('e');
  std::string mantissa;
  for (const char c : text.substr(0, ePos)) {
    if (c != '.') mantissa.push_back(c);
  }
  int exponent = 0;
  if (ePos != std::string_view::npos) {
    std::string_view expText = text.substr(ePos + 1);
    if (!expText.empty() && expText.front() == '+') expText.remove_prefix(1);
    std::from_chars(expText.data(), expText.data() + expText.size(), exponent);
  }
  // |value| = mantissa * 10^shift once scaled by 10^r.
  const std::int64_t shift =
      static_cast<std::int64_t>(exponent) - static_cast<std::int64_t>(mantissa.size() - 1) + r;
  std::string whole;
  bool roundUp = false;
  if (shift >= 0) {
    whole = mantissa + std::string(static_cast<std::size_t>(shift), '0');
  } else {
    const auto dropped = static_cast<std::size_t>(-shift);
    const std::size_t kept = dropped < mantissa.size() ? mantissa.size() - dropped : 0;
    whole = mantissa.substr(0, kept);
    // The fraction's first digit, and whether anything follows it.
    const char first = dropped <= mantissa.size() ? mantissa[kept] : '0';
    const bool restNonZero = dropped <= mantissa.size() &&
                             mantissa.find_first_not_of('0', kept + 1) != std::string::npos;
    // floor(y + 0.5): a positive half goes up, a negative half goes towards 0.
    roundUp = result.negative ? (first > '5' || (first == '5' && restNonZero)) : first >= '5';
  }
  if (whole.empty()) whole = "0";
  if (roundUp) IncrementDigits(whole);
  const std::size_t nonZero = whole.find_first_not_of('0');
  whole = nonZero == std::string::npos ? "0" : whole.substr(nonZero);
  if (whole == "0") result.negative = false;
  result.digits = whole;
  return result;
}

}  // namespace

void ClearRow(int row) {
  Locate(row, 1);
  PrintText(std::string(kClearRowWidth, ' '));
  Locate(row, 1);
}

std::string BinByte(std::int32_t v) {
  const auto bits = static_cast<std::uint32_t>(v) & 0xFFu;
  std::string text;
  for (int bit = 7; bit >= 0; --bit) text.push_back(((bits >> bit) & 1u) != 0 ? '1' : '0');
  return text;
}

std::string BinByteDot(std::int32_t v) {
  const std::string bits = BinByte(v);
  return bits.substr(0, 4) + "." + bits.substr(4);
}

std::string DecRight(std::int32_t v, int width) {
  return LastChars(std::string(Size(width), ' ') + std::to_string(v), Size(width));
}

std::string DecZero(std::int32_t v, int width) {
  const std::size_t size = Size(width);
  if (size == 0) return {};
  const std::string digits = MagnitudeDigits(v);
  if (v >= 0) {
    if (digits.size() > size) return std::string(size, 'E');
    return LastChars(std::string(size, '0') + digits, size);
  }
  return "-" + LastChars(std::string(size - 1, '0') + digits, size - 1);
}

std::string DecSigned(std::int32_t v, int width) {
  const std::size_t size = Size(width);
  if (size == 0) return {};
  return (v < 0 ? "-" : "+") + LastChars(std::string(size, '0') + MagnitudeDigits(v), size);
}

std::string DecDots(std::int32_t v, int width) {
  const std::size_t size = Size(width);
  const std::string digits = std::to_string(v);
  if (digits.size() > size) return std::string(size, 'E');
  return std::string(size - digits.size(), '.') + digits;
}

std::string DecTrim(std::int32_t v) {
  return std::to_string(v);
}

std::string DecSignCol(std::int32_t v) {
  return v < 0 ? std::to_string(v) : " " + std::to_string(v);
}

std::string FitText(std::string_view text, int width, int align) {
  const std::size_t size = Size(width);
  if (align != 0 || size == 0) return {};
  if (text.size() > size) {
    // Fields of 1 or 2 have room for the marker only (cut to the field).
    const std::size_t kept = size > 2 ? size - 2 : 0;
    return (std::string(text.substr(0, kept)) + "..").substr(0, size);
  }
  return std::string(text) + std::string(size - text.size(), ' ');
}

std::string FormatReal(float value, int intDigits, int decDigits, std::string_view flags) {
  const int q = std::max(intDigits, 1);
  const int r = std::max(decDigits, 1);
  const auto qs = static_cast<std::size_t>(q);
  const auto rs = static_cast<std::size_t>(r);
  const bool plus = flags.find('+') != std::string_view::npos;
  const bool signPosition = plus || flags.find('-') != std::string_view::npos;
  const bool zeros = flags.find('0') != std::string_view::npos;

  const ScaledReal x = ScaleAndRound(value, r);
  // Above 10^(q + r) - 1, that is, more digits than the field has places.
  const bool tooLarge = x.overflow || x.digits.size() > qs + rs;
  std::string d = x.digits;
  if (d.size() < rs + 1) d.insert(0, rs + 1 - d.size(), '0');

  if (signPosition) {
    const char sign = x.negative ? '-' : (plus ? '+' : ' ');
    if (tooLarge) return sign + std::string(qs, 'E') + "." + std::string(rs, 'E');
    const std::string t = zeros ? sign + LastChars(std::string(qs + rs, '0') + d, qs + rs)
                                : LastChars(std::string(qs + rs, ' ') + sign + d, qs + rs + 1);
    return t.substr(0, qs + 1) + "." + t.substr(qs + 1);
  }
  if (x.negative) return std::string(qs, 'L') + "." + std::string(rs, 'L');
  if (tooLarge) return std::string(qs, 'E') + "." + std::string(rs, 'E');
  const std::string t = LastChars(std::string(qs + rs, zeros ? '0' : ' ') + d, qs + rs);
  return t.substr(0, qs) + "." + t.substr(qs);
}
