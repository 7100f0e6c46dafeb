#pragma once
// Small read-back helpers over the in-memory console's screen.

#include <string>

#include "console/console.h"

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
