// q7m-browse: the file selector and text viewer on their own, without any
// board: picks a file in the directory given (or the current one) and shows
// it. Esc in the selector quits.

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/settings.h"
#include "console/console.h"
#include "console/program_end.h"
#include "console/terminal_console.h"
#include "widgets/file_browse.h"

int main(int argc, char** argv) {
  std::string error;
  auto backend = OpenTerminalConsole(error);
  if (!backend) {
    std::fprintf(stderr, "q7m-browse: %s\n", error.c_str());
    return 1;
  }
  ConsoleAttach(std::move(backend), std::max(25, TerminalRows()), 80);
  InitSettings();
  SetColor(7, 0);
  ClearScreen();
  BrowseAndViewFile(argc > 1 ? std::string(argv[1]) : std::string("."));
  EndProgram(0);
}
