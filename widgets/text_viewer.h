#pragma once
// A full-screen, read-only viewer that scrolls an array of text lines up and
// down and sideways, and a companion that loads a text file into one.

#include <cstdint>
#include <string>
#include <string_view>

#include "widgets/text_array.h"

// The most lines ViewTxtFile reads; the rest of a longer file is not shown.
inline constexpr std::int32_t kViewFileLines = 10000;

// Shows lines 1 to count of `lines` under the title until Esc. A count of 0
// returns at once; a count below 0 or above the array's capacity is reported
// on row 24 and nothing else is shown. The array is not changed.
void ViewTxtArray(std::string_view title, const TextArray& lines, std::int32_t count);

// When the file exists, shows its first 10000 lines (trailing spaces removed)
// under "File: " + fileName; otherwise returns at once without a message.
void ViewTxtFile(const std::string& fileName);
