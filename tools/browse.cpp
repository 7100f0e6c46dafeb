// q7m-browse: the file selector and text viewer on their own, without any
// board: picks a file in the directory given (or the current one) and shows
// it. Esc in the selector quits.

#include <string>

#include "app/settings.h"
#include "app/terminal_program.h"
#include "console/console.h"
#include "widgets/file_browse.h"

int main(int argc, char** argv) {
  const std::string startDir = argc > 1 ? std::string(argv[1]) : std::string(".");
  return RunOnTerminal("q7m-browse", [&](TaskHost&) {
    InitSettings();
    SetColor(7, 0);
    ClearScreen();
    BrowseAndViewFile(startDir);
  });
}
