#include "config/messages.h"

#include <array>

#include "app/settings.h"
#include "console/console.h"
#include "console/program_end.h"

std::int32_t AlertCount = 0;

namespace {

constexpr int kMessageWidth = 78;

struct SavedRow {
  int fg = 0;
  int bg = 0;
  int row = 0;
  int col = 0;
};

std::array<SavedRow, 26>& SavedRows() {
  static std::array<SavedRow, 26> rows{};
  return rows;
}

void ShowPadded(int row, int bg, int fg, const std::string& text) {
  SetColor(fg, bg);
  Locate(row, 2);
  PrintText(text);
}

}  // namespace

void MessageLine(int mode, int row, int bg, int fg, std::string& text) {
  if (row < 0 || row >= static_cast<int>(SavedRows().size())) return;
  SavedRow& saved = SavedRows()[static_cast<std::size_t>(row)];
  if (mode == 0) {
    const ColorPair colors = SetColor();
    saved = SavedRow{colors.fg, colors.bg, CursorRow(), CursorCol()};
  }
  switch (mode) {
    case 1:
      SetColor(saved.fg, saved.bg);
      Locate(row, 1);
      PrintText(std::string(79, ' '));
      Locate(saved.row, saved.col);
      break;
    case 2:
      SetColor(saved.fg, saved.bg);
      Locate(saved.row, saved.col);
      break;
    default: {
      // One space, the message cut to 77 characters, spaces up to 78.
      const std::size_t fill =
          text.size() < kMessageWidth - 1 ? kMessageWidth - text.size() : std::size_t{1};
      text = (" " + text + std::string(fill, ' ')).substr(0, kMessageWidth);
      ShowPadded(row, bg, fg, text);
      break;
    }
  }
}

std::string ShowMessage(int row, int bg, int fg, std::string& text, int waitMs) {
  // What a screen shows as it arrives waits while the message stands.
  const ConsoleWatchesHeld held;
  MessageLine(0, row, bg, fg, text);
  std::string key;
  if (waitMs == 0) {
    key = WaitKey();
    if (key == KeyHome) {
      // At once: what the program opened is left as it is.
      ResetScreen();
      throw ProgramEnd{};
    }
  } else {
    PauseMs(waitMs);
    key = ReadKey();
  }
  MessageLine(1, row, bg, fg, text);
  return key;
}

void ShowError(std::string_view text) {
  std::string message(text);
  ShowMessage(24, 12, 15, message, 0);
}

void ReportError(std::string_view text) {
  AlertBeep();
  ShowError(text);
}

void AlertBeep() {
  if (AlertCount < -1) {
    if (BeepEnabled == 1) Beep();
    ++AlertCount;
  }
}

std::string AskContinue(int row, int bg, int fg, std::string& text) {
  const ConsoleWatchesHeld held;
  MessageLine(0, row, bg, fg, text);
  std::string key;
  for (;;) {
    key = WaitKey();
    if (key == KeyF10 || key == KeyF11) {
      ResetScreen();
      throw ProgramEnd{};
    }
    if (key == KeyF9 || key == std::string(1, '\x12')) break;
    Locate(row, 2);
    SetColor(fg, bg);
    PrintText(" <F9> to continue   <F10/F11> to abort   <Ctrl-R> to reset Q6M & continue     ");
    PauseMs(1500);
    ShowPadded(row, bg, fg, text);
  }
  MessageLine(1, row, bg, fg, text);
  return key;
}

void ShowNote(int row, int bg, int fg, std::string& text) {
  MessageLine(0, row, bg, fg, text);
  MessageLine(2, row, bg, fg, text);
}

std::string WaitKey() {
  WaitMs(10);
  for (;;) {
    std::string key = ReadKey();
    if (!key.empty()) return key;
    // Until a key waits, in the console's one wait.
    WaitMs(-1);
  }
}

void WaitKeyDiscard() {
  WaitKey();
  ReadKey();
}

void FlushKeys() {
  while (!ReadKey().empty()) {
  }
}

void PauseOnKey() {
  WaitMs(500);
  const std::string key = ReadKey();
  if (!key.empty() && key != KeyEsc) WaitKey();
}

void PressAnyKey() {
  PrintLine("");
  PrintLine("Press any key to continue");
  PrintLine("");
  WaitKey();
}

void ResetScreen() {
  SetColor(7, DefaultBackColor);
  ClearScreen();
}
