#pragma once
// Prompted number entry (decimal, hexadecimal, binary), a strict hexadecimal
// text converter, and the byte packing and swapping helpers of register work.
//
// The entry routines print the prompt, a hint and "? ", then read one line
// with echo; only the text before the first comma counts, upper-cased and
// stripped of leading and trailing spaces.

#include <cstdint>
#include <string>
#include <string_view>

// "Hxx" hexadecimal or "Bxx" binary, taken digit by digit from the right into
// four bytes (anything else between the digits is skipped); otherwise the
// number reader's integer, low 32 bits ("&H1F" works too). Empty gives 0.
// Digits beyond the four bytes (a 9th hexadecimal or 33rd binary digit from
// the right) are ignored: there is no byte left to hold them.
std::int32_t ReadNumber(std::string_view prompt);

// Hexadecimal from the digits of the answer in order (dots, spaces, an "H" are
// dropped; no digits gives 0; the value keeps the low 32 bits), or a decimal
// integer after "&D". An empty line sets empty = 1 and leaves value alone.
void InputHex32(std::string_view prompt, std::int32_t& value, std::int32_t& empty);
// InputHex32 with a 64-bit value.
void InputHex64(std::string_view prompt, std::int64_t& value, std::int32_t& empty);
// InputHex32 / InputHex64 without the empty flag (an empty line gives 0).
std::int32_t ReadHex32(std::string_view prompt);
std::int64_t ReadHex64(std::string_view prompt);

// Removes the leading spaces of text (the caller's text changes), then reads
// up to 8 hexadecimal digits; a character that is not one counts as 0. An
// empty or longer text prints "Too long hexa string!" and ends the program
// with status 0.
std::int32_t HexToInt(std::string& text);

// b0 + b1 * 256 + b2 * 65536 + b3 * 16777216, from the low 8 bits of each.
std::int32_t PackBytes(std::int32_t b0, std::int32_t b1, std::int32_t b2, std::int32_t b3);
// The four bytes of v, 0 to 255 each; b0 the least significant.
void UnpackBytes(std::int32_t v, std::int32_t& b0, std::int32_t& b1, std::int32_t& b2,
                 std::int32_t& b3);
// 0x12345678 -> 0x56781234.
void SwapHalves(std::int32_t& v);
// 0x12345678 -> 0x78563412.
void SwapBytes(std::int32_t& v);

// Prints a blank line and "Press any key to continue", then waits ms
// milliseconds; from 100 ms on a key ends the wait early and stays unread.
void PressAnyKeyTimed(int ms);
