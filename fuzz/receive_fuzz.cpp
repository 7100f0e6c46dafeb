// libFuzzer harness for the terminal's receive parser: the input arrives in
// two reads split at a point taken from its first byte. Afterwards the parser
// state must be bounded, the colours valid and the cursor on the screen.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/settings.h"
#include "console/memory_console.h"
#include "terminal/receive_parser.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitSettings();
  AttachMemoryConsole().SetTimeLimitMs(UINT64_MAX / 2000000);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t split = input.empty() ? 0 : data[0] % (input.size() + 1);
  ReceiveParser parser;
  ScreenReceiveSink screen;
  TextFg = 7;
  TextBg = 0;
  SetColor(7, 0);
  ClearScreen();
  parser.Feed(input.substr(0, split), screen);
  parser.Feed(input.substr(split), screen);
  Check(parser.EscParam.size() <= 11);
  for (const char c : parser.EscParam) Check(c >= '0' && c <= '9');
  Check(TextFg >= 0 && TextFg <= 15 && TextBg >= 0 && TextBg <= 15);
  Check(SetColor() == (ColorPair{TextFg, TextBg}));
  Check(CursorRow() >= 1 && CursorRow() <= ScreenRows());
  Check(CursorCol() >= 1 && CursorCol() <= ScreenCols());
  return 0;
}
