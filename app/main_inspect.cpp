// q7m-inspect: the board library's dump screens and code view for the Q7M
// PCIe board, from a menu of their own.

#include "app/command_line.h"
#include "app/inspect_menu.h"
#include "app/terminal_program.h"

int main(int argc, char** argv) {
  // --help and --version are answered before the terminal is touched.
  if (const auto status = AnswerCommandLine(ProgramKind::kInspect, argc, argv)) return *status;
  return RunOnTerminal("q7m-inspect", [](TaskHost& tasks) {
    InspectStartup();
    RunInspectMenu(tasks);
  });
}
