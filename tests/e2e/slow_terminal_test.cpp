// q7m-uart on a terminal that stops taking its output while the simulated
// board floods the UART: the capture still gets every byte and the UART
// loses none.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "sim/flood_text.h"
#include "tests/support/child_process.h"
#include "tests/support/stall_witnesses.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kBuild = Q7M_BUILD_DIR;

class SlowTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("q7m-slow-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::copy_file(kBuild + "/bin/q7m-uart", dir / "q7m-uart");
    std::ofstream(dir / "Q7m_Uart.cfg") << "#COMMODE 115200\n";
    winsize size{};
    size.ws_row = 25;
    size.ws_col = 80;
    child = ::forkpty(&master, nullptr, nullptr, &size);
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::setenv("LD_LIBRARY_PATH", (kBuild + "/sim").c_str(), 1);
      ::setenv("Q7M_SIM_TRACE", (dir / "trace.txt").c_str(), 1);
      ::setenv("TERM", "xterm-256color", 1);
      ::setenv("LANG", "C.UTF-8", 1);
      const std::string program = (dir / "q7m-uart").string();
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    ::fcntl(master, F_SETFL, O_NONBLOCK);
  }
  void TearDown() override {
    if (child > 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
    if (master >= 0) ::close(master);
    fs::remove_all(dir);
  }

  // Reads what the program drew until `done` holds; false after the timeout.
  template <typename Done>
  bool ReadUntil(Done done, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (Clock::now() > deadline) return false;
      pollfd fd{master, POLLIN, 0};
      ::poll(&fd, 1, 20);
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) {
        drawn.append(buffer, static_cast<std::size_t>(n));
        CountMessages();
        if (drawn.size() > 65536) {
          const std::size_t cut = drawn.size() - 4096;
          drawn.erase(0, cut);
          scanned -= std::min(scanned, cut);
        }
      } else if (n == 0 || (n < 0 && errno == EIO)) {
        exited = true;
      }
    }
    return true;
  }
  // Waits for `done` without reading the terminal.
  template <typename Done>
  static bool WaitUntil(Done done, std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  bool Drawn(const std::string& text) const { return drawn.find(text) != std::string::npos; }
  // Counts the receive error messages drawn so far; each waits for a key.
  void CountMessages() {
    static const std::string kMessage = "UartRcvStr";
    for (auto at = drawn.find(kMessage, scanned); at != std::string::npos;
         at = drawn.find(kMessage, scanned)) {
      ++messages;
      scanned = at + kMessage.size();
    }
    scanned = std::max(scanned, drawn.size() - std::min(drawn.size(), kMessage.size() - 1));
  }
  std::string Capture() const { return ReadWholeFile(dir / "Term.txt"); }

  fs::path dir;
  pid_t child = -1;
  int master = -1;
  std::string drawn;
  std::size_t scanned = 0;
  int messages = 0;
  bool exited = false;
};

