// q7m-keyprobe: shows the key code the console reads for each key pressed,
// as hex bytes, so that a terminal's keys can be checked against the codes
// the screens expect. "q" quits.

#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/terminal_program.h"
#include "console/console.h"
#include "widgets/console_utils.h"

namespace {

std::string HexBytes(const std::string& key) {
  std::string text;
  for (char c : key) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%s%02X", text.empty() ? "" : " ",
                  static_cast<unsigned char>(c));
    text += byte;
  }
  return text;
}

void ProbeKeys() {
  SetColor(7, 0);
  ClearScreen();
  PrintLine("q7m-keyprobe (pid " + std::to_string(getpid()) + "): press keys, q quits");
  // The sixteen colours, each digit in its own (0 on light grey), and a few
  // code page 437 glyphs: what the terminal shows of them can be checked.
  PrintText("colours: ");
  for (int color = 0; color < 16; ++color) {
    SetColor(color, color == 0 ? 7 : 0);
    PrintText(std::string(1, "0123456789ABCDEF"[color]));
  }
  SetColor(7, 0);
  PrintLine("  glyphs: \xC9\xCD\xBB \x01 \xE3 \xB0");
  // The library's frames under them: a band of two cells and a 3 x 5 box,
  // drawn with the code page 437 line bytes.
  DrawGrid(4, 1, 2, 3, 1, 1, 1);
  DrawBox(4, 12, 6, 16, 1, 1);
  Locate(7, 1);
  int count = 0;
  for (;;) {
    WaitMs(-1);
    const std::string key = ReadKey();
    if (key.empty()) continue;
    if (key == "q") break;
    ++count;
    PrintLine("key " + std::to_string(count) + ": " + HexBytes(key));
  }
}

}  // namespace

int main() {
  return RunOnTerminal("q7m-keyprobe", [](TaskHost&) { ProbeKeys(); });
}
