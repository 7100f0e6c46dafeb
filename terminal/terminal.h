#pragma once
// The serial terminal on the board UART: shows what the remote console
// sends, captures it in "Term.txt", sends typed keys, plays macros and shows
// the help text. Returns when the user presses Shift-F2.

#include <cstdint>
#include <string_view>

void RunTerminal(std::string_view title, std::int32_t baudRate);
