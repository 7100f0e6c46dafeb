// The curses console on a real pseudo-terminal that takes its output late.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "console/console.h"
#include "console/terminal_console.h"

namespace {

// Waits for `fd` to become readable; false after the timeout.
bool Readable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

// The wait channel of the process's thread, as the kernel names it.
std::string WaitChannel(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/wchan");
  std::string channel;
  std::getline(file, channel);
  return channel;
}

TEST(TerminalConsoleOnAPty, AScreenHeldUpByATerminalNobodyReadsArrivesWholeOnceItIsRead) {
  winsize size{};
  size.ws_row = 25;
  size.ws_col = 80;
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
  ASSERT_GE(child, 0);
  if (child == 0) {
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
    PrintLine("the end");
    WaitMs(10);
    ConsoleDetach();
    _exit(0);
  }
  // Nothing is read until the program waits for the terminal to take its
  // output: the screen's thread may wait, since the board has its own.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (WaitChannel(child) != "wait_woken" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(WaitChannel(child), "wait_woken") << "the program never waited for the terminal";
  std::string drawn;
  char buffer[4096];
  for (;;) {
    if (!Readable(master, std::chrono::seconds(30))) break;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    drawn.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(drawn.find("line 299.2"), std::string::npos) << "the last screen was drawn";
  EXPECT_NE(drawn.find("the end"), std::string::npos);
  ::close(master);
}

}  // namespace
