#pragma once
// The console's screen as plain data: a grid of cells, the cursor and the
// current colours, with the cursor, wrap and scroll rules every screen relies
// on. Backends only display it; the rules live here once.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Cell {
  std::uint8_t ch = ' ';
  std::uint8_t fg = 7;
  std::uint8_t bg = 0;
  bool operator==(const Cell&) const = default;
};

struct ColorPair {
  int fg = 7;
  int bg = 0;
  bool operator==(const ColorPair&) const = default;
};

class ScreenModel {
 public:
  explicit ScreenModel(int rows = 25, int cols = 80);

  int Rows() const { return rows_; }
  int Cols() const { return cols_; }

  // Rows and columns count from 1.
  const Cell& At(int row, int col) const;
  // The bytes of one row, cols characters.
  std::string RowText(int row) const;

  int CursorRow() const { return row_; }
  int CursorCol() const { return col_; }
  bool CursorVisible() const { return cursorVisible_; }
  ColorPair Colors() const { return colors_; }

  void Clear();
  void SetColors(ColorPair colors);
  // 0 keeps a coordinate; a position off the screen leaves the cursor where it
  // was. visible: 1 show, 0 hide, anything else unchanged.
  void Locate(int row, int col, int visible);
  // Writes bytes at the cursor; CR returns to column 1, LF starts the next
  // row at column 1; every other byte is a glyph.
  void Print(std::string_view text);
  void NewLine();
  void PrintZone();

  // Rows touched since the last MarkClean; a scroll marks everything.
  bool RowDirty(int row) const { return dirty_[static_cast<std::size_t>(row - 1)] != 0; }
  void MarkClean();
  void MarkAllDirty();
  // Something to draw since the last MarkClean: a row, or the cursor.
  bool Changed() const {
    return anyDirty_ || row_ != cleanRow_ || col_ != cleanCol_ ||
           cursorVisible_ != cleanCursorVisible_;
  }

 private:
  Cell& CellAt(int row, int col);
  void PutGlyph(std::uint8_t ch);
  void ScrollUp();

  int rows_;
  int cols_;
  std::vector<Cell> cells_;
  std::vector<std::uint8_t> dirty_;
  int row_ = 1;
  int col_ = 1;
  bool cursorVisible_ = true;
  ColorPair colors_{};
  bool anyDirty_ = true;
  int cleanRow_ = 0;
  int cleanCol_ = 0;
  bool cleanCursorVisible_ = false;
};
