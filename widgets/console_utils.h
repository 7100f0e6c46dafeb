#pragma once
// Small console routines of the library: screen set-up, text placement, and
// box and grid frames drawn with the code page 437 box bytes.

#include <cstdint>
#include <string_view>

// Shows the cursor, sets light grey on DefaultBackColor and clears the screen.
void GfxConsoleSetup();
// The library's own start: the settings' start values and the key constants.
void LibInit();

// Character i of text at (row + i - 1, col) in fg on bg; spaces are skipped so
// that what is under them stays visible. Characters that would fall off the
// screen are not written. The cursor position and colours are restored.
void PrintVertical(int row, int col, std::string_view text, int fg, int bg);
// The same along the row, character i at (row, col + i - 1), with the cursor
// hidden (it stays hidden; position and colours are restored).
void PrintSpread(int row, int col, std::string_view text, int fg, int bg);

// A frame from (top, left) to (bottom, right). A closed edge has corners; an
// open one has tees, so boxes stack into one frame.
void DrawBox(int top, int left, int bottom, int right, std::int32_t topClosed,
             std::int32_t bottomClosed);
// A band of `cells` cells, each cellWidth wide and `rows` rows high, between
// vertical lines; the interiors are left as they are.
void DrawGrid(int top, int left, int cells, int cellWidth, int rows, std::int32_t topClosed,
              std::int32_t bottomClosed);
// DrawGrid that also blanks the interiors.
void DrawGridClear(int top, int left, int cells, int cellWidth, int rows, std::int32_t topClosed,
                   std::int32_t bottomClosed);

// Code page 437 box bytes.
inline constexpr char kBoxTopLeft = static_cast<char>(218);
inline constexpr char kBoxTopRight = static_cast<char>(191);
inline constexpr char kBoxBottomLeft = static_cast<char>(192);
inline constexpr char kBoxBottomRight = static_cast<char>(217);
inline constexpr char kBoxLeftTee = static_cast<char>(195);
inline constexpr char kBoxRightTee = static_cast<char>(180);
inline constexpr char kBoxTopTee = static_cast<char>(194);
inline constexpr char kBoxCross = static_cast<char>(197);
inline constexpr char kBoxBottomTee = static_cast<char>(193);
inline constexpr char kBoxVertical = static_cast<char>(179);
inline constexpr char kBoxHorizontal = static_cast<char>(196);
