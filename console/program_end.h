#pragma once
// How the program ends from wherever it is on the screen's thread (Home at a
// message, F10 at a prompt, a board that cannot be opened, a termination
// signal or a hang-up seen by the console's wait): by throwing ProgramEnd,
// which unwinds to the program's entry. On the way every owner cleans up by
// its destructor (the UART session gives the capture every byte received);
// at the entry the terminal is given back, and the program exits with
// `status` or dies of `signal`.

#include <string>

struct ProgramEnd {
  int status = 0;
  // The termination signal that ended the program, 0 when none.
  int signal = 0;
  // Printed again on the restored terminal, so that a start-up failure stays
  // readable in the shell.
  std::string line;

  static ProgramEnd BySignal(int sig) {
    ProgramEnd end;
    end.signal = sig;
    return end;
  }
  static ProgramEnd WithLine(std::string text) {
    ProgramEnd end;
    end.line = std::move(text);
    return end;
  }
};
