// One program per board, several boards in one PC: real q7m-uart programs in
// tmux, side by side, on the simulated boards and on a fake sysfs tree with
// the access library for real boards.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/pcie-linux/fake_sysfs.h"
#include "tests/support/child_process.h"
#include "tests/support/tmux_session.h"

namespace {

namespace fs = std::filesystem;

const std::string kBuild = Q7M_BUILD_DIR;
const std::string kMenu = "Q7M UART IO port 0x352:";
const std::string kKb20tTitle =
    "KB20T Console - NEL=Q7M     <Fx>Macro  <SF1>Help  <SF2>Exit  Baud: 115200";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// The test's end of a simulated board's pty.
class Remote {
 public:
  ~Remote() {
    if (fd_ >= 0) ::close(fd_);
  }
  // The link appears when the board is opened.
  bool Open(const fs::path& link, TmuxSession& session) {
    session.WaitFor([&] {
      fd_ = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      return fd_ >= 0;
    });
    return fd_ >= 0;
  }
  bool Write(const std::string& bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // What the UART sent, until `count` bytes came or 5 s passed.
  std::string Read(std::size_t count) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
};

class BoardsInTmux : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("q7m-boards-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
  }
  void TearDown() override {
    sessions.clear();
    fs::remove_all(root);
  }

  // A copy of the program in a folder of its own, with a configuration.
  fs::path Install(const std::string& name) {
    const fs::path dir = root / name;
    fs::create_directories(dir);
    fs::copy_file(kBuild + "/bin/q7m-uart", dir / "q7m-uart");
    std::ofstream(dir / "Q7m_Uart.cfg") << "#HELP none\n";
    return dir;
  }
  // The program typed at a shell's prompt, which then tells its exit status.
  TmuxSession& Run(const std::string& program, const std::vector<std::string>& environment) {
    TmuxSession::Options options;
    options.environment = environment;
    sessions.push_back(std::make_unique<TmuxSession>("sh", options));
    TmuxSession& session = *sessions.back();
    EXPECT_TRUE(session.Started());
    EXPECT_TRUE(session.TypeAtPrompt(program)) << session.Capture();
    return session;
  }
  TmuxSession& Run(const fs::path& dir, const std::vector<std::string>& environment) {
    return Run((dir / "q7m-uart").string(), environment);
  }
  static std::string ProgramPid(TmuxSession& session) {
    std::optional<int> pid;
    session.WaitFor([&] { return (pid = session.ChildPid("q7m-uart")).has_value(); });
    return pid ? std::to_string(*pid) : std::string("none");
  }
  static bool Ended(TmuxSession& session, int status) { return session.ShellStatus() == status; }

  fs::path root;
  std::vector<std::unique_ptr<TmuxSession>> sessions;
};

TEST_F(BoardsInTmux, ASecondProgramIsRefusedTheSimulatedBoardAndTheFirstGoesOn) {
  const fs::path program = Install("program");
  const fs::path pty = root / "remote";
  const fs::path firstTrace = root / "first.trace";
  const fs::path secondTrace = root / "second.trace";
  const std::vector<std::string> common = {"LD_LIBRARY_PATH=" + kBuild + "/sim",
                                           "Q7M_SIM_PTY=" + pty.string(), "Q7M_SIM_PTY_ROUTES=3"};
  auto with = [&](const fs::path& trace) {
    std::vector<std::string> environment = common;
    environment.push_back("Q7M_SIM_TRACE=" + trace.string());
    return environment;
  };

  TmuxSession& first = Run(program, with(firstTrace));
  ASSERT_TRUE(first.WaitForLine(kMenu)) << first.Capture();
  first.SendText("3");
  ASSERT_TRUE(first.WaitForLine(kKb20tTitle)) << first.Capture();
  Remote remote;
  ASSERT_TRUE(remote.Open(pty, first));
  ASSERT_TRUE(remote.Write("before the second\r\n"));
  ASSERT_TRUE(first.WaitForLine("before the second")) << first.Capture();
  const std::string firstPid = ProgramPid(first);
  const std::string traceBefore = ReadWholeFile(firstTrace);
  const fs::path linked = fs::read_symlink(pty);

  // The same program, same board, from another terminal.
  TmuxSession& second = Run(program, with(secondTrace));
  ASSERT_TRUE(second.WaitForLine("Cannot Open Selected Device")) << second.Capture();
  EXPECT_EQ(second.Format("#{alternate_on}"), "1") << "it waits for a key";
  const auto refused = Lines(ReadWholeFile(secondTrace));
  EXPECT_TRUE(
      Contains(refused, "refused 0000:03:00.0: in use by process " + firstPid + " (q7m-uart)"))
      << ReadWholeFile(secondTrace);
  second.SendText("x");
  EXPECT_TRUE(Ended(second, 0)) << second.Capture();
  const auto after = Lines(ReadWholeFile(secondTrace));
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back(), "call Close");
  EXPECT_FALSE(Contains(after, "call Mmap")) << ReadWholeFile(secondTrace);
  EXPECT_FALSE(Contains(after, "reg ")) << "the refused program never touched a register";
  EXPECT_EQ(fs::read_symlink(pty), linked) << "the first program's pty link is left alone";

