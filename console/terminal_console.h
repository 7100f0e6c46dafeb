#pragma once
// The console on the user's real terminal, through ncursesw.

#include <memory>
#include <string>

#include "console/console.h"

// Opens the terminal. Returns null with a one-line reason in `error` when
// stdin or stdout is not a terminal or curses cannot start.
std::unique_ptr<ConsoleBackend> OpenTerminalConsole(std::string& error);

// Rows of the open terminal (curses' LINES), 0 when none is open: the screen
// model gets max(25, this) rows.
int TerminalRows();
