// q7m-uart itself in a real terminal (tmux) on the simulated board, with a
// pseudo-terminal as the remote console: what a person sees, what the wire
// carries, and what the board's registers get.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/flood_text.h"
#include "sim/receive_tally.h"
#include "tests/pcie-linux/fake_sysfs.h"
#include "tests/support/child_process.h"
#include "tests/support/stall_witnesses.h"
#include "tests/support/tmux_session.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kBuild = Q7M_BUILD_DIR;

std::vector<std::string> TraceLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadWholeFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The register writes and library calls of the trace, without the timing lines.
std::vector<std::string> TraceCalls(const fs::path& path) {
  std::vector<std::string> calls;
  for (const std::string& line : TraceLines(path)) {
    if (line.rfind("reg ", 0) == 0 || line.rfind("call ", 0) == 0) calls.push_back(line);
  }
  return calls;
}

// The numbers after `kind` on each trace line of that kind ("tx 65 1234" gives 65, 1234).
std::vector<std::vector<std::uint64_t>> TraceValues(const fs::path& path, const std::string& kind) {
  std::vector<std::vector<std::uint64_t>> rows;
  for (const std::string& line : TraceLines(path)) {
    if (line.rfind(kind + " ", 0) != 0) continue;
    std::istringstream fields(line.substr(kind.size()));
    std::vector<std::uint64_t> values;
    for (std::uint64_t v; fields >> v;) values.push_back(v);
    rows.push_back(values);
  }
  return rows;
}

