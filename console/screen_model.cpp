#include "console/screen_model.h"

#include <algorithm>

namespace {
constexpr int kZoneWidth = 14;
}

ScreenModel::ScreenModel(int rows, int cols)
    : rows_(std::max(rows, 1)),
      cols_(std::max(cols, 1)),
      cells_(static_cast<std::size_t>(rows_ * cols_)),
      dirty_(static_cast<std::size_t>(rows_), 1) {}

const Cell& ScreenModel::At(int row, int col) const {
  row = std::clamp(row, 1, rows_);
  col = std::clamp(col, 1, cols_);
  return cells_[static_cast<std::size_t>((row - 1) * cols_ + (col - 1))];
}

Cell& ScreenModel::CellAt(int row, int col) {
  return cells_[static_cast<std::size_t>((row - 1) * cols_ + (col - 1))];
}

std::string ScreenModel::RowText(int row) const {
  std::string text;
  text.reserve(static_cast<std::size_t>(cols_));
  for (int col = 1; col <= cols_; ++col) text.push_back(static_cast<char>(At(row, col).ch));
  return text;
}

void ScreenModel::Clear() {
  const Cell blank{' ', static_cast<std::uint8_t>(colors_.fg),
                   static_cast<std::uint8_t>(colors_.bg)};
  std::fill(cells_.begin(), cells_.end(), blank);
  row_ = 1;
  col_ = 1;
  MarkAllDirty();
}

void ScreenModel::SetColors(ColorPair colors) {
  // Only the low four bits of a colour number mean anything.
  colors_.fg = colors.fg & 0xF;
  colors_.bg = colors.bg & 0xF;
}

void ScreenModel::Locate(int row, int col, int visible) {
  if (visible == 0 || visible == 1) cursorVisible_ = visible == 1;
  const int newRow = row == 0 ? row_ : row;
  const int newCol = col == 0 ? col_ : col;
  if (newRow < 1 || newRow > rows_ || newCol < 1 || newCol > cols_) return;
  row_ = newRow;
  col_ = newCol;
}

void ScreenModel::ScrollUp() {
  std::move(cells_.begin() + cols_, cells_.end(), cells_.begin());
  const Cell blank{' ', static_cast<std::uint8_t>(colors_.fg),
                   static_cast<std::uint8_t>(colors_.bg)};
  std::fill(cells_.end() - cols_, cells_.end(), blank);
  MarkAllDirty();
}

void ScreenModel::NewLine() {
  col_ = 1;
  if (row_ < rows_) {
    ++row_;
  } else {
    ScrollUp();
  }
}

void ScreenModel::PutGlyph(std::uint8_t ch) {
  CellAt(row_, col_) =
      Cell{ch, static_cast<std::uint8_t>(colors_.fg), static_cast<std::uint8_t>(colors_.bg)};
  dirty_[static_cast<std::size_t>(row_ - 1)] = 1;
  anyDirty_ = true;
  // The cursor wraps as soon as the last column is written, so 80 characters
  // on the bottom row scroll the screen at once.
  if (col_ < cols_) {
    ++col_;
  } else {
    NewLine();
  }
}

void ScreenModel::Print(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte == '\r') {
      col_ = 1;
    } else if (byte == '\n') {
      NewLine();
    } else {
      PutGlyph(byte);
    }
  }
}

void ScreenModel::PrintZone() {
  const int next = ((col_ - 1) / kZoneWidth + 1) * kZoneWidth + 1;
  if (next > cols_) {
    NewLine();
    return;
  }
  while (col_ < next) PutGlyph(' ');
}

void ScreenModel::MarkClean() {
  std::fill(dirty_.begin(), dirty_.end(), 0);
  anyDirty_ = false;
  cleanRow_ = row_;
  cleanCol_ = col_;
  cleanCursorVisible_ = cursorVisible_;
}

void ScreenModel::MarkAllDirty() {
  std::fill(dirty_.begin(), dirty_.end(), 1);
  anyDirty_ = true;
}
