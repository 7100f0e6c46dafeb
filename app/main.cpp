// q7m-uart: bring-up and console tool for the Q7M PCIe board.

#include <algorithm>
#include <cstdio>

#include "app/command_line.h"
#include "app/program.h"
#include "console/console.h"
#include "console/program_end.h"
#include "console/terminal_console.h"

int main(int argc, char** argv) {
  // --help and --version are answered before the terminal is touched.
  if (const auto status = AnswerCommandLine(ProgramKind::kUart, argc, argv)) return *status;
  std::string error;
  auto backend = OpenTerminalConsole(error);
  if (!backend) {
    std::fprintf(stderr, "q7m-uart: %s\n", error.c_str());
    return 1;
  }
  // The screens are laid out for 80 x 25; a taller window shows more rows below.
  ConsoleAttach(std::move(backend), std::max(25, TerminalRows()), 80);
  ProgramStartup();
  RunRoutingMenu();
  EndProgram(0);
}
