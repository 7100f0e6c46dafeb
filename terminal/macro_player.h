#pragma once
// Function-key macros and the paced key sender through which every screen
// that talks to the board UART sends its bytes.

#include <cstdint>
#include <string_view>

class UartScreen;

// The pause after each byte sent, counted from when it left.
inline constexpr std::uint64_t kKeyGapNs = 10'000'000;

// Queues the bytes for the session's engine, which sends each on its own,
// kKeyGapNs after the previous one left; returns at once (the screen's
// thread never sleeps a key gap), unless the engine's queue is full, in which
// case it waits for room, the screen live meanwhile.
void SendKeys(UartScreen& line, std::string_view text);
// Plays the macro of slot 1 to 24 (F1-F12, Shift-F1-F12): each byte leaves
// before the next is read, and a "W" counts from when the byte before it
// left. The screen stays live; keys typed meanwhile wait, in order, except
// that Shift-F2 ends the macro (it stays unread, for the terminal). A macro
// of two or more lines starts the external program "QV.EXE" instead.
void RunMacro(UartScreen& line, int slot);
// Starts "QV.EXE" from the program's directory when it is there, else through
// the search path, with the console lent to it; reports when it cannot start.
void RunExternalViewer();
