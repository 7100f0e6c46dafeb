#pragma once
// Start-up and the routing menu: what the program does once the console is
// attached.

#include <string>

// The directory that holds the running executable ("" when it cannot be told).
std::string ProgramDirectory();
// Changes to the folder that keeps the configuration and the capture file:
// the program's own folder when writable, else the per-user folder (see
// app/working_directory.h). Returns it, or "" when the change failed.
std::string ChangeToWorkingDirectory();
// Start-up in order: settings, the configuration-space copy, the program's
// working directory, the board, the screen, the configuration file, the ports.
// Ends the program when the board cannot be opened. A missing configuration
// file is reported unless reportMissingConfig is false. Returns the working
// directory (empty when it could not be told).
std::string ProgramStartup(bool reportMissingConfig = true);
// Draws the routing menu.
void DrawRoutingMenu();
// The menu loop; returns after "Q" has restored routing 0 and closed the board.
void RunRoutingMenu();
