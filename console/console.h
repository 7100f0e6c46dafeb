#pragma once
// Text console services: the operations every screen is written against.
// They act on the process's one console (a screen model and the backend that
// shows it and reads keys), attached once at start-up.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "console/screen_model.h"
#include "console/wait_source.h"

// The grid every screen is laid out for; a taller window shows more rows.
inline constexpr int kLayoutRows = 25;
inline constexpr int kLayoutCols = 80;

// Rows and columns of the window the screen is shown in; 0 when not known.
struct WindowSize {
  int rows = 0;
  int cols = 0;
};

// Why a backend's wait ended.
enum class WaitEnd {
  kDeadline,
  kKey,     // more keys than the mark have arrived
  kSource,  // a wait source is ready
  kSignal,  // a termination signal came (TakeSignal says which)
  kHangUp,  // the terminal went away
};

// What a console needs from the host: show the model, decode keys, wait, tell
// the time, sound a tone. The ncurses backend drives a real terminal; the
// memory backend serves tests with scripted keys and a virtual clock.
class ConsoleBackend {
 public:
  virtual ~ConsoleBackend() = default;
  // Shows the model on the device (only rows marked dirty need drawing). May
  // take as long as the device needs: nothing that cannot wait runs on the
  // thread that calls it.
  virtual void Present(ScreenModel& screen) = 0;
  // Keys decoded since the console opened, taken or not.
  virtual std::uint64_t KeysArrived() = 0;
  // The next decoded key code, or empty when none is waiting.
  virtual std::string TakeKey() = 0;
  // True when `key` is among the keys waiting (none is taken).
  virtual bool KeyQueued(std::string_view key) = 0;
  // The one place the screen's thread waits: until deadlineNs (absolute, on
  // NowNs's clock), until more than keyMark keys have arrived, or until one
  // of the sources is ready, whichever comes first; a real terminal also
  // ends it for a termination signal or a hang-up.
  virtual WaitEnd Wait(std::uint64_t deadlineNs, std::uint64_t keyMark,
                       std::span<WaitSource* const> sources) = 0;
  // The termination signal that ended a wait; taking it clears it.
  virtual int TakeSignal() { return 0; }
  virtual std::uint64_t NowNs() const = 0;
  // Starts a tone of ms milliseconds and returns at once; the console waits.
  virtual void Tone(int hz, int ms) = 0;
  // Hand the terminal to another program and take it back.
  virtual void Suspend() {}
  virtual void Resume(ScreenModel& screen) { screen.MarkAllDirty(); }
  // Give the terminal back to the user for good (idempotent).
  virtual void Shutdown() {}
  // The window's size when the console was opened.
  virtual WindowSize Window() { return {}; }
};

// Attaches the backend as the process's console with a screen of the given
// size; replaces (and shuts down) any earlier one.
void ConsoleAttach(std::unique_ptr<ConsoleBackend> backend, int rows = 25, int cols = 80);
// Shuts the backend down and forgets it.
void ConsoleDetach();
bool ConsoleAttached();
ScreenModel& ConsoleScreen();
ConsoleBackend& ConsoleDevice();

void ClearScreen();
// Either colour may be omitted; returns the pair in force before the call.
ColorPair SetColor(std::optional<int> fg = std::nullopt, std::optional<int> bg = std::nullopt);
// cursorVisible: 1 show, 0 hide, -1 (omitted) unchanged.
void Locate(int row, int col, int cursorVisible = -1);
int CursorRow();
int CursorCol();
void PrintText(std::string_view text);
void PrintLine(std::string_view text = {});
void PrintZone();
std::string ReadKey();
// The next key, waited for in the console's one wait (the watches served
// meanwhile): at once when one waits already.
std::string NextKey();
void WaitMs(int ms);
void PauseMs(int ms);
void Beep();
// Starts Beep's tone and returns at once; while a tone still sounds, it is
// joined instead (a stream of BELs is one tone, not a wait per BEL).
void StartBeep();
std::string ReadLine();

// Host services used by several screens.
int ScreenRows();
int ScreenCols();
// The size of the window that shows the screen (0 x 0 when not known): a
// window smaller than the screen shows only its top left part.
WindowSize ConsoleWindow();
std::uint64_t ConsoleNowMs();
std::uint64_t ConsoleNowNs();
// True when a key is waiting (the key stays unread).
bool ConsoleKeyWaiting();
// Pushes the screen to the device now.
void ConsolePresent();
// True when `key` is among the keys waiting; none is taken.
bool ConsoleKeyQueued(std::string_view key);

// What ends ConsoleWaitUntil besides its deadline and the source.
enum class KeyWake {
  kNone,     // keys do not end it
  kWaiting,  // a key waiting ends it (at once when one waits already)
  kNew,      // a key that arrives after the call ends it
};
enum class WaitResult {
  kTime,
  kKey,
  kSource,
  kServed,  // a watch was served: what the caller waits for may have come
};
// Waits until deadlineNs (ConsoleNowNs's clock), the key, `source` ready or
// a watch served (see ConsoleWatch), whichever comes first. Every wait of the
// console is one of these.
WaitResult ConsoleWaitUntil(std::uint64_t deadlineNs, KeyWake keys, WaitSource* source = nullptr);

// While alive, every wait of the console serves `source` when it is ready:
// `serve` runs on the screen's thread (the terminal shows received text
// from it, so the screen stays live while a macro plays).
class ConsoleWatch {
 public:
  ConsoleWatch(WaitSource& source, std::function<void()> serve);
  ~ConsoleWatch();
  ConsoleWatch(const ConsoleWatch&) = delete;
  ConsoleWatch& operator=(const ConsoleWatch&) = delete;

  WaitSource& source;
  std::function<void()> serve;
  bool serving = false;
};

// While alive, the watches wait (a message stands on its row: what arrives
// meanwhile is shown when it has gone).
class ConsoleWatchesHeld {
 public:
  ConsoleWatchesHeld();
  ~ConsoleWatchesHeld();
  ConsoleWatchesHeld(const ConsoleWatchesHeld&) = delete;
  ConsoleWatchesHeld& operator=(const ConsoleWatchesHeld&) = delete;
};
// Lets another program use the terminal, then redraws everything.
void ConsoleSuspend();
void ConsoleResume();
