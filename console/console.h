#pragma once
// Text console services: the operations every screen is written against.
// They act on the process's one console (a screen model and the backend that
// shows it and reads keys), attached once at start-up.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "console/clocked_task.h"
#include "console/screen_model.h"

// The grid every screen is laid out for; a taller window shows more rows.
inline constexpr int kLayoutRows = 25;
inline constexpr int kLayoutCols = 80;

// Rows and columns of the window the screen is shown in; 0 when not known.
struct WindowSize {
  int rows = 0;
  int cols = 0;
};

// What a console needs from the host: show the model, decode keys, sleep, tell
// the time, sound a tone. The ncurses backend drives a real terminal; the
// memory backend serves tests with scripted keys and a virtual clock.
class ConsoleBackend {
 public:
  virtual ~ConsoleBackend() = default;
  // Shows the model on the device (only rows marked dirty need drawing). May
  // take as long as the device needs: nothing that cannot wait runs on the
  // thread that calls it.
  virtual void Present(ScreenModel& screen) = 0;
  // True when a decoded key is waiting; the key stays queued.
  virtual bool KeyWaiting() = 0;
  // The next decoded key code, or empty when none is waiting.
  virtual std::string TakeKey() = 0;
  virtual void SleepMs(int ms) = 0;
  virtual std::uint64_t NowNs() = 0;
  // Starts a tone of ms milliseconds and returns at once; the console waits.
  virtual void Tone(int hz, int ms) = 0;
  // A backend whose clock is virtual runs the task at its deadlines from
  // now on, inside its own waits, and says true; a real one says false, and
  // the task needs a thread of its own.
  virtual bool RunOnClock(ClockedTask& task) {
    (void)task;
    return false;
  }
  virtual void StopOnClock(ClockedTask& task) { (void)task; }
  // True when the clock is virtual: NowNs moves only as the console waits.
  virtual bool ClockIsVirtual() const { return false; }
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
// Lets another program use the terminal, then redraws everything.
void ConsoleSuspend();
void ConsoleResume();
