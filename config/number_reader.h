#pragma once
// The one number reader for numbers typed in files, macros and prompts:
// leading spaces skipped; &H, &O and &B give hexadecimal, octal and binary
// integers; otherwise a decimal number with optional sign, fraction and
// exponent, read as far as the characters allow. A text with no number in
// front (and "0x...") reads as 0. Values far out of range saturate.

#include <cstdint>
#include <string_view>

double ReadNumberValue(std::string_view text);
// The number rounded to the nearest integer (halves to the even neighbour),
// saturated to the 64-bit range.
std::int64_t ReadRoundedInteger(std::string_view text);
// Saturates a 64-bit value to the 32-bit range.
std::int32_t SaturateInt32(std::int64_t value);
