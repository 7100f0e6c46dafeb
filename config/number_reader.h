#pragma once
// The one number reader for numbers typed in files, macros and prompts:
// leading spaces skipped; &H, &O and &B give hexadecimal, octal and binary
// integers; otherwise a decimal number with optional sign, fraction and
// exponent, read as far as the characters allow. A text with no number in
// front (and "0x...") reads as 0. Values far out of range saturate.

#include <cstdint>
#include <string>
#include <string_view>

double ReadNumberValue(std::string_view text);
// The number rounded to the nearest integer (halves to the even neighbour),
// saturated to the 64-bit range.
std::int64_t ReadRoundedInteger(std::string_view text);
// Saturates a 64-bit value to the 32-bit range.
std::int32_t SaturateInt32(std::int64_t value);

// Prompted entry, shared by every screen that asks for a number: prints
// prompt, hint and "? ", reads one line with echo and returns the text before
// its first comma, upper-cased and without spaces at its ends. raw, when
// given, gets the whole line as typed (an empty line differs from a blank
// answer there).
std::string ReadPromptedAnswer(std::string_view prompt, std::string_view hint,
                               std::string* raw = nullptr);
// After leading spaces, a sign and decimal digits up to the first other
// character, modulo 2^64: wrapping rather than saturating lets an unsigned
// number such as 4294967295 give the bit pattern typed.
std::uint64_t ReadWrappedDecimal(std::string_view text);
// Hexadecimal digits (either case) modulo 2^64: from the start, after
// leading spaces, up to the first other character (kLeading), or every digit
// of the text in order with everything else dropped (kEvery, so that
// "1234.5678" reads as 0x12345678). No digits give 0.
enum class HexDigits { kLeading, kEvery };
std::uint64_t ReadWrappedHex(std::string_view text, HexDigits which);
// An answer of ReadPromptedAnswer: "&D" and a decimal number, else
// hexadecimal.
std::uint64_t ReadHexOrDecimalAnswer(std::string_view answer, HexDigits which);