// The program installed in a folder of its own with a configuration, started
// by a shell from another folder, with routes 2 and 3 bridged to a pty.
class UartInTmux : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("q7m-e2e-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    programDir = root / "program";
    elsewhere = root / "elsewhere";
    fs::create_directories(programDir);
    fs::create_directories(elsewhere);
    fs::copy_file(kBuild + "/bin/q7m-uart", programDir / "q7m-uart");
    ptyPath = root / "remote-pty";
    tracePath = root / "trace.txt";
    rxCountPath = root / "rx-count";
  }
  void TearDown() override {
    if (remote >= 0) ::close(remote);
    session.reset();
    fs::remove_all(root);
  }
  void WriteConfig(const std::string& text) { std::ofstream(programDir / "Q7m_Uart.cfg") << text; }

  void Start(const std::string& routes = "2,3", int rows = 25, int cols = 80) {
    TmuxSession::Options options;
    options.rows = rows;
    options.cols = cols;
    options.directory = elsewhere.string();
    options.environment = {"LD_LIBRARY_PATH=" + kBuild + "/sim", "Q7M_SIM_PTY=" + ptyPath.string(),
                           "Q7M_SIM_PTY_ROUTES=" + routes, "Q7M_SIM_TRACE=" + tracePath.string(),
                           "Q7M_SIM_RX_COUNT=" + rxCountPath.string()};
    session = std::make_unique<TmuxSession>("sh", options);
    ASSERT_TRUE(session->Started());
    ASSERT_TRUE(session->TypeAtPrompt((programDir / "q7m-uart").string() + "; echo EXIT=$?"))
        << session->Capture();
  }
  void OpenRemote() {
    for (int i = 0; i < 200 && remote < 0; ++i) {
      remote = ::open(ptyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (remote < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_GE(remote, 0) << "the simulated board did not link its pty at " << ptyPath;
  }
  void RemoteWrite(const std::string& bytes) {
    ASSERT_EQ(::write(remote, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads what the UART sent until `count` bytes came, with their arrival times.
  std::vector<std::pair<char, Clock::time_point>> RemoteRead(std::size_t count) {
    std::vector<std::pair<char, Clock::time_point>> got;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (got.size() < count && Clock::now() < deadline) {
      pollfd fd{remote, POLLIN, 0};
      if (::poll(&fd, 1, 20) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::read(remote, buffer, sizeof buffer);
      const auto now = Clock::now();
      for (ssize_t i = 0; i < n; ++i) got.emplace_back(buffer[i], now);
    }
    return got;
  }
  static std::string Bytes(const std::vector<std::pair<char, Clock::time_point>>& got) {
    std::string text;
    for (const auto& [c, t] : got) text.push_back(c);
    return text;
  }

  // The receive side's figures (the bytes the program took from the UART
  // first), as the simulated board keeps them however the program ended.
  q7m::sim::ReceiveTally Tally() const {
    q7m::sim::ReceiveTally tally;
    std::ifstream(rxCountPath, std::ios::binary)
        .read(reinterpret_cast<char*>(&tally), sizeof tally);
    return tally;
  }

  fs::path root, programDir, elsewhere, ptyPath, tracePath, rxCountPath;
  std::unique_ptr<TmuxSession> session;
  int remote = -1;
};

TEST_F(UartInTmux, MenuTerminalMacrosHelpCaptureAndQuit) {
  WriteConfig("#F1 \"xyzuvw\" CR\n#HELP first help line\n\"\nthird help line\n");
  Start();
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  const auto menu = session->Lines();
  ASSERT_GE(menu.size(), 15u);
  EXPECT_EQ(menu[1], "------------------------           ST1");
  EXPECT_EQ(menu[3], " <0> UART352 <-> VSC7420           ---  5-pins J27 <-> KB20Q Console");
  EXPECT_EQ(menu[12], " <5> UART352 <-> VSC7420           XXX  5-pins J27 <-> KB20T Console");
  EXPECT_EQ(menu[14], " <R> Reset VSC7420                 <Q> Quit");
  OpenRemote();

  session->SendText("3");
  ASSERT_TRUE(session->WaitForLine(
      "KB20T Console - NEL=Q7M     <Fx>Macro  <SF1>Help  <SF2>Exit  Baud: 115200"))
      << session->Capture();
  auto trace = TraceCalls(tracePath);
  const auto firstReg = std::find_if(trace.begin(), trace.end(),
                                     [](const std::string& l) { return l.rfind("reg ", 0) == 0; });
  ASSERT_NE(firstReg, trace.end());
  EXPECT_EQ(*firstReg, "reg 8 3") << "the route is written before the UART is set up";
  EXPECT_EQ(*(firstReg + 1), "reg 0 61") << "then the divisor, low byte first";

  RemoteWrite("hello \x1B[1;31mred\x1B[0m\r\n");
  ASSERT_TRUE(session->WaitForLine("hello red")) << session->Capture();
  EXPECT_EQ(session->Lines()[3], "hello red") << "received text starts on row 4";
  const std::string coloured = session->CaptureWithColors();
  const auto red = coloured.find("red\x1B");
  ASSERT_NE(red, std::string::npos) << coloured;
  const auto sgr = coloured.rfind("\x1B[", red);
  EXPECT_NE(coloured.substr(sgr, red - sgr).find("91"), std::string::npos)
      << "bright red: " << coloured.substr(sgr, red - sgr + 3);

  session->SendText("a");
  session->SendKeys({"Up", "C-z"});
  EXPECT_EQ(Bytes(RemoteRead(5)), "a\x1B[A\x03");

  const std::size_t sentBefore = TraceValues(tracePath, "tx").size();
  session->SendKeys({"F1"});
  ASSERT_EQ(Bytes(RemoteRead(7)), "xyzuvw\r");
  // Each byte leaves at least 10 ms after the one before, on the board's clock.
  const auto sent = TraceValues(tracePath, "tx");
  ASSERT_EQ(sent.size(), sentBefore + 7);
  for (std::size_t i = sentBefore + 1; i < sent.size(); ++i) {
    ASSERT_EQ(sent[i].size(), 2u);
    EXPECT_GE(sent[i][1] - sent[i - 1][1], 10'000'000u) << "gap before byte " << i - sentBefore;
  }

  session->SendKeys({"S-F1"});
  ASSERT_TRUE(session->WaitForLine("first help line")) << session->Capture();
  const auto help = session->Lines();
  EXPECT_EQ(help[0], "first help line");
  EXPECT_EQ(help[1], "");
  EXPECT_EQ(help[2], "third help line");

  session->SendKeys({"S-F2"});
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  EXPECT_EQ(ReadWholeFile(programDir / "Term.txt"), "hello red\r\n")
      << "the capture is beside the program and holds exactly what was shown";
  EXPECT_FALSE(fs::exists(elsewhere / "Term.txt"));

  session->SendText("r");
  session->SendText("q");
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  trace = TraceCalls(tracePath);
  ASSERT_GE(trace.size(), 5u);
  const std::vector<std::string> tail(trace.end() - 5, trace.end());
  const std::vector<std::string> expected = {"reg 7 1", "reg 7 0", "reg 8 0", "call MUnmap",
                                             "call Close"};
  EXPECT_EQ(tail, expected);
  const auto pulses = TraceValues(tracePath, "reset-pulse");
  ASSERT_EQ(pulses.size(), 1u);
  EXPECT_GE(pulses[0].at(0), 10'000'000u) << "the reset is held for 10 ms on the board's clock";
  EXPECT_EQ(session->Format("#{alternate_on}"), "0") << "the terminal is given back";
}

TEST_F(UartInTmux, AWindowTooSmallIsSaidOnceBeforeTheMenu) {
  WriteConfig("#COMMODE 115200\n");
  Start("2", 20, 70);
  ASSERT_TRUE(session->WaitForText("Window 70 x 20; the screens need 80 x 25"))
      << session->Capture();
  EXPECT_EQ(session->Lines().size(), 20u) << session->Capture();
  EXPECT_NE(session->Lines().back().find("Window 70 x 20"), std::string::npos)
      << "on the window's last row: " << session->Capture();
  session->SendText(" ");
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  EXPECT_EQ(session->Capture().find("Window 70 x 20"), std::string::npos) << session->Capture();
  // Into a terminal and back: nothing more is said about the size.
  session->SendText("2");
  ASSERT_TRUE(session->WaitForText("CON-5Pins Console")) << session->Capture();
  session->SendKeys({"S-F2"});
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  session->SendText("q");
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_EQ(session->Capture().find("Window 70 x 20"), std::string::npos) << session->Capture();
}

TEST_F(UartInTmux, BootLogAfterAResetArrivesWhole) {
  // At line rate, in real time, on whatever machine runs the tests.
  const StallWitnesses witnesses;
  WriteConfig("#COMMODE 115200\n");
  Start("2");
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  session->SendText("r");
  session->SendText("0");
  const bool prompted = session->WaitFor(
      [&] {
        const std::string screen = session->Capture();
        return screen.find("vsc7420#") != std::string::npos ||
               screen.find("UartRcvStr") != std::string::npos;
      },
      std::chrono::seconds(15));
  ASSERT_TRUE(prompted) << session->Capture();
  if (session->Capture().find("UartRcvStr") != std::string::npos) {
    // The UART overflowed and its message waits: Home there ends the
    // program, and the board's figures say whether the host explains it.
    session->SendKeys({"Home"});
    ASSERT_TRUE(session->WaitForText("EXIT=")) << session->Capture();
    const std::string trace = ReadWholeFile(tracePath);
    ASSERT_TRUE(witnesses.ExcuseUartLoss(trace, UartBufferUs(115200)))
        << "the UART lost bytes too often for the host alone: " << trace;
    GTEST_SKIP() << "the UART overflowed while the host held the machine: " << trace;
  }
  session->SendKeys({"S-F2"});
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  const std::string capture = ReadWholeFile(programDir / "Term.txt");
  const std::string screen = session->Capture();
  EXPECT_GT(capture.size(), 2000u);
  EXPECT_NE(capture.find("vsc7420# "), std::string::npos);
  session->SendText("q");
  EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  // An overflow only where the host held the machine through the poll gap,
  // as a witness saw.
  const std::string trace = ReadWholeFile(tracePath);
  if (TraceStat(trace, "rx-lost") == 0) {
    EXPECT_EQ(capture.find("Overflow"), std::string::npos);
    EXPECT_EQ(screen.find("UartRcvStr"), std::string::npos) << screen;
  } else {
    EXPECT_TRUE(witnesses.ExcuseUartLoss(trace, UartBufferUs(115200)))
        << "the UART lost bytes too often for the host alone: " << trace;
  }
}

TEST_F(UartInTmux, MissingConfigurationIsReportedAndHomeEndsTheProgram) {
  Start();
  ASSERT_TRUE(session->WaitForText("Config file not found: Q7m_Uart.cfg")) << session->Capture();
  session->SendKeys({"Home"});
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_EQ(session->Format("#{alternate_on}"), "0");
}

TEST_F(UartInTmux, CaptureSurvivesSigterm) {
  WriteConfig("#HELP none\n");
  Start();
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  OpenRemote();
  session->SendText("3");
  ASSERT_TRUE(session->WaitForText("<SF2>Exit")) << session->Capture();
  RemoteWrite("kept in the capture\r\n");
  ASSERT_TRUE(session->WaitForLine("kept in the capture")) << session->Capture();
  const std::string pid = session->Format("#{pane_pid}");
  // The shell's child is the program.
  ASSERT_EQ(std::system(("pkill -TERM -P " + pid + " -x q7m-uart").c_str()), 0);
  ASSERT_TRUE(session->WaitForText("EXIT=143")) << session->Capture();
  EXPECT_EQ(ReadWholeFile(programDir / "Term.txt"), "kept in the capture\r\n");
  EXPECT_EQ(session->Format("#{alternate_on}"), "0");
}

// The bytes the UART sent, in order, as the trace has them.
std::string SentBytes(const fs::path& trace) {
  std::string sent;
  for (const auto& values : TraceValues(trace, "tx")) {
    if (!values.empty()) sent.push_back(static_cast<char>(values[0]));
  }
  return sent;
}

TEST_F(UartInTmux, WhatArrivesWhileAMacroWaitsIsShownAtOnceAndShiftF2EndsTheMacroThere) {
  // F6 of the sample configuration, with a wait long enough that no stall of
  // this machine can outlast it.
  WriteConfig("#F6 \"reboot\" CR W20000 CR\n");
  Start("2");
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  session->SendText("0");
  ASSERT_TRUE(session->WaitForText("<SF2>Exit")) << session->Capture();
  session->SendKeys({"F6"});
  ASSERT_TRUE(session->WaitForText("System ready", std::chrono::seconds(15))) << session->Capture();
  EXPECT_EQ(SentBytes(tracePath), "reboot\r") << "the screen showed the reboot log during the wait";
  EXPECT_EQ(ReadWholeFile(programDir / "Term.txt").rfind("reboot", 0), 0u)
      << "after the command's echo (the log has scrolled it off the screen)";
  session->SendKeys({"S-F2"});
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  session->SendText("q");
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_EQ(SentBytes(tracePath), "reboot\r") << "nothing of the macro after Shift-F2";
  EXPECT_NE(ReadWholeFile(programDir / "Term.txt").find("System ready"), std::string::npos);
}

TEST_F(UartInTmux, ShiftF2EndsALongMacroAndNothingMoreOfItIsSent) {
  WriteConfig("#F7 \"" + std::string(400, 'x') + "\"\n");
  Start("2");
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  OpenRemote();
  session->SendText("2");
  ASSERT_TRUE(session->WaitForText("<SF2>Exit")) << session->Capture();
  session->SendKeys({"F7"});
  ASSERT_EQ(Bytes(RemoteRead(20)), std::string(20, 'x'));
  session->SendKeys({"S-F2"});
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  const std::size_t sent = SentBytes(tracePath).size();
  session->SendText("q");
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_EQ(SentBytes(tracePath), std::string(sent, 'x')) << "nothing sent once back at the menu";
  EXPECT_LT(sent, 400u) << "the macro ended before its end";
}

TEST_F(UartInTmux, HomeAtAMessageEndsAtOnceAndLeavesTheBoardAsItIs) {
  WriteConfig("#F1 X\n");
  Start("2");
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  OpenRemote();
  session->SendText("2");
  ASSERT_TRUE(session->WaitForText("<SF2>Exit")) << session->Capture();
  RemoteWrite("first line\r\nsecond line\r\n");
  ASSERT_TRUE(session->WaitForLine("second line")) << session->Capture();
  session->SendKeys({"F1"});
  ASSERT_TRUE(session->WaitForText("Cmd:X   Pos1 ??")) << session->Capture();
  const std::vector<std::string> before = TraceCalls(tracePath);
  session->SendKeys({"Home"});
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_EQ(TraceCalls(tracePath), before) << "no register write, the board left mapped";
  EXPECT_EQ(ReadWholeFile(programDir / "Term.txt"), "first line\r\nsecond line\r\n");
  EXPECT_EQ(session->Format("#{alternate_on}"), "0") << "the terminal was given back";
}

// Every way out of the program during a flood: the capture holds every byte
// the program took from the UART before it, in order.
class UartEndedDuringAFlood : public UartInTmux, public ::testing::WithParamInterface<int> {};

TEST_P(UartEndedDuringAFlood, TheCaptureHoldsEveryByteReceivedBeforeIt) {
  const int sig = GetParam();
  const StallWitnesses witnesses;
  WriteConfig("#COMMODE 115200\n");
  Start("2");
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  OpenRemote();
  session->SendText("2");
  ASSERT_TRUE(session->WaitForText("<SF2>Exit")) << session->Capture();
  // 20 s of line, written as the line takes it.
  const std::string flood = q7m::sim::FloodText(0, 230400);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::size_t at = 0; at < flood.size() && !stop;) {
      const ssize_t n =
          ::write(remote, flood.data() + at, std::min<std::size_t>(1024, flood.size() - at));
      if (n > 0) {
        at += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  });
  const fs::path capture = programDir / "Term.txt";
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (ReadWholeFile(capture).size() < 20000 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string pid = session->Format("#{pane_pid}");
  // The shell's child is the program.
  const int killed =
      std::system(("pkill -" + std::to_string(sig) + " -P " + pid + " -x q7m-uart").c_str());
  // A shell leaves the rest of its command line when its child dies of
  // SIGINT, as after Ctrl-C: then the program's end is its process gone.
  const bool ended = sig == SIGINT ? session->WaitFor([&] {
    return std::system(("pgrep -P " + pid + " -x q7m-uart >/dev/null").c_str()) != 0;
  })
                                   : session->WaitForText("EXIT=" + std::to_string(128 + sig));
  stop = true;
  writer.join();
  ASSERT_EQ(killed, 0);
  ASSERT_TRUE(ended) << session->Capture();
  const q7m::sim::ReceiveTally tally = Tally();
  const std::uint64_t received = tally.rxBytes;
  const std::string captured = ReadWholeFile(capture);
  EXPECT_GE(received, 20000u);
  EXPECT_EQ(captured.size(), received) << "bytes captured against bytes taken from the UART";
  EXPECT_TRUE(InOrderWithin(captured, flood)) << "the capture is the flood, some bytes left out";
  if (captured != flood.substr(0, captured.size())) {
    // The UART dropped bytes: only the host may have held its poller that
    // long.
    EXPECT_GT(tally.overflows, 0u) << "bytes missing from the capture that the UART did not drop";
    EXPECT_TRUE(witnesses.ExcuseUartLoss(tally.overflows, tally.maxGapUs, tally.maxGapEndUs,
                                         UartBufferUs(115200)))
        << tally.overflows << " overflows; the longest gap, " << tally.maxGapUs
        << " us, was not the host's";
  }
  EXPECT_EQ(session->Format("#{alternate_on}"), "0") << "the terminal was given back";
}

INSTANTIATE_TEST_SUITE_P(TerminationAndCrash, UartEndedDuringAFlood,
                         ::testing::Values(SIGTERM, SIGHUP, SIGINT, SIGSEGV, SIGABRT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

TEST_F(UartInTmux, BaudRateFromTheConfigurationReachesTheTerminal) {
  WriteConfig("#COMMODE 57600\n");
  Start();
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  session->SendText("3");
  ASSERT_TRUE(session->WaitForLine(
      "KB20T Console - NEL=Q7M     <Fx>Macro  <SF1>Help  <SF2>Exit  Baud: 57600"))
      << session->Capture();
  const auto trace = TraceCalls(tracePath);
  EXPECT_NE(std::find(trace.begin(), trace.end(), "reg 0 122"), trace.end())
      << "divisor 2170 (0x087A): low byte 0x7A";
  session->SendKeys({"S-F2"});
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  session->SendText("q");
  EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
}

TEST_F(UartInTmux, StartUpFailureLineStaysReadableInTheShell) {
  // No access library anywhere the loader looks: not beside the program, and
  // the search path names an empty folder.
  TmuxSession::Options options;
  options.directory = elsewhere.string();
  options.environment = {"LD_LIBRARY_PATH=" + elsewhere.string()};
  session = std::make_unique<TmuxSession>("sh", options);
  ASSERT_TRUE(session->Started());
  ASSERT_TRUE(session->TypeAtPrompt((programDir / "q7m-uart").string() + "; echo EXIT=$?"));
  ASSERT_TRUE(session->WaitForLine("InitPcieDllAccess failed - invalid dll handle"))
      << session->Capture();
  EXPECT_EQ(session->Format("#{alternate_on}"), "1") << "the program waits for a key";
  session->SendText("x");
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_EQ(session->Format("#{alternate_on}"), "0");
  EXPECT_TRUE(session->WaitForLine("InitPcieDllAccess failed - invalid dll handle"))
      << "printed again on the restored terminal: " << session->Capture();
}

TEST_F(UartInTmux, ASimulatedBoardVariableThatCannotBeHonouredKeepsTheBoardClosed) {
  WriteConfig("#HELP none\n");
  ptyPath = root / "no-such-folder" / "pty";
  Start();
  ASSERT_TRUE(session->WaitForLine("Cannot Open Selected Device")) << session->Capture();
  session->SendText("x");
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  const std::string log = ReadWholeFile(programDir / "PCIAccessDll.log");
  EXPECT_NE(log.find("InitPCIAccess: the simulated board 0000:03:00.0 is not opened: Q7M_SIM_PTY=" +
                     ptyPath.string()),
            std::string::npos)
      << log;
  EXPECT_EQ(TraceLines(tracePath).back(), "call Close") << "nothing mapped, the library closed";
}

// Captures the standard output of a command (standard error dropped) and its
// exit status.
std::pair<int, std::string> Output(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// In the build tree the files are the program's folder's. No terminal is
// needed (stdin is not one), and the board is not opened.
TEST(UartCommandLine, HelpAndVersionAnswerWithoutATerminalAndNameTheProgramFolder) {
  const fs::path trace = fs::temp_directory_path() / ("q7m-help-trace-" + std::to_string(getpid()));
  for (const char* program : {"q7m-uart", "q7m-inspect", "q7m-uart-sim", "q7m-inspect-sim"}) {
    const std::string path = kBuild + "/bin/" + program;
    const auto [helpStatus, help] =
        Output("Q7M_SIM_TRACE=" + trace.string() + " " + path + " --help </dev/null");
    EXPECT_EQ(helpStatus, 0) << program;
    EXPECT_NE(help.find("Usage: q7m-"), std::string::npos) << help;
    EXPECT_NE(help.find(kBuild + "/bin/Q7m_Uart.cfg"), std::string::npos) << help;
    EXPECT_NE(help.find(kBuild + "/bin/PCIAccessDll.log"), std::string::npos) << help;
    EXPECT_EQ(help.find('\x1B'), std::string::npos) << "no terminal control";
    const auto [versionStatus, version] = Output(path + " --version </dev/null");
    EXPECT_EQ(versionStatus, 0) << program;
    const std::string name = program;
    EXPECT_EQ(version.substr(0, version.find('\n')),
              name.substr(0, name.find("-sim")) + " " + Q7M_VERSION);
  }
  EXPECT_FALSE(fs::exists(trace)) << "the simulated board was loaded";
  // Other arguments are ignored: without a terminal the program says so, as
  // with none.
  EXPECT_EQ(Output(kBuild + "/bin/q7m-uart --verbose </dev/null").first, 1);
}

// The README's command for a real board from the build tree, as written, on
// a fake sysfs tree with the board.
TEST(ReadmeCommand, RealBoardFromTheBuildTreeOpensTheBoard) {
  const fs::path source = Q7M_SOURCE_DIR;
  if (fs::path(kBuild) != source / "build") {
    GTEST_SKIP() << "the README's command names the build folder build/";
  }
  std::ifstream readme(source / "README.md");
  std::string command;
  for (std::string line; std::getline(readme, line);) {
    if (line.find("LD_LIBRARY_PATH=") != std::string::npos &&
        line.find("pcie-linux") != std::string::npos) {
      command = line.substr(line.find_first_not_of(' '));
      break;
    }
  }
  ASSERT_FALSE(command.empty()) << "no real-board command in README.md";
  const fs::path base = fs::temp_directory_path() / ("q7m-readme-" + std::to_string(getpid()));
  fs::remove_all(base);
  FakeDevice board;
  board.address = "0000:03:00.0";
  board.vendor = 0x1172;
  board.device = 0x5680;
  board.bars = {{0, 0x20000}};
  AddFakeDevice(base / "devices", board);
  fs::create_directories(base / "log");

  TmuxSession::Options options;
  options.directory = source.string();
  options.environment = {"Q7M_PCI_SYSFS_ROOT=" + (base / "devices").string(),
                         "Q7M_PCI_LOG_DIR=" + (base / "log").string()};
  auto session = StartInShell(command, options);
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << command << "\n"
                                                               << session->Capture();
  session->SendText("q");
  EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_NE(ReadWholeFile(base / "log/PCIAccessDll.log").find("Mmap: mapped"), std::string::npos);
  fs::remove_all(base);
}

// A known terminal that cannot address its cursor would show every screen as
// one run-on line: refused, as a terminal that is not known at all is.
TEST(UartOnADumbTerminal, IsRefusedInOneLineNamingTheMissingCapability) {
  for (const char* program : {"q7m-uart", "q7m-inspect"}) {
    TmuxSession::Options options;
    options.environment = {"LD_LIBRARY_PATH=" + kBuild + "/sim"};
    auto session = StartInShell("TERM=dumb " + kBuild + "/bin/" + program, options);
    ASSERT_TRUE(session->WaitForText("EXIT=1")) << session->Capture();
    const std::string line =
        std::string(program) + ": TERM=dumb cannot move the cursor (no cup in its terminfo entry)";
    EXPECT_NE(session->Capture().find(line), std::string::npos) << session->Capture();
    EXPECT_EQ(session->Capture().find("Q7M UART IO port"), std::string::npos);
  }
}

TEST(UartWithoutTerminal, SaysSoInOneLineAndFails) {
  const std::string command = kBuild + "/bin/q7m-uart </dev/null 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  EXPECT_EQ(output.rfind("q7m-uart: ", 0), 0u) << output;
  EXPECT_NE(output.find("terminal"), std::string::npos) << output;
}

}  // namespace
