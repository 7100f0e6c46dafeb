#pragma once
// How every program on the terminal starts and ends: the terminal becomes
// the console, with a screen of 80 columns and max(25, its rows) rows; the
// body runs, with the host its UART tasks run on; and every way out of it
// (its return, or a ProgramEnd from wherever it was: Home at a message, a
// start-up failure, a termination signal, a hang-up) comes back here, where
// the terminal is given back once and the program's line, if any, is printed
// again on the restored terminal. A program ended by a signal then dies of
// it. When the terminal cannot be had, "<programName>: <reason>" goes to
// stderr and the status is 1.

#include <functional>
#include <string_view>

class TaskHost;

int RunOnTerminal(std::string_view programName, const std::function<void(TaskHost&)>& body);