TEST_F(SlowTerminal, AFloodWhileNobodyReadsTheTerminalArrivesWhole) {
  const StallWitnesses witnesses;
  ASSERT_TRUE(ReadUntil([&] { return Drawn("Q7M UART IO port"); })) << drawn;
  Type("0");
  ASSERT_TRUE(ReadUntil([&] { return fs::exists(dir / "Term.txt"); }));
  Type("\r");
  ASSERT_TRUE(ReadUntil([&] { return Capture().find("vsc7420# ") != std::string::npos; }));
  // 1000 flood lines, 5.7 s of line: its screens are far more than the
  // pseudo-terminal holds.
  constexpr std::uint64_t kBytes = 1000 * q7m::sim::kFloodLineSize;
  Type("flood " + std::to_string(kBytes) + "\r");
  ASSERT_TRUE(ReadUntil([&] { return Capture().find("flood ") != std::string::npos; }));

  // From here on the terminal is not read until the console's prompt
  // follows the flood in the capture.
  const bool whole = WaitUntil(
      [&] {
        const std::string capture = Capture();
        const auto last = capture.rfind("FLOOD ");
        return last != std::string::npos && capture.find("vsc7420# ", last) != std::string::npos;
      },
      std::chrono::seconds(60));
  // The terminal was full: the drawing thread waits in its write to it.
  bool drawingWaits = false;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(child) + "/task")) {
    drawingWaits = drawingWaits || ReadWholeFile(task.path() / "wchan") == "wait_woken";
  }
  EXPECT_TRUE(whole) << "the flood did not reach the capture while the terminal was not read";

  const auto check = q7m::sim::CheckFlood(Capture());

  // Shift-F2, as xterm sends it, leaves the terminal. A receive error's
  // message on the way waits for a key and takes one.
  drawn.clear();
  scanned = 0;
  const int messagesBefore = messages;
  int keys = 0;
  while (!Drawn("Q7M UART IO port")) {
    if (messages - messagesBefore >= keys) {
      Type("\x1b[1;2Q");
      ++keys;
    }
    ASSERT_TRUE(ReadUntil([&] {
      return Drawn("Q7M UART IO port") || messages - messagesBefore >= keys;
    })) << "back in the menu";
  }
  const bool errorShown = messages > 0;
  // A message waiting for a key stops the drawing before the terminal fills.
  EXPECT_TRUE(drawingWaits || errorShown) << "the terminal was not left full";
  Type("q");
  ASSERT_TRUE(ReadUntil([&] { return exited; }));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  child = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string trace = ReadWholeFile(dir / "trace.txt");
  // Every byte the UART delivered is in the capture. The UART itself may
  // have lost bytes only while the host held the machine, as a witness saw.
  if (TraceStat(trace, "rx-lost") == 0) {
    EXPECT_FALSE(errorShown) << "a receive error was shown, and the UART lost nothing";
    EXPECT_TRUE(check.Clean()) << check.problem;
    EXPECT_EQ(check.validLines, 1000u);
  } else {
    EXPECT_TRUE(witnesses.ExcuseUartLoss(trace, UartBufferUs(115200)))
        << "the UART lost bytes too often for the host alone: " << trace;
    EXPECT_LE(check.gaps, TraceStat(trace, "rx-overflows")) << check.problem;
  }
  EXPECT_EQ(TraceStat(trace, "rx-framing"), 0u) << trace;
  // The board's figures of the polling: every flood byte the UART kept was
  // taken through the receive data register, and the status was read
  // before them.
  const std::uint64_t rxBytes = TraceStat(trace, "rx-bytes");
  const std::uint64_t statusReads = TraceStat(trace, "status-reads");
  EXPECT_GE(rxBytes + TraceStat(trace, "rx-lost"), kBytes) << trace;
  EXPECT_GT(statusReads, 0u) << trace;
  EXPECT_GE(TraceStat(trace, "accesses"), rxBytes + statusReads) << trace;
  EXPECT_GT(TraceStat(trace, "poll-wall-us"), 0u) << trace;
  EXPECT_GT(TraceStat(trace, "poll-tid"), 0u) << trace;
}

}  // namespace

namespace {

// The rule the real-time tests use to excuse a UART's loss: only a witness
// held through the poll gap excuses it, and what reached the consumer must
// still be the flood with bytes left out.
TEST(StallWitnessRule, OnlyAWitnessHeldThroughTheGapExcusesIt) {
  const StallWitnesses witnesses;
  const std::uint64_t end = MonotonicUs();
  const std::string trace =
      "reg 0 1\nstats rx-lost 5 rx-overflows 1 gap-us 20000 gap-cpu-us 3 "
      "gap-end-us " +
      std::to_string(end) + "\n";
  EXPECT_EQ(TraceStat(trace, "gap-us"), 20000u);
  EXPECT_EQ(TraceStat(trace, "rx-lost"), 5u);
  EXPECT_EQ(TraceStat(trace, "missing"), 0u);
  EXPECT_EQ(UartBufferUs(115200), 11024u);
  // Witnesses started after the gap saw none of it; one overflow is still
  // taken as chance, three are not.
  EXPECT_FALSE(witnesses.HostHeldLongestGap(trace, UartBufferUs(115200)));
  EXPECT_TRUE(witnesses.ExcuseUartLoss(trace, UartBufferUs(115200)));
  EXPECT_FALSE(witnesses.ExcuseUartLoss(
      "stats rx-overflows 3 gap-us 20000 gap-end-us " + std::to_string(end) + "\n", 11024));
  EXPECT_TRUE(witnesses.HostHeldLongestGap("stats gap-us 9000 gap-end-us 50000\n", 11024))
      << "a gap within the buffer's time needs no excuse";

  EXPECT_TRUE(InOrderWithin("ace", "abcde"));
  EXPECT_TRUE(InOrderWithin("", "abc"));
  EXPECT_FALSE(InOrderWithin("aec", "abcde")) << "reordered";
  EXPECT_FALSE(InOrderWithin("abcdef", "abcde")) << "added";
}

}  // namespace
