#pragma once
// q7m-inspect: a companion program that opens the board as q7m-uart does and
// offers the board library's screens from a menu of its own.

#include <string_view>

class TaskHost;

// The file, in the program's directory, that holds the configuration-space copy.
inline constexpr std::string_view kConfigImageFileName = "Q7m_Config.bin";

// Start-up as q7m-uart's, except that a missing configuration file is not
// reported: only the code view's baud rate comes from it. Ends the program
// when the board cannot be opened.
void InspectStartup();
void DrawInspectMenu();
// The menu loop; returns after "Q" has closed the board. The code view's
// UART tasks run on `tasks`.
void RunInspectMenu(TaskHost& tasks);
