#include "console/console.h"

#include <stdexcept>

namespace {

struct Console {
  std::unique_ptr<ConsoleBackend> backend;
  ScreenModel screen;
};

std::unique_ptr<Console>& Active() {
  static std::unique_ptr<Console> console;
  return console;
}

Console& Current() {
  auto& console = Active();
  if (!console) throw std::logic_error("console used before ConsoleAttach");
  return *console;
}

constexpr int kWaitStepMs = 50;
constexpr int kKeyPollMs = 10;

}  // namespace

void ConsoleAttach(std::unique_ptr<ConsoleBackend> backend, int rows, int cols) {
  ConsoleDetach();
  Active() = std::make_unique<Console>(Console{std::move(backend), ScreenModel(rows, cols)});
}

void ConsoleDetach() {
  auto& console = Active();
  if (!console) return;
  // Take it out first so that a signal arriving during shutdown finds no
  // half-closed console.
  auto closing = std::move(console);
  closing->backend->Shutdown();
}

bool ConsoleAttached() {
  return Active() != nullptr;
}
ScreenModel& ConsoleScreen() {
  return Current().screen;
}
ConsoleBackend& ConsoleDevice() {
  return *Current().backend;
}

void ClearScreen() {
  Current().screen.Clear();
}

ColorPair SetColor(std::optional<int> fg, std::optional<int> bg) {
  auto& screen = Current().screen;
  const ColorPair before = screen.Colors();
  screen.SetColors(ColorPair{fg.value_or(before.fg), bg.value_or(before.bg)});
  return before;
}

void Locate(int row, int col, int cursorVisible) {
  Current().screen.Locate(row, col, cursorVisible);
}

int CursorRow() {
  return Current().screen.CursorRow();
}
int CursorCol() {
  return Current().screen.CursorCol();
}
void PrintText(std::string_view text) {
  Current().screen.Print(text);
}

void PrintLine(std::string_view text) {
  auto& screen = Current().screen;
  screen.Print(text);
  screen.NewLine();
}

void PrintZone() {
  Current().screen.PrintZone();
}

std::string ReadKey() {
  auto& console = Current();
  console.backend->Present(console.screen);
  return console.backend->TakeKey();
}

void WaitMs(int ms) {
  auto& console = Current();
  console.backend->Present(console.screen);
  if (ms == -1) {
    while (!console.backend->KeyWaiting()) console.backend->SleepMs(kKeyPollMs);
    return;
  }
  if (ms <= 0) return;
  if (ms < 100) {
    console.backend->SleepMs(ms);
    return;
  }
  // Long waits end early when a key is waiting; the key is left for ReadKey.
  int left = ms;
  while (left > 0) {
    const int step = left < kWaitStepMs ? left : kWaitStepMs;
    console.backend->SleepMs(step);
    left -= step;
    if (console.backend->KeyWaiting()) return;
  }
}

void PauseMs(int ms) {
  auto& console = Current();
  console.backend->Present(console.screen);
  if (ms > 0) console.backend->SleepMs(ms);
}

void Beep() {
  auto& console = Current();
  console.backend->Present(console.screen);
  console.backend->Tone(1000, 250);
}

std::string ReadLine() {
  std::string line;
  for (;;) {
    WaitMs(kKeyPollMs);
    const std::string key = ReadKey();
    if (key.size() != 1) continue;
    const auto byte = static_cast<unsigned char>(key[0]);
    if (byte == 13) return line;
    if (byte == 8) {
      if (line.empty()) continue;
      line.pop_back();
      // Step back over the erased character, also across a wrapped row.
      auto& screen = Current().screen;
      int row = screen.CursorRow();
      int col = screen.CursorCol() - 1;
      if (col < 1) {
        row = row > 1 ? row - 1 : 1;
        col = screen.Cols();
      }
      screen.Locate(row, col, -1);
      screen.Print(" ");
      screen.Locate(row, col, -1);
      continue;
    }
    if (byte < 32) continue;
    line.push_back(static_cast<char>(byte));
    Current().screen.Print(key);
  }
}

int ScreenRows() {
  return Current().screen.Rows();
}
int ScreenCols() {
  return Current().screen.Cols();
}
std::uint64_t ConsoleNowMs() {
  return ConsoleNowNs() / 1000000;
}

std::uint64_t ConsoleNowNs() {
  return Current().backend->NowNs();
}

bool ConsoleKeyWaiting() {
  return Current().backend->KeyWaiting();
}

void ConsolePresent() {
  auto& console = Current();
  console.backend->Present(console.screen);
}

void ConsoleSuspend() {
  auto& console = Current();
  console.backend->Present(console.screen);
  console.backend->Suspend();
}

void ConsoleResume() {
  auto& console = Current();
  console.backend->Resume(console.screen);
  console.backend->Present(console.screen);
}
