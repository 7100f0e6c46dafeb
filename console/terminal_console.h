#pragma once
// The console on the user's real terminal, through ncursesw.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "console/console.h"

// Opens the terminal. Returns null with a one-line reason in `error` when
// stdin or stdout is not a terminal or curses cannot start.
std::unique_ptr<ConsoleBackend> OpenTerminalConsole(std::string& error);

// Rows of the open terminal (curses' LINES), 0 when none is open: the screen
// model gets max(25, this) rows.
int TerminalRows();

// How every program on the terminal starts and ends: the terminal becomes
// the console, with a screen of 80 columns and max(25, its rows) rows; body
// runs; the program ends through EndProgram(0). When the terminal cannot be
// had, "<programName>: <reason>" goes to stderr and the result is 1, for main
// to return.
int RunOnTerminal(std::string_view programName, const std::function<void()>& body);
