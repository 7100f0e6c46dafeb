#pragma once
// Fixed-width number fields for console screens: decimal, binary and
// fixed-point text, a text fitter and a row eraser. All but ClearRow are pure.
//
// A number too wide for its field shows as a row of "E" as wide as the field
// (where a routine checks at all). Widths of 0 or less give an empty text.

#include <cstdint>
#include <string>
#include <string_view>

// Blanks columns 1 to 79 of the row in the current colours; the cursor ends
// at column 1 of that row.
void ClearRow(int row);

// The low 8 bits of v in binary, most significant first: 5 -> "00000101".
std::string BinByte(std::int32_t v);
// BinByte with "." between the nibbles: 0xA5 -> "1010.0101".
std::string BinByteDot(std::int32_t v);

// Right-aligned with spaces; a wider value loses its leading characters
// (12345 in width 3 -> "345").
std::string DecRight(std::int32_t v, int width);
// Zero-filled: 7 in 3 -> "007", 1000 in 3 -> "EEE"; negatives keep "-" and
// the last width - 1 digits, unmarked (-1234 in 3 -> "-34").
std::string DecZero(std::int32_t v, int width);
// A sign ("+" for 0 and up) and width zero-filled digits: 42 in 3 -> "+042".
std::string DecSigned(std::int32_t v, int width);
// Dots on the left: 42 in 6 -> "....42"; too wide -> width times "E".
std::string DecDots(std::int32_t v, int width);
// The decimal digits alone: "-5", "42".
std::string DecTrim(std::int32_t v);
// A space where the sign of a negative number would be: "-5", " 42".
std::string DecSignCol(std::int32_t v);

// align 0: left-aligned, padded with spaces to width; a longer text keeps its
// first width - 2 characters followed by "..". Other alignments give "".
std::string FitText(std::string_view text, int width, int align);

// Fixed-point text of value with intDigits places before the point and
// decDigits after (each at least 1), halves rounded upwards. flags: "+" a sign
// position showing "+" for 0 and up, "-" a sign position without plus, "0"
// leading zeros instead of spaces. Too large -> "E" digits, a negative value
// without a sign position -> "L" digits.
std::string FormatReal(float value, int intDigits, int decDigits, std::string_view flags);
