// The curses console on a real pseudo-terminal: the program's thread never
// waits for a terminal that takes its output slowly, or not at all.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "console/console.h"
#include "console/terminal_console.h"

namespace {

// Waits for `fd` to become readable; false after the timeout.
bool Readable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

TEST(TerminalConsoleOnAPty, ScreensGoOnWhileNobodyReadsTheTerminal) {
  int done[2];
  ASSERT_EQ(::pipe(done), 0);
  winsize size{};
  size.ws_row = 25;
  size.ws_col = 80;
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(done[0]);
    ::setenv("TERM", "xterm-256color", 1);
    std::string error;
    auto backend = OpenTerminalConsole(error);
    if (!backend) _exit(2);
    ConsoleAttach(std::move(backend), 25, 80);
    // About three seconds of screens, each scrolled and coloured anew: far
    // more output than the pseudo-terminal holds.
    for (int i = 0; i < 300; ++i) {
      for (int line = 0; line < 3; ++line) {
        SetColor((i + line) % 16, (i / 16) % 8);
        PrintLine("line " + std::to_string(i) + "." + std::to_string(line) + " " +
                  std::string(60, static_cast<char>('A' + i % 26)));
      }
      WaitMs(10);
    }
    (void)!::write(done[1], "x", 1);
    ConsoleDetach();
    _exit(0);
  }
  ::close(done[1]);
  // The test reads nothing from the terminal until the screens are done.
  const bool finished = Readable(done[0], std::chrono::seconds(60));
  EXPECT_TRUE(finished) << "the program waited for the terminal";
  // Now the terminal is read, so that the drawing can finish and the
  // program end.
  char buffer[4096];
  std::size_t drawn = 0;
  for (;;) {
    if (!Readable(master, std::chrono::seconds(30))) break;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    drawn += static_cast<std::size_t>(n);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_GT(drawn, 0u);
  ::close(master);
  ::close(done[0]);
}

}  // namespace
