// q7m-uart: bring-up and console tool for the Q7M PCIe board.

#include "app/command_line.h"
#include "app/program.h"
#include "app/terminal_program.h"

int main(int argc, char** argv) {
  // --help and --version are answered before the terminal is touched.
  if (const auto status = AnswerCommandLine(ProgramKind::kUart, argc, argv)) return *status;
  return RunOnTerminal("q7m-uart", [](TaskHost& tasks) {
    ProgramStartup();
    RunRoutingMenu(tasks);
  });
}
