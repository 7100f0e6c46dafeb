#pragma once
// Start-up and the routing menu: what the program does once the console is
// attached.

#include <string>

#include "app/working_directory.h"

class TaskHost;

// The directory that holds the running executable ("" when it cannot be told).
std::string ProgramDirectory();
// Where this run reads its configuration and writes its files (see
// app/working_directory.h), worked out without changing anything.
ProgramPlaces ThisProgramPlaces();
// Makes the working folder (the program's own, or the per-user state folder
// of an installed program) current and points ConfigFilePath at the
// configuration to read. Returns the folder, or "" when the change failed;
// notice gets a line to show once ("" when there is nothing to say).
std::string ChangeToWorkingDirectory(std::string& notice);
// Start-up in order: settings, the configuration-space copy, the program's
// working directory, the board, the screen, the configuration file, the ports.
// Ends the program when the board cannot be opened. A missing configuration
// file is reported unless reportMissingConfig is false.
void ProgramStartup(bool reportMissingConfig = true);
// Draws the routing menu.
void DrawRoutingMenu();
// The menu loop; returns after "Q" has restored routing 0 and closed the board.
// The terminal's UART tasks run on `tasks`.
void RunRoutingMenu(TaskHost& tasks);
