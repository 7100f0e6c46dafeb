#include "widgets/file_browse.h"

#include <unistd.h>

#include <cstdint>
#include <string>

#include "app/settings.h"
#include "widgets/dir_list.h"
#include "widgets/file_selector.h"
#include "widgets/text_viewer.h"

namespace {

// A start directory that cannot be entered leaves the selector where it is.
void EnterStart(const std::string& startDir) {
  if (startDir.empty()) return;
  if (chdir(startDir.c_str()) != 0) return;
}

}  // namespace

void BrowseAndViewFile(const std::string& startDir) {
  const std::string home = CurrentDirectory();
  EnterStart(startDir);
  std::string message;
  std::int32_t clearFirst = 1;
  for (;;) {
    std::string key;
    std::string chosen;
    FileSel("View a text file", " Enter: view the file   Tab: directories   Esc: back", message,
            "*", chosen, 0, key, clearFirst);
    if (key == KeyEsc) break;
    if (key == KeyEnter && !chosen.empty()) ViewTxtFile(chosen);
    // The viewer, or a key the selector left alone, took the screen.
    clearFirst = 1;
  }
  if (!home.empty() && chdir(home.c_str()) != 0) return;
}

std::string WalkDirectories(const std::string& startDir) {
  EnterStart(startDir);
  std::string message;
  std::int32_t clearFirst = 1;
  for (;;) {
    std::string key;
    DirSel("Walk directories", " Enter on a directory: go there   Enter on the path: done   Esc",
           message, "*", 0, key, clearFirst);
    if (key == KeyEsc) return {};
    if (key == KeyEnter) break;
    clearFirst = 1;
  }
  return CurrentDirectory();
}
