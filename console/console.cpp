#include "console/console.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "console/program_end.h"
#include "console/tty.h"

namespace {

struct Console {
  std::unique_ptr<ConsoleBackend> backend;
  ScreenModel screen;
  std::uint64_t toneUntilNs = 0;
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
constexpr std::uint64_t kNsPerMs = 1'000'000;

// Every call of the backend goes through these. A termination signal caught
// during one is acted on once the call has returned, and never inside it:
// acting ends the program, which destroys the backend.
void ActOnPendingSignal() {
  if (const int sig = TtyTakePendingSignal()) EndProgramOnSignal(sig);
}

void Present(Console& console) {
  console.backend->Present(console.screen);
  ActOnPendingSignal();
}

bool KeyWaits(Console& console) {
  const bool waiting = console.backend->KeyWaiting();
  ActOnPendingSignal();
  return waiting;
}

std::string TakeKey(Console& console) {
  std::string key = console.backend->TakeKey();
  ActOnPendingSignal();
  return key;
}

void Sleep(Console& console, int ms) {
  console.backend->SleepMs(ms);
  ActOnPendingSignal();
}

enum class WaitEnd {
  kTime,       // the full time, keys or not
  kTimeOrKey,  // the time, or earlier once a key waits (checked every 50 ms)
  kKey,        // until a key waits (checked every 10 ms)
};

// Every wait of the console. Times are kept in nanoseconds so that a wait
// never ends before its deadline.
void Wait(Console& console, int ms, WaitEnd end) {
  ConsoleBackend& device = *console.backend;
  Present(console);
  const std::uint64_t start = device.NowNs();
  const std::uint64_t deadline = start + static_cast<std::uint64_t>(std::max(ms, 0)) * kNsPerMs;
  const std::uint64_t keyStep = (end == WaitEnd::kKey ? kKeyPollMs : kWaitStepMs) * kNsPerMs;
  std::uint64_t nextKeyCheck = end == WaitEnd::kTime ? UINT64_MAX : start + keyStep;
  if (end == WaitEnd::kKey && KeyWaits(console)) return;
  for (;;) {
    const std::uint64_t now = device.NowNs();
    if (end != WaitEnd::kKey && now >= deadline) return;
    const std::uint64_t until =
        end == WaitEnd::kKey ? nextKeyCheck : std::min(deadline, nextKeyCheck);
    if (until > now) Sleep(console, static_cast<int>((until - now + kNsPerMs - 1) / kNsPerMs));
    if (device.NowNs() >= nextKeyCheck) {
      if (KeyWaits(console)) return;
      nextKeyCheck += keyStep;
    }
  }
}

constexpr int kToneHz = 1000;
constexpr int kToneMs = 250;

void StartTone(Console& console) {
  console.backend->Tone(kToneHz, kToneMs);
  console.toneUntilNs = console.backend->NowNs() + kToneMs * kNsPerMs;
}

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
  Present(console);
  return TakeKey(console);
}

void WaitMs(int ms) {
  auto& console = Current();
  if (ms == -1) {
    Wait(console, 0, WaitEnd::kKey);
  } else if (ms >= 100) {
    // Long waits end early when a key is waiting; the key is left for ReadKey.
    Wait(console, ms, WaitEnd::kTimeOrKey);
  } else {
    Wait(console, ms, WaitEnd::kTime);
  }
}

void PauseMs(int ms) {
  Wait(Current(), ms, WaitEnd::kTime);
}

void Beep() {
  auto& console = Current();
  Present(console);
  StartTone(console);
  Wait(console, kToneMs, WaitEnd::kTime);
}

void StartBeep() {
  auto& console = Current();
  if (console.backend->NowNs() < console.toneUntilNs) return;
  Present(console);
  StartTone(console);
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
WindowSize ConsoleWindow() {
  return Current().backend->Window();
}
std::uint64_t ConsoleNowMs() {
  return ConsoleNowNs() / 1000000;
}

std::uint64_t ConsoleNowNs() {
  return Current().backend->NowNs();
}

bool ConsoleKeyWaiting() {
  return KeyWaits(Current());
}

void ConsolePresent() {
  Present(Current());
}

void ConsoleSuspend() {
  auto& console = Current();
  Present(console);
  console.backend->Suspend();
}

void ConsoleResume() {
  auto& console = Current();
  console.backend->Resume(console.screen);
  Present(console);
}