  // The first one's board saw nothing of it, and its terminal goes on.
  EXPECT_EQ(ReadWholeFile(firstTrace), traceBefore);
  ASSERT_TRUE(remote.Write("after the second\r\n"));
  ASSERT_TRUE(first.WaitForLine("after the second")) << first.Capture();
  const auto screen = first.Lines();
  ASSERT_GE(screen.size(), 5u);
  EXPECT_EQ(screen[3], "before the second");
  EXPECT_EQ(screen[4], "after the second");
  first.SendText("k");
  EXPECT_EQ(remote.Read(1), "k");
  first.SendKeys({"S-F2"});
  ASSERT_TRUE(first.WaitForLine(kMenu)) << first.Capture();
  EXPECT_EQ(ReadWholeFile(program / "Term.txt"), "before the second\r\nafter the second\r\n");
  first.SendText("q");
  EXPECT_TRUE(Ended(first, 0)) << first.Capture();
}

TEST_F(BoardsInTmux, InspectIsRefusedTheBoardThatTheUartHolds) {
  const fs::path program = Install("program");
  TmuxSession& uart = Run(program, {"LD_LIBRARY_PATH=" + kBuild + "/sim"});
  ASSERT_TRUE(uart.WaitForLine(kMenu)) << uart.Capture();
  TmuxSession& inspect = Run(kBuild + "/bin/q7m-inspect", {"LD_LIBRARY_PATH=" + kBuild + "/sim"});
  ASSERT_TRUE(inspect.WaitForLine("Cannot Open Selected Device")) << inspect.Capture();
  inspect.SendText("x");
  EXPECT_TRUE(Ended(inspect, 0)) << inspect.Capture();
  uart.SendText("q");
  EXPECT_TRUE(Ended(uart, 0)) << uart.Capture();
}

TEST_F(BoardsInTmux, TwoSimulatedBoardsTwoProgramsEachWithItsOwnConsole) {
  const fs::path ptyA = root / "remote-a";
  const fs::path ptyB = root / "remote-b";
  const fs::path traceA = root / "a.trace";
  const fs::path traceB = root / "b.trace";
  // The same variables in both terminals, as a user would export them; the
  // second program picks the second board by its address.
  const std::vector<std::string> common = {
      "LD_LIBRARY_PATH=" + kBuild + "/sim", "Q7M_SIM_BOARDS=2",     "Q7M_SIM_PTY=" + ptyA.string(),
      "Q7M_SIM1_PTY=" + ptyB.string(),      "Q7M_SIM_PTY_ROUTES=3", "Q7M_SIM1_PTY_ROUTES=3"};
  std::vector<std::string> envA = common;
  envA.push_back("Q7M_SIM_TRACE=" + traceA.string());
  std::vector<std::string> envB = common;
  envB.push_back("Q7M_SIM_TRACE=" + traceB.string());
  envB.push_back("Q7M_PCI_DEVICE=0000:04:00.0");

  const fs::path dirA = Install("a");
  const fs::path dirB = Install("b");
  TmuxSession& a = Run(dirA, envA);
  TmuxSession& b = Run(dirB, envB);
  ASSERT_TRUE(a.WaitForLine(kMenu)) << a.Capture();
  ASSERT_TRUE(b.WaitForLine(kMenu)) << b.Capture();
  EXPECT_TRUE(Contains(Lines(ReadWholeFile(traceA)), "open 0000:03:00.0 by index 0"));
  EXPECT_TRUE(
      Contains(Lines(ReadWholeFile(traceB)), "open 0000:04:00.0 by Q7M_PCI_DEVICE=0000:04:00.0"));
  a.SendText("3");
  b.SendText("3");
  ASSERT_TRUE(a.WaitForLine(kKb20tTitle)) << a.Capture();
  ASSERT_TRUE(b.WaitForLine(kKb20tTitle)) << b.Capture();

  Remote remoteA, remoteB;
  ASSERT_TRUE(remoteA.Open(ptyA, a));
  ASSERT_TRUE(remoteB.Open(ptyB, b));
  ASSERT_TRUE(remoteA.Write("alpha from board 0\r\n"));
  ASSERT_TRUE(remoteB.Write("bravo from board 1\r\n"));
  ASSERT_TRUE(a.WaitForLine("alpha from board 0")) << a.Capture();
  ASSERT_TRUE(b.WaitForLine("bravo from board 1")) << b.Capture();
  // Each console's bytes were taken by its own program, so the other one
  // could not have them any more.
  EXPECT_EQ(a.Capture().find("bravo"), std::string::npos) << a.Capture();
  EXPECT_EQ(b.Capture().find("alpha"), std::string::npos) << b.Capture();

  // Typed keys go to each program's own board.
  a.SendText("1");
  EXPECT_EQ(remoteA.Read(1), "1");
  b.SendText("2");
  EXPECT_EQ(remoteB.Read(1), "2") << "the first byte board 1 sent is the second program's";

  for (TmuxSession* session : {&a, &b}) {
    session->SendKeys({"S-F2"});
    ASSERT_TRUE(session->WaitForLine(kMenu)) << session->Capture();
    session->SendText("q");
    EXPECT_TRUE(Ended(*session, 0)) << session->Capture();
  }
  EXPECT_EQ(ReadWholeFile(dirA / "Term.txt"), "alpha from board 0\r\n");
  EXPECT_EQ(ReadWholeFile(dirB / "Term.txt"), "bravo from board 1\r\n");
}

