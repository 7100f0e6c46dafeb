#include "widgets/number_entry.h"

#include <algorithm>
#include <array>
#include <type_traits>

#include "config/number_reader.h"
#include "console/ascii.h"
#include "console/console.h"
#include "console/program_end.h"

namespace {

constexpr std::string_view kReadNumberHint = " (xx=dec Hxx=hexa Bxx=bin):";
constexpr std::string_view kInputHex32Hint = " (xx=H.e x, &Dxx=Dec) ";
constexpr std::string_view kInputHex64Hint = " (xx=H.e x, &Dxx=Dec):";
constexpr std::size_t kMaxHexToIntDigits = 8;

// Digits from the right into four byte accumulators, `perByte` digits of
// `base` to a byte; a digit with no byte left is ignored.
std::int32_t DigitsIntoBytes(std::string_view digits, std::uint32_t base, int perByte) {
  std::array<std::uint32_t, 4> bytes{};
  std::size_t p = 0;
  std::uint32_t weight = 1;
  int q = 0;
  for (auto it = digits.rbegin(); it != digits.rend() && p < bytes.size(); ++it) {
    const int digit = HexDigitValue(*it);
    if (digit < 0 || static_cast<std::uint32_t>(digit) >= base) continue;
    bytes[p] += static_cast<std::uint32_t>(digit) * weight;
    weight *= base;
    if (++q == perByte) {
      q = 0;
      weight = 1;
      ++p;
    }
  }
  return PackBytes(
      static_cast<std::int32_t>(bytes[0] % 256), static_cast<std::int32_t>(bytes[1] % 256),
      static_cast<std::int32_t>(bytes[2] % 256), static_cast<std::int32_t>(bytes[3] % 256));
}

// Both widths: empty = 1 on an empty line (value unchanged), else the
// answer's value in the low bits of the width.
template <typename Value>
void InputHex(std::string_view prompt, std::string_view hint, Value& value, std::int32_t& empty) {
  std::string raw;
  const std::string answer = ReadPromptedAnswer(prompt, hint, &raw);
  if (raw.empty()) {
    empty = 1;
    return;
  }
  empty = 0;
  using Bits = std::make_unsigned_t<Value>;
  value = static_cast<Value>(static_cast<Bits>(ReadHexOrDecimalAnswer(answer, HexDigits::kEvery)));
}

}  // namespace

std::int32_t ReadNumber(std::string_view prompt) {
  const std::string s = ReadPromptedAnswer(prompt, kReadNumberHint);
  if (s.empty()) return 0;
  const std::string_view digits = std::string_view(s).substr(1);
  if (s.front() == 'H') return DigitsIntoBytes(digits, 16, 2);
  if (s.front() == 'B') return DigitsIntoBytes(digits, 2, 8);
  // s is already stripped on the right; keep the low 32 bits of the integer.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(ReadRoundedInteger(s)));
}

void InputHex32(std::string_view prompt, std::int32_t& value, std::int32_t& empty) {
  InputHex(prompt, kInputHex32Hint, value, empty);
}

void InputHex64(std::string_view prompt, std::int64_t& value, std::int32_t& empty) {
  InputHex(prompt, kInputHex64Hint, value, empty);
}

std::int32_t ReadHex32(std::string_view prompt) {
  std::int32_t value = 0;
  std::int32_t empty = 0;
  InputHex32(prompt, value, empty);
  return value;
}

std::int64_t ReadHex64(std::string_view prompt) {
  std::int64_t value = 0;
  std::int32_t empty = 0;
  InputHex64(prompt, value, empty);
  return value;
}

std::int32_t HexToInt(std::string& text) {
  text.erase(0, std::min(text.find_first_not_of(' '), text.size()));
  if (text.empty() || text.size() > kMaxHexToIntDigits) {
    PrintLine("Too long hexa string!");
    throw ProgramEnd{};
  }
  std::uint32_t value = 0;
  for (const char c : text) {
    const int digit = HexDigitValue(c);
    value = value * 16 + static_cast<std::uint32_t>(digit < 0 ? 0 : digit);
  }
  return static_cast<std::int32_t>(value);
}

std::int32_t PackBytes(std::int32_t b0, std::int32_t b1, std::int32_t b2, std::int32_t b3) {
  const auto low = [](std::int32_t b) { return static_cast<std::uint32_t>(b) & 0xFFu; };
  return static_cast<std::int32_t>(low(b0) | low(b1) << 8 | low(b2) << 16 | low(b3) << 24);
}

void UnpackBytes(std::int32_t v, std::int32_t& b0, std::int32_t& b1, std::int32_t& b2,
                 std::int32_t& b3) {
  const auto bits = static_cast<std::uint32_t>(v);
  b0 = static_cast<std::int32_t>(bits & 0xFFu);
  b1 = static_cast<std::int32_t>((bits >> 8) & 0xFFu);
  b2 = static_cast<std::int32_t>((bits >> 16) & 0xFFu);
  b3 = static_cast<std::int32_t>(bits >> 24);
}

void SwapHalves(std::int32_t& v) {
  const auto bits = static_cast<std::uint32_t>(v);
  v = static_cast<std::int32_t>(bits << 16 | bits >> 16);
}

void SwapBytes(std::int32_t& v) {
  std::int32_t b0 = 0;
  std::int32_t b1 = 0;
  std::int32_t b2 = 0;
  std::int32_t b3 = 0;
  UnpackBytes(v, b0, b1, b2, b3);
  v = PackBytes(b3, b2, b1, b0);
}

void PressAnyKeyTimed(int ms) {
  PrintLine("");
  PrintLine("Press any key to continue");
  WaitMs(ms);
}
