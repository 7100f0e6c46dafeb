#include "console/cp437.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

constexpr std::array<char32_t, 256> kGlyphs = {
    U'\x0020', U'\x263A', U'\x263B', U'\x2665', U'\x2666', U'\x2663', U'\x2660', U'\x2022',
    U'\x25D8', U'\x25CB', U'\x25D9', U'\x2642', U'\x2640', U'\x266A', U'\x266B', U'\x263C',
    U'\x25BA', U'\x25C4', U'\x2195', U'\x203C', U'\x00B6', U'\x00A7', U'\x25AC', U'\x21A8',
    U'\x2191', U'\x2193', U'\x2192', U'\x2190', U'\x221F', U'\x2194', U'\x25B2', U'\x25BC',
    U'\x0020', U'\x0021', U'\x0022', U'\x0023', U'\x0024', U'\x0025', U'\x0026', U'\x0027',
    U'\x0028', U'\x0029', U'\x002A', U'\x002B', U'\x002C', U'\x002D', U'\x002E', U'\x002F',
    U'\x0030', U'\x0031', U'\x0032', U'\x0033', U'\x0034', U'\x0035', U'\x0036', U'\x0037',
    U'\x0038', U'\x0039', U'\x003A', U'\x003B', U'\x003C', U'\x003D', U'\x003E', U'\x003F',
    U'\x0040', U'\x0041', U'\x0042', U'\x0043', U'\x0044', U'\x0045', U'\x0046', U'\x0047',
    U'\x0048', U'\x0049', U'\x004A', U'\x004B', U'\x004C', U'\x004D', U'\x004E', U'\x004F',
    U'\x0050', U'\x0051', U'\x0052', U'\x0053', U'\x0054', U'\x0055', U'\x0056', U'\x0057',
    U'\x0058', U'\x0059', U'\x005A', U'\x005B', U'\x005C', U'\x005D', U'\x005E', U'\x005F',
    U'\x0060', U'\x0061', U'\x0062', U'\x0063', U'\x0064', U'\x0065', U'\x0066', U'\x0067',
    U'\x0068', U'\x0069', U'\x006A', U'\x006B', U'\x006C', U'\x006D', U'\x006E', U'\x006F',
    U'\x0070', U'\x0071', U'\x0072', U'\x0073', U'\x0074', U'\x0075', U'\x0076', U'\x0077',
    U'\x0078', U'\x0079', U'\x007A', U'\x007B', U'\x007C', U'\x007D', U'\x007E', U'\x2302',
    U'\x00C7', U'\x00FC', U'\x00E9', U'\x00E2', U'\x00E4', U'\x00E0', U'\x00E5', U'\x00E7',
    U'\x00EA', U'\x00EB', U'\x00E8', U'\x00EF', U'\x00EE', U'\x00EC', U'\x00C4', U'\x00C5',
    U'\x00C9', U'\x00E6', U'\x00C6', U'\x00F4', U'\x00F6', U'\x00F2', U'\x00FB', U'\x00F9',
    U'\x00FF', U'\x00D6', U'\x00DC', U'\x00A2', U'\x00A3', U'\x00A5', U'\x20A7', U'\x0192',
    U'\x00E1', U'\x00ED', U'\x00F3', U'\x00FA', U'\x00F1', U'\x00D1', U'\x00AA', U'\x00BA',
    U'\x00BF', U'\x2310', U'\x00AC', U'\x00BD', U'\x00BC', U'\x00A1', U'\x00AB', U'\x00BB',
    U'\x2591', U'\x2592', U'\x2593', U'\x2502', U'\x2524', U'\x2561', U'\x2562', U'\x2556',
    U'\x2555', U'\x2563', U'\x2551', U'\x2557', U'\x255D', U'\x255C', U'\x255B', U'\x2510',
    U'\x2514', U'\x2534', U'\x252C', U'\x251C', U'\x2500', U'\x253C', U'\x255E', U'\x255F',
    U'\x255A', U'\x2554', U'\x2569', U'\x2566', U'\x2560', U'\x2550', U'\x256C', U'\x2567',
    U'\x2568', U'\x2564', U'\x2565', U'\x2559', U'\x2558', U'\x2552', U'\x2553', U'\x256B',
    U'\x256A', U'\x2518', U'\x250C', U'\x2588', U'\x2584', U'\x258C', U'\x2590', U'\x2580',
    U'\x03B1', U'\x00DF', U'\x0393', U'\x03C0', U'\x03A3', U'\x03C3', U'\x00B5', U'\x03C4',
    U'\x03A6', U'\x0398', U'\x03A9', U'\x03B4', U'\x221E', U'\x03C6', U'\x03B5', U'\x2229',
    U'\x2261', U'\x00B1', U'\x2265', U'\x2264', U'\x2320', U'\x2321', U'\x00F7', U'\x2248',
    U'\x00B0', U'\x2219', U'\x00B7', U'\x221A', U'\x207F', U'\x00B2', U'\x25A0', U'\x00A0',
};

// Code point -> byte for 128-255, sorted by code point for a binary search.
using ReverseTable = std::array<std::pair<char32_t, std::uint8_t>, 128>;

ReverseTable BuildReverse() {
  ReverseTable table{};
  for (std::size_t i = 0; i < table.size(); ++i) {
    table[i] = {kGlyphs[128 + i], static_cast<std::uint8_t>(128 + i)};
  }
  std::sort(table.begin(), table.end());
  return table;
}

}  // namespace

char32_t Cp437Glyph(std::uint8_t byte) {
  return kGlyphs[byte];
}

std::optional<std::uint8_t> Cp437FromUnicode(char32_t codePoint) {
  static const ReverseTable reverse = BuildReverse();
  auto it = std::lower_bound(reverse.begin(), reverse.end(), codePoint,
                             [](const auto& entry, char32_t cp) { return entry.first < cp; });
  if (it == reverse.end() || it->first != codePoint) return std::nullopt;
  return it->second;
}