// The access library for real boards on a fake sysfs tree of two boards.
TEST_F(BoardsInTmux, OnAFakeSysfsTreeOneProgramPerBoardAndTheHolderInTheLog) {
  const fs::path tree = root / "devices";
  const fs::path logs = root / "logs";
  fs::create_directories(tree);
  fs::create_directories(logs);
  for (const char* address : {"0000:03:00.0", "0000:05:00.0"}) {
    AddFakeDevice(tree, FakeDevice{address, 0x1172, 0x5680, 0x0007, 256, {{0, 0x20000}}, {}, true});
  }
  AddFakeDevice(tree, FakeDevice{"0000:00:00.0", 0x8086, 0x1237, 7, 256, {{0, 0x1000}}, {}, true});
  const fs::path program = Install("program");
  const std::vector<std::string> environment = {"LD_LIBRARY_PATH=" + kBuild + "/pcie-linux",
                                                "Q7M_PCI_SYSFS_ROOT=" + tree.string(),
                                                "Q7M_PCI_LOG_DIR=" + logs.string()};
  const fs::path log = logs / "PCIAccessDll.log";

  TmuxSession& first = Run(program, environment);
  ASSERT_TRUE(first.WaitForLine(kMenu)) << first.Capture() << ReadWholeFile(log);
  const std::string firstPid = ProgramPid(first);

  TmuxSession& second = Run(program, environment);
  ASSERT_TRUE(second.WaitForLine("Cannot Open Selected Device")) << second.Capture();
  EXPECT_NE(ReadWholeFile(log).find("InitPCIAccess: 0000:03:00.0 is in use by process " + firstPid +
                                    " (q7m-uart)"),
            std::string::npos)
      << ReadWholeFile(log);
  second.SendText("x");
  EXPECT_TRUE(Ended(second, 0)) << second.Capture();

  // The other board, by address, while the first program holds its own.
  std::vector<std::string> other = environment;
  other.push_back("Q7M_PCI_DEVICE=0000:05:00.0");
  TmuxSession& third = Run(program, other);
  ASSERT_TRUE(third.WaitForLine(kMenu)) << third.Capture() << ReadWholeFile(log);
  EXPECT_NE(ReadWholeFile(log).find("opened 0000:05:00.0 (1172:5680, match 1 of 2) by "
                                    "Q7M_PCI_DEVICE=0000:05:00.0"),
            std::string::npos);
  EXPECT_EQ(::kill(std::stoi(firstPid), 0), 0) << "both run at once";
  EXPECT_TRUE(first.WaitForLine(kMenu));

  // An address with no board fails the open, with the devices seen.
  std::vector<std::string> wrong = environment;
  wrong.push_back("Q7M_PCI_DEVICE=0000:00:00.0");
  TmuxSession& fourth = Run(program, wrong);
  ASSERT_TRUE(fourth.WaitForLine("Cannot Open Selected Device")) << fourth.Capture();
  EXPECT_NE(ReadWholeFile(log).find("Q7M_PCI_DEVICE=0000:00:00.0 names no device"),
            std::string::npos);
  EXPECT_NE(ReadWholeFile(log).find("3 devices seen: 0000:00:00.0 8086:1237"), std::string::npos);

  // Killed, the first program leaves the board free for the next.
  // (Its terminal stays raw, so the shell cannot be asked; the process
  // is gone once the shell has reaped it.)
  ASSERT_EQ(::kill(std::stoi(firstPid), SIGKILL), 0);
  ASSERT_TRUE(first.WaitFor([&] { return ::kill(std::stoi(firstPid), 0) != 0; }));
  TmuxSession& fifth = Run(program, environment);
  ASSERT_TRUE(fifth.WaitForLine(kMenu)) << fifth.Capture() << ReadWholeFile(log);

  for (TmuxSession* session : {&third, &fifth}) {
    session->SendText("q");
    EXPECT_TRUE(Ended(*session, 0)) << session->Capture();
  }
}

}  // namespace
