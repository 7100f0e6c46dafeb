#include "app/inspect_menu.h"

#include <array>
#include <filesystem>
#include <string>

#include "app/program.h"
#include "app/settings.h"
#include "board/board_dumps.h"
#include "board/board_io.h"
#include "board/pcie_library.h"
#include "config/config_file.h"
#include "config/messages.h"
#include "console/console.h"
#include "terminal/code_view.h"
#include "widgets/file_browse.h"

namespace {

constexpr std::array<std::string_view, 16> kMenuRows = {
    "Q7M Inspect:",
    "------------",
    "",
    " <B> BAR 0 dump",
    " <C> Configuration space dump",
    "",
    " <S> Save configuration copy to Q7m_Config.bin",
    " <L> Load configuration copy from Q7m_Config.bin",
    " <W> Write configuration copy back to the board",
    "",
    " <A> ASCII code view (serial, <Ctrl-]> returns here)",
    "",
    " <F> Files: pick one and view it (Term.txt after a terminal run)",
    " <D> Directories: walk them with the directory selector",
    "",
    " <Q> Quit",
};

// A confirmation on the message row, white on green, until a key.
void Confirm(const std::string& text) {
  std::string message = text;
  ShowMessage(24, 2, 15, message, 0);
}

// Messages name the file alone: a full path would be cut at 77 characters.
void SaveImage() {
  const std::string path(kConfigImageFileName);
  if (ConfigShadowValid == 0) {
    ReportError("Configuration copy is empty - nothing saved");
  } else if (SaveConfigShadow(kConfigImageFileName)) {
    Confirm(ConfigShadowValid < ConfigShadow.size()
                ? "Only the " + std::to_string(ConfigShadowValid) + " bytes read saved to " + path
                : "Configuration copy saved to " + path);
  } else {
    ReportError("Cannot write " + path);
  }
}

void LoadImage() {
  const std::string path(kConfigImageFileName);
  if (LoadConfigShadow(kConfigImageFileName)) {
    Confirm("Configuration copy loaded from " + path);
  } else {
    ReportError("Cannot read " + path);
  }
}

}  // namespace

void InspectStartup() {
  ProgramStartup(false);
}

void DrawInspectMenu() {
  ClearScreen();
  for (const auto row : kMenuRows) PrintLine(row);
  PrintLine("");
}

void RunInspectMenu(TaskHost& tasks) {
  for (;;) {
    DrawInspectMenu();
    const std::string key = UpperKey(WaitKey());
    if (key == "B") {
      BarDumpScreen();
    } else if (key == "C") {
      ConfigDumpScreen();
    } else if (key == "S") {
      SaveImage();
    } else if (key == "L") {
      LoadImage();
    } else if (key == "W") {
      if (RestoreConfigSpace()) Confirm("Configuration copy written back to the board");
    } else if (key == "A") {
      ClearScreen();
      RunCodeViewUntil(BaudRate, kCodeViewLeaveKey, kCodeViewLeaveName, tasks);
    } else if (key == "F") {
      BrowseAndViewFile(std::filesystem::current_path().string());
    } else if (key == "D") {
      // The walk leaves the chosen directory current; the program's own
      // files stay where they were.
      const auto home = std::filesystem::current_path();
      const std::string chosen = WalkDirectories(home.string());
      std::error_code ignored;
      std::filesystem::current_path(home, ignored);
      Confirm(chosen.empty() ? std::string("No directory chosen") : "Directory chosen: " + chosen);
    } else if (key == "Q") {
      ClosePcieDllAccess();
      return;
    }
  }
}
