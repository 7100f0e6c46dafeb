// q7m-inspect: the board library's dump screens and code view for the Q7M
// PCIe board, from a menu of their own.

#include <algorithm>
#include <cstdio>

#include "app/command_line.h"
#include "app/inspect_menu.h"
#include "console/console.h"
#include "console/program_end.h"
#include "console/terminal_console.h"

int main(int argc, char** argv) {
  // --help and --version are answered before the terminal is touched.
  if (const auto status = AnswerCommandLine(ProgramKind::kInspect, argc, argv)) return *status;
  std::string error;
  auto backend = OpenTerminalConsole(error);
  if (!backend) {
    std::fprintf(stderr, "q7m-inspect: %s\n", error.c_str());
    return 1;
  }
  // The screens are laid out for 80 x 25; a taller window shows more rows below.
  ConsoleAttach(std::move(backend), std::max(25, TerminalRows()), 80);
  InspectStartup();
  RunInspectMenu();
  EndProgram(0);
}
