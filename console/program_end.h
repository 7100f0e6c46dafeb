#pragma once
// Every way out of the program goes through here, so that files are flushed
// and the user's terminal is given back as it was found.

#include <functional>
#include <string>

// Lines printed again on the restored terminal after the console is shut
// down, so that a start-up failure stays readable in the shell.
void RememberExitLine(std::string line);
// Work to do on every way out (flushing the capture file, say). Returns an id
// for ForgetAtProgramEnd.
int AtProgramEnd(std::function<void()> work);
void ForgetAtProgramEnd(int id);
// Runs the end work, shuts the console down, prints the remembered lines on
// stderr and exits with the status.
[[noreturn]] void EndProgram(int status);
// Runs the end work and shuts the console down without exiting.
void RunProgramEndWork();
// The way out on a termination signal the tty layer noted: the end work, the
// terminal given back, then death by the signal itself.
[[noreturn]] void EndProgramOnSignal(int sig);
