#pragma once
// A console viewer for one 256-byte page of a larger address range (hex and
// character grid, a cursor over 1, 2, 4 or 8 bytes with their value, keys that
// move the page), and the small key and byte helpers that go with it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "console/key_codes.h"

inline constexpr std::size_t kHexPageBytes = 256;

// The viewer's state, owned by the caller and kept between calls. A caller
// zero-fills it and sets endAddr (and startAddr when not 0).
struct HexView {
  std::uint64_t pageAddr = 0;  // first byte of the page shown
  std::uint64_t cursor = 0;    // offset of the selected byte, 0 to 256 - width
  std::uint64_t endAddr = 0;   // end of the range, exclusive
  std::uint64_t startAddr = 0;
  std::int32_t width = 0;  // 1, 2, 4 or 8; anything else is taken as 1
};

using HexPage = std::span<const std::uint8_t, kHexPageBytes>;

// Integer key codes: -1 no key, the byte of a one-byte key, 0x100 plus the
// scan code of an extended key.
inline constexpr std::int32_t kNoKeyCode = -1;
std::int32_t KeyCodeOf(const std::string& key);
constexpr std::int32_t KeyCodeOf(NamedKey key) {
  return 0x100 + ScanCode(key);
}

// Draws the page (its content at view.pageAddr) from screen row `row`, polls
// one key without waiting, applies it to the view, draws the status lines on
// rows 24 and 25. Returns -1 (no key), 0 (handled) or the code of another key.
// A key that moves the page shows in the caller's next fetch.
std::int32_t HexViewPage(int row, HexPage page, HexView& view, std::string_view extraHelp);
// The grid alone, then waits for a key and returns its code.
std::int32_t HexDumpPage(HexPage page, int row);

// The last page of the range: endAddr - 256, but never below startAddr, so a
// short or inverted range has its one page at startAddr.
std::uint64_t HexViewLastPage(const HexView& view);

std::int32_t ReadKeyCode();
// Polls with WaitMs(1) until a key arrives.
std::int32_t WaitKeyCode();
// The key upper-cased first, byte by byte: a to z give A to Z, and an
// extended key whose scan code is a lower-case letter changes too (Ctrl-PgDn,
// 0x176, gives 0x156).
std::int32_t WaitKeyCodeUpper();
// Prints "Any key to continue", then WaitKeyCode().
std::int32_t AnyKeyCode();

// The low 8 bits of value in reverse order.
std::int32_t ReverseBits(std::int32_t value);
// True when code AND 0xFF is above 32.
bool IsPrintable(std::int32_t code);
// Copies count bytes (32-bit words when count is a multiple of 4). A count
// beyond either buffer is reported and nothing is copied; 0 or less copies
// nothing. Returns whether the copy was made.
bool CopyBytes(std::span<std::uint8_t> dst, std::span<const std::uint8_t> src, std::int32_t count);
// Sets count bytes to the low 8 bits of value, with the same checks.
bool FillBytes(std::span<std::uint8_t> buffer, std::int32_t value, std::int32_t count);
// Prompt, " (xxx=Hex, &dxx=Dec):" and "? ", then one line: "&D" and a decimal
// number, else hexadecimal; digits stop at the first other character; no
// digits give 0. Values wrap modulo 2^64.
std::uint64_t InputNumber(std::string_view prompt);
