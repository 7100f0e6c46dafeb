#pragma once
// The message row, key waits and the screen reset that every screen uses. A
// message paints one row in its own colours, waits, then blanks the row and
// puts colours and cursor back.

#include <cstdint>
#include <string>
#include <string_view>

// Alert beeps are allowed only while this is below -1 (a budget counted up
// by each beep); nothing in the program lowers it.
extern std::int32_t AlertCount;

// mode 0 saves the row's state and shows, 1 removes (restores and blanks),
// 2 restores only, any other value shows without saving. Rows outside 0 to
// 25 have no saved state and are ignored. text becomes its padded form.
void MessageLine(int mode, int row, int bg, int fg, std::string& text);
// waitMs 0 waits for a key (Home there ends the program: ProgramEnd, status
// 0); otherwise shows the message for waitMs and returns the first waiting
// key, or empty.
std::string ShowMessage(int row, int bg, int fg, std::string& text, int waitMs);
void ShowError(std::string_view text);
void ReportError(std::string_view text);
void AlertBeep();
// Returns F9 or Ctrl-R (byte 18); F10 and F11 end the program (ProgramEnd).
std::string AskContinue(int row, int bg, int fg, std::string& text);
void ShowNote(int row, int bg, int fg, std::string& text);
std::string WaitKey();
void WaitKeyDiscard();
void FlushKeys();
void PauseOnKey();
void PressAnyKey();
void ResetScreen();
