#include "console/console.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <stdexcept>
#include <vector>

#include "console/program_end.h"
#include "console/task_host.h"

namespace {

struct Console {
  std::unique_ptr<ConsoleBackend> backend;
  ScreenModel screen;
  std::uint64_t toneUntilNs = 0;
  std::uint64_t keysTaken = 0;
  std::uint64_t lastFrameNs = 0;
  // A key was read: its echo is drawn as soon as it comes, not a frame later.
  bool drawAtOnce = true;
  std::vector<ConsoleWatch*> watches;
  int watchesHeld = 0;
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

constexpr int kKeyPollMs = 10;
constexpr std::uint64_t kKeyStepNs = 50'000'000;
constexpr std::uint64_t kNsPerMs = 1'000'000;
// Changes are drawn at most this often: a flood scrolls the screen in
// frames, not once per poll of the UART.
constexpr std::uint64_t kFrameNs = 10 * kNsPerMs;

void Present(Console& console) {
  console.backend->Present(console.screen);
  console.lastFrameNs = console.backend->NowNs();
  console.drawAtOnce = false;
}

// Draws what changed once its frame is due; returns when the next frame is
// due, or kNoDeadline when nothing waits to be drawn.
std::uint64_t DrawIfDue(Console& console) {
  if (!console.screen.Changed()) return kNoDeadline;
  const std::uint64_t due = console.lastFrameNs + kFrameNs;
  if (!console.drawAtOnce && console.backend->NowNs() < due) return due;
  Present(console);
  return kNoDeadline;
}

std::string TakeKey(Console& console) {
  std::string key = console.backend->TakeKey();
  if (!key.empty()) {
    ++console.keysTaken;
    console.drawAtOnce = true;
  }
  return key;
}

// True when it served one.
bool ServeWatches(Console& console) {
  // A copy: a serve may start or end watches.
  const std::vector<ConsoleWatch*> watches = console.watches;
  bool served = false;
  for (ConsoleWatch* watch : watches) {
    if (console.watchesHeld != 0) break;
    if (watch->serving || !watch->source.Ready()) continue;
    struct Serving {
      explicit Serving(ConsoleWatch& w) : watch(w) { watch.serving = true; }
      ~Serving() { watch.serving = false; }
      ConsoleWatch& watch;
    } serving(*watch);
    watch->serve();
    served = true;
  }
  return served;
}

// Every wait of the console. A wait for time or a key alone goes on after
// serving the watches; one that asked to be told returns.
WaitResult Wait(Console& console, std::uint64_t deadline, KeyWake keys, WaitSource* source,
                bool tellServed = false) {
  ConsoleBackend& device = *console.backend;
  const std::uint64_t keyMark = keys == KeyWake::kNone      ? UINT64_MAX
                                : keys == KeyWake::kWaiting ? console.keysTaken
                                                            : device.KeysArrived();
  std::vector<WaitSource*> sources;
  for (;;) {
    const std::uint64_t frame = DrawIfDue(console);
    sources.clear();
    if (console.watchesHeld == 0) {
      for (ConsoleWatch* watch : console.watches) {
        if (!watch->serving) sources.push_back(&watch->source);
      }
    }
    if (source != nullptr) sources.push_back(source);
    switch (device.Wait(std::min(deadline, frame), keyMark, sources)) {
      case WaitEnd::kKey:
        return WaitResult::kKey;
      case WaitEnd::kSignal:
        throw ProgramEnd::BySignal(device.TakeSignal());
      case WaitEnd::kHangUp:
        // As the hang-up signal would, had the terminal been ours to lose.
        throw ProgramEnd::BySignal(SIGHUP);
      case WaitEnd::kSource:
        if (ServeWatches(console) && tellServed) return WaitResult::kServed;
        if (source != nullptr && source->Ready()) return WaitResult::kSource;
        break;
      case WaitEnd::kDeadline:
        if (device.NowNs() >= deadline) return WaitResult::kTime;
        break;
    }
  }
}

std::uint64_t After(Console& console, int ms) {
  return console.backend->NowNs() + static_cast<std::uint64_t>(std::max(ms, 0)) * kNsPerMs;
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
  auto console = std::make_unique<Console>();
  console->backend = std::move(backend);
  console->screen = ScreenModel(rows, cols);
  Active() = std::move(console);
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
  DrawIfDue(console);
  return TakeKey(console);
}

std::string NextKey() {
  auto& console = Current();
  for (;;) {
    std::string key = ReadKey();
    if (!key.empty()) return key;
    Wait(console, kNoDeadline, KeyWake::kWaiting, nullptr);
  }
}

void WaitMs(int ms) {
  auto& console = Current();
  if (ms == -1) {
    Wait(console, kNoDeadline, KeyWake::kWaiting, nullptr);
  } else if (ms >= 100) {
    // Long waits end early when a key is waiting, looked for every 50 ms;
    // the key is left for ReadKey.
    const std::uint64_t deadline = After(console, ms);
    for (std::uint64_t step = console.backend->NowNs();;) {
      step = std::min(deadline, step + kKeyStepNs);
      Wait(console, step, KeyWake::kNone, nullptr);
      if (step >= deadline || ConsoleKeyWaiting()) return;
    }
  } else {
    Wait(console, After(console, ms), KeyWake::kNone, nullptr);
  }
}

void PauseMs(int ms) {
  auto& console = Current();
  Wait(console, After(console, ms), KeyWake::kNone, nullptr);
}

WaitResult ConsoleWaitUntil(std::uint64_t deadlineNs, KeyWake keys, WaitSource* source) {
  return Wait(Current(), deadlineNs, keys, source, true);
}

void Beep() {
  auto& console = Current();
  Present(console);
  StartTone(console);
  PauseMs(kToneMs);
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
  auto& console = Current();
  return console.backend->KeysArrived() > console.keysTaken;
}

bool ConsoleKeyQueued(std::string_view key) {
  return Current().backend->KeyQueued(key);
}

void ConsolePresent() {
  Present(Current());
}

ConsoleWatch::ConsoleWatch(WaitSource& watched, std::function<void()> serveIt)
    : source(watched), serve(std::move(serveIt)) {
  Current().watches.push_back(this);
}

ConsoleWatch::~ConsoleWatch() {
  if (auto& console = Active()) std::erase(console->watches, this);
}

ConsoleWatchesHeld::ConsoleWatchesHeld() {
  ++Current().watchesHeld;
}

ConsoleWatchesHeld::~ConsoleWatchesHeld() {
  if (auto& console = Active()) --console->watchesHeld;
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
