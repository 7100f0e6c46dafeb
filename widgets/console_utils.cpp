#include "widgets/console_utils.h"

#include <string>

#include "app/settings.h"
#include "console/console.h"

namespace {

bool OnScreen(int row, int col) {
  return row >= 1 && row <= ScreenRows() && col >= 1 && col <= ScreenCols();
}

// Locate would leave the cursor where it was for a place off the screen and
// the text would land there instead; such pieces are not drawn at all.
void PrintAt(int row, int col, std::string_view text) {
  if (!OnScreen(row, col)) return;
  Locate(row, col);
  PrintText(text);
}

// A single vertical bar is printed with a line break after it, as the frames
// always have been (at the bottom row this scrolls, as any PrintLine does).
void BarAt(int row, int col) {
  if (!OnScreen(row, col)) return;
  Locate(row, col);
  PrintLine(std::string(1, kBoxVertical));
}

// Start, `count` runs of `width` fill bytes with `between` between them, end.
std::string Edge(char start, int count, int width, char between, char end) {
  std::string line(1, start);
  for (int cell = 0; cell < count; ++cell) {
    if (cell > 0) line.push_back(between);
    if (width > 0) line.append(static_cast<std::size_t>(width), kBoxHorizontal);
  }
  line.push_back(end);
  return line;
}

void GridEdge(int row, int left, int cells, int cellWidth, bool closed, char closedStart,
              char closedBetween, char closedEnd) {
  if (closed) {
    PrintAt(row, left, Edge(closedStart, cells, cellWidth, closedBetween, closedEnd));
  } else {
    PrintAt(row, left, Edge(kBoxLeftTee, cells, cellWidth, kBoxCross, kBoxRightTee));
  }
}

template <typename DrawRow>
void Grid(int top, int left, int cells, int cellWidth, int rows, std::int32_t topClosed,
          std::int32_t bottomClosed, DrawRow drawRow) {
  GridEdge(top, left, cells, cellWidth, topClosed == 1, kBoxTopLeft, kBoxTopTee, kBoxTopRight);
  for (int i = 1; i <= rows; ++i) drawRow(top + i);
  GridEdge(top + rows + 1, left, cells, cellWidth, bottomClosed == 1, kBoxBottomLeft, kBoxBottomTee,
           kBoxBottomRight);
}

// Shared by PrintVertical and PrintSpread: the one-character steps differ.
void PlaceText(int row, int col, std::string_view text, int fg, int bg, int rowStep, int colStep,
               int cursorVisible) {
  const int savedRow = CursorRow();
  const int savedCol = CursorCol();
  const ColorPair saved = SetColor(fg, bg);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    const int offset = static_cast<int>(i);
    const int r = row + offset * rowStep;
    const int c = col + offset * colStep;
    if (!OnScreen(r, c)) continue;
    Locate(r, c, cursorVisible);
    PrintText(text.substr(i, 1));
  }
  SetColor(saved.fg, saved.bg);
  Locate(savedRow, savedCol);
}

}  // namespace

void GfxConsoleSetup() {
  Locate(0, 0, 1);
  // The host terminal gives the text grid: the screen mode (GfxScreenMode)
  // has nothing to select, and the backend interface offers no way to
  // redefine the palette, so the terminal's colours for the 16 indices stay.
  SetColor(7, DefaultBackColor);
  ClearScreen();
}

void LibInit() {
  InitSettings();
}

void PrintVertical(int row, int col, std::string_view text, int fg, int bg) {
  PlaceText(row, col, text, fg, bg, 1, 0, -1);
}

void PrintSpread(int row, int col, std::string_view text, int fg, int bg) {
  PlaceText(row, col, text, fg, bg, 0, 1, 0);
}

void DrawBox(int top, int left, int bottom, int right, std::int32_t topClosed,
             std::int32_t bottomClosed) {
  const int inner = right - left - 1;
  PrintAt(top, left,
          topClosed == 1 ? Edge(kBoxTopLeft, 1, inner, kBoxHorizontal, kBoxTopRight)
                         : Edge(kBoxLeftTee, 1, inner, kBoxHorizontal, kBoxRightTee));
  for (int i = 1; i <= bottom - top; ++i) {
    BarAt(top + i, left);
    BarAt(top + i, right);
  }
  PrintAt(bottom, left,
          bottomClosed == 1 ? Edge(kBoxBottomLeft, 1, inner, kBoxHorizontal, kBoxBottomRight)
                            : Edge(kBoxLeftTee, 1, inner, kBoxHorizontal, kBoxRightTee));
}

void DrawGrid(int top, int left, int cells, int cellWidth, int rows, std::int32_t topClosed,
              std::int32_t bottomClosed) {
  Grid(top, left, cells, cellWidth, rows, topClosed, bottomClosed, [&](int row) {
    for (int k = 0; k <= cells; ++k) BarAt(row, left + k * (cellWidth + 1));
  });
}

void DrawGridClear(int top, int left, int cells, int cellWidth, int rows, std::int32_t topClosed,
                   std::int32_t bottomClosed) {
  std::string line(1, kBoxVertical);
  for (int k = 0; k < cells; ++k) {
    if (cellWidth > 0) line.append(static_cast<std::size_t>(cellWidth), ' ');
    line.push_back(kBoxVertical);
  }
  Grid(top, left, cells, cellWidth, rows, topClosed, bottomClosed,
       [&](int row) { PrintAt(row, left, line); });
}
