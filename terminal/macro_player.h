#pragma once
// Function-key macros and the paced key sender through which every screen
// that talks to the board UART sends its bytes.

#include <cstdint>
#include <string_view>

// The pause after each byte sent, counted from when it left.
inline constexpr std::uint64_t kKeyGapNs = 10'000'000;

// Sends each byte on its own, kKeyGapNs apart; returns once the last one has
// left and its pause is over. While a screen's engine owns the UART the bytes
// go through it.
void SendKeys(std::string_view text);
// Plays the macro of slot 1 to 24 (F1-F12, Shift-F1-F12). A macro of two or
// more lines starts the external program "QV.EXE" instead.
void RunMacro(int slot);
// Starts "QV.EXE" from the program's directory when it is there, else through
// the search path, with the console suspended; reports when it cannot start.
void RunExternalViewer();
