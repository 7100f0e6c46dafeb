#pragma once
// The user's terminal underneath the screen: its modes as they were found,
// the output that undoes what the screen did to it, and the signals on which
// it must be given back. What the signal handlers touch lives here, is filled
// in before the screen starts, and is used with async-signal-safe calls only.
//
// Termination signals (SIGTERM, SIGHUP, SIGINT) that come while the screen is
// up are only noted, and a byte on a pipe wakes the console's one wait, which
// ends the program by unwinding (console/program_end.h). Fatal signals
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) do their crash work, put the
// terminal's modes back at once and then die as they would have.

#include <string_view>

// Saves the terminal's modes and installs the handlers. Called before the
// screen library starts, so that it keeps its own hands off SIGINT and
// SIGTERM. False when the terminal's modes cannot be read (it still works,
// and restoring leaves the modes to the screen library).
bool TtyTakeOver();
// Puts the termination handlers back as they were, after a start that failed.
void TtyReleaseSignals();

// The bytes that reset the screen (attributes, colours, cursor, the
// alternate screen), worked out while the screen is up: a crash handler
// cannot ask the terminal database. Longer sequences are cut.
void TtySetResetSequence(std::string_view bytes);
// The screen's own ending (stop drawing, end the screen library), run first
// by RestoreTerminal.
void TtySetScreenEnd(void (*screenEnd)());

// Work a fatal signal does first, before the terminal is given back (saving
// what a file still lacks): async-signal-safe calls only, given `context`.
// Null for none.
void TtySetCrashWork(void (*work)(void* context), void* context);

// While alive, a fatal signal does `work` first (see TtySetCrashWork).
class TtyCrashWork {
 public:
  TtyCrashWork(void (*work)(void* context), void* context) { TtySetCrashWork(work, context); }
  ~TtyCrashWork() { TtySetCrashWork(nullptr, nullptr); }
  TtyCrashWork(const TtyCrashWork&) = delete;
  TtyCrashWork& operator=(const TtyCrashWork&) = delete;
};

// From now on the handlers act for the screen, until RestoreTerminal.
void TtySetActive();
bool TtyActive();

// Gives the terminal back: the screen's ending, then the modes as they were
// found, then the termination handlers as they were. Safe to call any number
// of times.
void RestoreTerminal();

// The termination signal noted while the screen was up, 0 when none. Taking
// it clears it.
int TtyTakePendingSignal();
bool TtySignalPending();
// Readable once a termination signal has been noted.
int TtySignalFd();
// Dies of sig by its default action; _exit(128 + sig) if that does not end
// the process.
[[noreturn]] void TtyDieOfSignal(int sig);
