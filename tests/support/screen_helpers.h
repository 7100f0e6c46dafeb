#pragma once
// Small read-back helpers over the in-memory console's screen.

#include <string>
#include <vector>

#include "console/memory_console.h"

// Text of row `row` from column `col`, `length` characters.
inline std::string ScreenText(int row, int col, int length) {
  return ConsoleScreen().RowText(row).substr(static_cast<std::size_t>(col - 1),
                                             static_cast<std::size_t>(length));
}

// The row without its trailing spaces.
inline std::string ScreenLine(int row) {
  std::string text = ConsoleScreen().RowText(row);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

inline ColorPair CellColors(int row, int col) {
  const Cell& cell = ConsoleScreen().At(row, col);
  return ColorPair{cell.fg, cell.bg};
}

// Records each text a row shows while the virtual clock runs (a message row,
// say), skipping blank rows and repeats.
inline void RecordRowTexts(MemoryConsole& console, int row, std::vector<std::string>& shown) {
  console.onAdvance = [row, &shown](std::uint64_t) {
    const std::string text = ScreenLine(row);
    if (!text.empty() && (shown.empty() || shown.back() != text)) shown.push_back(text);
  };
}
