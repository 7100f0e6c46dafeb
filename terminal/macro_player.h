#pragma once
// Function-key macros and the paced key sender through which every screen
// that talks to the board UART sends its bytes.

#include <string_view>

// Sends each byte on its own, 10 ms apart, keeping the receive side drained.
void SendKeys(std::string_view text);
// Plays the macro of slot 1 to 24 (F1-F12, Shift-F1-F12). A macro of two or
// more lines starts the external program "QV.EXE" instead.
void RunMacro(int slot);
// Starts "QV.EXE" from the program's directory when it is there, else through
// the search path, with the console suspended; reports when it cannot start.
void RunExternalViewer();
