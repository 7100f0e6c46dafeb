#include "console/cp437.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <set>

namespace {

// The C library's own CP437 converter, as an independent witness for the
// upper half of the table.
char32_t IconvGlyph(std::uint8_t byte) {
  iconv_t cd = iconv_open("UTF-32LE", "CP437");
  if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
  char in = static_cast<char>(byte);
  unsigned char out[4] = {};
  char* inPtr = &in;
  char* outPtr = reinterpret_cast<char*>(out);
  std::size_t inLeft = 1;
  std::size_t outLeft = sizeof out;
  std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return 0;
  return static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24);
}

TEST(Cp437Table, UpperHalfMatchesTheCLibrary) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    SCOPED_TRACE(b);
    EXPECT_EQ(Cp437Glyph(static_cast<std::uint8_t>(b)), IconvGlyph(static_cast<std::uint8_t>(b)));
  }
}

TEST(Cp437Table, ControlBytesDrawAsThePcSymbols) {
  EXPECT_EQ(Cp437Glyph(0x00), U' ');
  EXPECT_EQ(Cp437Glyph(0x01), U'\x263A');  // white smiling face
  EXPECT_EQ(Cp437Glyph(0x03), U'\x2665');  // heart
  EXPECT_EQ(Cp437Glyph(0x0A), U'\x25D9');
  EXPECT_EQ(Cp437Glyph(0x10), U'\x25BA');
  EXPECT_EQ(Cp437Glyph(0x1B), U'\x2190');  // left arrow
  EXPECT_EQ(Cp437Glyph(0x1F), U'\x25BC');
  EXPECT_EQ(Cp437Glyph(0x7F), U'\x2302');  // house
}

TEST(Cp437Table, PrintableAsciiIsItself) {
  for (int b = 0x20; b < 0x7F; ++b)
    EXPECT_EQ(Cp437Glyph(static_cast<std::uint8_t>(b)), char32_t(b));
}

TEST(Cp437Table, EveryGlyphButTheBlankIsDistinct) {
  // Byte 0 draws as a space, like 0x20; every other byte has a glyph of its own.
  std::set<char32_t> seen;
  for (int b = 1; b < 256; ++b) seen.insert(Cp437Glyph(static_cast<std::uint8_t>(b)));
  EXPECT_EQ(seen.size(), 255u);
}

TEST(Cp437Reverse, UpperHalfRoundTripsAndOthersAreAbsent) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    auto byte = static_cast<std::uint8_t>(b);
    EXPECT_EQ(Cp437FromUnicode(Cp437Glyph(byte)), std::optional<std::uint8_t>(byte)) << b;
  }
  EXPECT_EQ(Cp437FromUnicode(U'A'), std::nullopt);
  EXPECT_EQ(Cp437FromUnicode(U'\x263A'), std::nullopt);
  EXPECT_EQ(Cp437FromUnicode(U'\x20AC'), std::nullopt);
  EXPECT_EQ(Cp437FromUnicode(U'\x10FFFF'), std::nullopt);
}

}  // namespace
