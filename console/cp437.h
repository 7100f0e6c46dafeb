#pragma once
// Code page 437: the glyph every screen byte stands for, as the original PC
// text mode drew it (control bytes as symbols, 128-255 as accents, box
// drawing and Greek), and the way back from a typed character.

#include <cstdint>
#include <optional>

// The Unicode code point drawn for a screen byte. Byte 0 draws as a space.
char32_t Cp437Glyph(std::uint8_t byte);

// The byte in 128-255 whose glyph is the code point, if any. Bytes below 128
// are left out on purpose: typed there they would read as control keys.
std::optional<std::uint8_t> Cp437FromUnicode(char32_t codePoint);
