#pragma once
// The serial terminal on the board UART: shows what the remote console
// sends, captures it in "Term.txt", sends typed keys, plays macros and shows
// the help text. Returns when the user presses Shift-F2. The UART's engine
// and its consumer run on `tasks`.

#include <cstdint>
#include <string_view>

class TaskHost;

void RunTerminal(std::string_view title, std::int32_t baudRate, TaskHost& tasks);
