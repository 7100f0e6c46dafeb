// q7m-uart-bridge end to end: the real program on the simulated board, whose
// remote console is a pseudo-terminal too, with real serial tools of Debian
// on the bridge's side (picocom, pexpect, lrzsz, ser2net with pyserial) and
// real programs on the remote side (sh, rz).

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/flood_text.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/stall_witnesses.h"
#include "tests/support/tmux_session.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kBuild = Q7M_BUILD_DIR;
const std::string kSource = Q7M_SOURCE_DIR;
// Debian's interpreter, with python3-pexpect and python3-serial: another
// python3 first on the PATH may lack them.
const std::string kPython = "/usr/bin/python3";
// The line's rate for the tests that stream the remote side at the bridge
// for seconds: the rate q7m-uart opens its terminals at.
constexpr int kLineRate = 115200;

// One end of a pseudo-terminal opened as a program would: the remote side
// (the simulated board's pty) or a client of the bridge.
class PtyEnd {
 public:
  explicit PtyEnd(const std::string& path) {
    // The simulated board links its pty when the board is opened.
    WaitUntil([&] { return fs::is_symlink(path); });
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  }
  ~PtyEnd() {
    if (fd_ >= 0) ::close(fd_);
  }
  PtyEnd(const PtyEnd&) = delete;
  PtyEnd& operator=(const PtyEnd&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Write(std::string_view bytes) {
    while (!bytes.empty()) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 1000);
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  // What arrives until `text` is among it (or the timeout).
  std::string ReadUntil(const std::string& text, milliseconds timeout = seconds(10)) {
    WaitUntil(
        [&] {
          Take(100);
          return got_.find(text) != std::string::npos;
        },
        timeout);
    return got_;
  }
  // Exactly `count` bytes, or what came before the timeout.
  std::string ReadCount(std::size_t count, milliseconds timeout = seconds(10)) {
    WaitUntil(
        [&] {
          Take(count - std::min(count, got_.size()));
          return got_.size() >= count;
        },
        timeout);
    return got_;
  }
  // Reads at most `max` bytes of what is there now.
  std::size_t Take(std::size_t max) {
    std::size_t taken = 0;
    char buffer[4096];
    while (taken < max) {
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, max - taken));
      if (n <= 0) break;
      got_.append(buffer, static_cast<std::size_t>(n));
      taken += static_cast<std::size_t>(n);
    }
    return taken;
  }
  const std::string& Got() const { return got_; }
  void Forget() { got_.clear(); }

 private:
  int fd_ = -1;
  std::string got_;
};

bool IsPtySlave(const std::string& path) {
  return path.rfind("/dev/pts/", 0) == 0 && path.size() > 9 &&
         path.find_first_not_of("0123456789", 9) == std::string::npos;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The trace's "tx <byte> <start ns>" lines: the bytes the UART sent, with
// their start on the board's clock.
std::vector<std::pair<int, std::uint64_t>> TraceTx(const std::string& trace) {
  std::vector<std::pair<int, std::uint64_t>> sent;
  for (const std::string& line : Lines(ReadWholeFile(trace))) {
    int byte = 0;
    unsigned long long start = 0;
    if (std::sscanf(line.c_str(), "tx %d %llu", &byte, &start) == 2) sent.emplace_back(byte, start);
  }
  return sent;
}

// Register writes and library calls of the trace, in order.
std::vector<std::string> TraceCalls(const std::string& trace) {
  std::vector<std::string> calls;
  for (const std::string& line : Lines(ReadWholeFile(trace))) {
    if (line.rfind("reg ", 0) == 0 || line.rfind("call ", 0) == 0) calls.push_back(line);
  }
  return calls;
}

// True when `wanted` appears in `calls` in this order, one right after the other.
bool HasRun(const std::vector<std::string>& calls, const std::vector<std::string>& wanted) {
  for (std::size_t i = 0; i + wanted.size() <= calls.size(); ++i) {
    if (std::equal(wanted.begin(), wanted.end(), calls.begin() + static_cast<std::ptrdiff_t>(i))) {
      return true;
    }
  }
  return false;
}

class BridgeE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    // A parameterized test's name holds a slash: one folder all the same.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    root = (fs::temp_directory_path() / ("q7m-bridge-" + std::to_string(::getpid()) + "-" + name))
               .string();
    fs::remove_all(root);
    programDir = root + "/program";
    fs::create_directories(programDir);
    // A folder of its own: the program changes to it and the access library
    // logs there.
    fs::copy_file(kBuild + "/bin/q7m-uart-bridge", programDir + "/q7m-uart-bridge");
    remotePath = root + "/remote";
    link = root + "/ttyQ7M0";
  }
  void TearDown() override {
    clients.clear();
    bridges.clear();
    fs::remove_all(root);
  }

  std::vector<std::string> SimEnvironment(const std::string& trace) const {
    return {"LD_LIBRARY_PATH=" + kBuild + "/sim", "Q7M_SIM_PTY=" + remotePath,
            "Q7M_SIM_TRACE=" + trace};
  }
  // Starts a bridge and waits until it has printed its link (or ended).
  ChildProcess& StartBridge(std::vector<std::string> arguments,
                            std::vector<std::string> environment = {},
                            const std::string& name = "bridge") {
    arguments.insert(arguments.begin(), programDir + "/q7m-uart-bridge");
    std::vector<std::string> all = SimEnvironment(root + "/" + name + ".trace");
    all.insert(all.end(), environment.begin(), environment.end());
    return StartUntilItSaysReady(arguments, all, root, name, bridges);
  }
  std::string Err(const std::string& name = "bridge") const {
    return ReadWholeFile(root + "/" + name + ".err");
  }
  std::string Trace(const std::string& name = "bridge") const {
    return root + "/" + name + ".trace";
  }
  // Stops a bridge as a service manager would and checks that it ended well.
  void StopBridge(ChildProcess& bridge, int signal = SIGTERM) {
    bridge.Signal(signal);
    EXPECT_EQ(bridge.Wait(seconds(10)), 0);
  }
  // The simulated UART's receive figures, which the board writes to the trace
  // when the bridge closes it: they tell a lost byte of the bridge's from an
  // overflow of the UART while the bridge was kept off the processor.
  std::string UartReceiveStats() const {
    const std::string trace = ReadWholeFile(Trace());
    const auto at = trace.find("stats ");
    return at == std::string::npos ? "no stats" : trace.substr(at, trace.find('\n', at) - at);
  }
  ChildProcess& Start(const std::vector<std::string>& argv, ChildProcess::Options options) {
    clients.push_back(std::make_unique<ChildProcess>(argv, options));
    return *clients.back();
  }

  std::string root, programDir, remotePath, link;
  std::vector<std::unique_ptr<ChildProcess>> bridges;
  std::vector<std::unique_ptr<ChildProcess>> clients;
};

TEST_F(BridgeE2E, PicocomTypesToTheRemoteAndShowsItsAnswerAtTheBaudAsked) {
  ChildProcess& bridge = StartBridge({"--route", "3", "--baud", "57600", "--link", link});
  ASSERT_EQ(ReadWholeFile(root + "/bridge.out"), link + "\n") << Err();
  PtyEnd remote(remotePath);
  ASSERT_TRUE(remote.ok());

  TmuxSession picocom("picocom -b 57600 " + link);
  ASSERT_TRUE(picocom.Started());
  ASSERT_TRUE(picocom.WaitForText("Terminal ready")) << picocom.Capture();
  picocom.SendText("hello remote");
  EXPECT_EQ(remote.ReadUntil("hello remote"), "hello remote");
  remote.Write("\r\nanswer from the board\r\n");
  EXPECT_TRUE(picocom.WaitForLine("answer from the board")) << picocom.Capture();

  // Routing 3, then the divisor of 57600 (2170 = 0x087A), as q7m-uart sets up.
  EXPECT_TRUE(
      HasRun(TraceCalls(Trace()), {"reg 8 3", "reg 0 122", "reg 1 8", "reg 6 193", "reg 3 1"}));
  StopBridge(bridge);
}

TEST_F(BridgeE2E, PexpectStartsAShellOnTheRemoteSideAndChecksACommandsOutput) {
  ChildProcess& bridge = StartBridge({"--route", "2", "--link", link});
  ChildProcess::Options shell;
  shell.in = shell.out = shell.err = remotePath;
  shell.newSession = true;
  shell.environment = {"ENV="};
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(remotePath); }));
  Start({"sh"}, shell);

  ChildProcess::Options script;
  script.out = root + "/pexpect.out";
  script.err = root + "/pexpect.err";
  ChildProcess& pexpect = Start({kPython, kSource + "/tests/e2e/bridge_pexpect.py", link}, script);
  EXPECT_EQ(pexpect.Wait(seconds(60)), 0) << ReadWholeFile(script.err) << Err();
  EXPECT_EQ(ReadWholeFile(script.out), "the remote shell answered\n");
  StopBridge(bridge);
}

TEST_F(BridgeE2E, ZmodemCarriesA256KiBFileByteForByteNearTheLineRate) {
  std::string file(256 * 1024, '\0');
  std::mt19937 random(12);
  for (char& c : file) c = static_cast<char>(random());
  const std::string sent = root + "/image.bin";
  std::ofstream(sent, std::ios::binary) << file;
  fs::create_directories(root + "/received");

  ChildProcess& bridge = StartBridge({"--route", "2", "--link", link});
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(remotePath); }));
  ChildProcess::Options receiver;
  receiver.in = receiver.out = remotePath;
  receiver.err = root + "/rz.err";
  receiver.directory = root + "/received";
  ChildProcess& rz = Start({"rz", "-b", "-y"}, receiver);

  ChildProcess::Options sender;
  sender.in = sender.out = link;
  sender.err = root + "/sz.err";
  const double cpuBefore = bridge.CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  ChildProcess& sz = Start({"sz", "-b", sent}, sender);
  EXPECT_EQ(sz.Wait(seconds(120)), 0) << ReadWholeFile(sender.err);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = bridge.CpuSeconds() - cpuBefore;
  // sz's last "OO" may be lost: it writes them and flushes its line at once,
  // and a pseudo-terminal throws away what the bridge has not read yet (see
  // the man page). rz then asks three times, ten seconds each, and ends well.
  EXPECT_EQ(rz.Wait(std::chrono::seconds(40)), 0) << ReadWholeFile(receiver.err);
  const std::string received = ReadWholeFile(root + "/received/image.bin");
  EXPECT_EQ(received.size(), file.size());
  EXPECT_TRUE(received == file) << "the file arrived changed";

  // Figures on the board's clock: the line's use while sz sent, and the
  // file's bytes per second against the line's 11520.
  const auto tx = TraceTx(Trace());
  ASSERT_GT(tx.size(), file.size());
  const double charNs = 1085 * 80;
  const double spanNs = static_cast<double>(tx.back().second - tx.front().second) + charNs;
  std::cout << "ZMODEM through the bridge at 115200 baud: " << tx.size()
            << " bytes on the line for a file of " << file.size() << "\n"
            << "  line busy " << static_cast<double>(tx.size()) * charNs / spanNs
            << " of the time (board clock)\n"
            << "  file throughput " << static_cast<double>(file.size()) * charNs / spanNs
            << " of the line rate (board clock), " << static_cast<double>(file.size()) / seconds
            << " bytes/s for sz's whole run (" << seconds << " s)\n"
            << "  bridge CPU " << cpu / seconds << " of a core\n";
  StopBridge(bridge);
}

TEST_F(BridgeE2E, Ser2netExportsTheBridgeOverRfc2217AndABaudChangeReachesTheUart) {
  ChildProcess& bridge = StartBridge({"--route", "2", "--link", link});
  PtyEnd remote(remotePath);
  ASSERT_TRUE(remote.ok());

  const int port = FreePort();
  const std::string config = root + "/ser2net.yaml";
  std::ofstream(config) << "connection: &bridge\n"
                        << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
                        << "  connector: serialdev," << link << ",115200n81,local\n";
  ChildProcess::Options server;
  server.out = root + "/ser2net.out";
  server.err = root + "/ser2net.err";
  ChildProcess& ser2net =
      Start({"ser2net", "-n", "-d", "-u", "-P", root + "/ser2net.pid", "-c", config}, server);
  ASSERT_TRUE(WaitUntil([&] { return Listening(port); })) << ReadWholeFile(server.err);

  ChildProcess::Options script;
  script.out = root + "/rfc2217.out";
  script.err = root + "/rfc2217.err";
  const std::string go = root + "/go";
  ChildProcess& client =
      Start({kPython, kSource + "/tests/e2e/bridge_rfc2217.py", std::to_string(port), go}, script);
  EXPECT_EQ(remote.ReadUntil("ping over the network\n"), "ping over the network\n");
  remote.Write("pong\n");
  ASSERT_TRUE(WaitForFileText(script.out, "asked for 57600")) << ReadWholeFile(script.err);

  // The client's SET-BAUDRATE became ser2net's tcsetattr on the bridge's
  // pty, and the UART's divisor for 57600.
  ASSERT_TRUE(WaitUntil([&] {
    return HasRun(TraceCalls(Trace()), {"reg 0 122", "reg 1 8", "reg 6 193", "reg 3 1"});
  })) << Err();
  std::ofstream(go) << "\n";
  remote.Forget();
  EXPECT_EQ(remote.ReadUntil("after the change\n"), "after the change\n");
  remote.Write("done\n");
  EXPECT_EQ(client.Wait(seconds(30)), 0) << ReadWholeFile(script.err);
  EXPECT_NE(ReadWholeFile(script.out).find("answered at 57600"), std::string::npos);
  EXPECT_NE(Err().find("a client set the line to 57600 baud"), std::string::npos) << Err();
  ser2net.Signal(SIGTERM);
  ser2net.Wait();
  StopBridge(bridge);
}

TEST_F(BridgeE2E, AClientsSpeedChangeAppliesAfterWhatItWroteAndAnUnusableOneIsRefused) {
  ChildProcess& bridge = StartBridge({"--route", "2", "--link", link});
  PtyEnd remote(remotePath);
  PtyEnd client(link);
  ASSERT_TRUE(remote.ok() && client.ok());
  client.Write("at 115200");
  EXPECT_EQ(remote.ReadUntil("at 115200"), "at 115200");
  termios t{};
  ASSERT_EQ(::tcgetattr(client.fd(), &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), B115200) << "the bridge's speed, for a client that asks";
  ::cfsetspeed(&t, B9600);
  ASSERT_EQ(::tcsetattr(client.fd(), TCSADRAIN, &t), 0);
  ASSERT_TRUE(WaitForFileText(root + "/bridge.err", "a client set the line to 9600 baud")) << Err();
  client.Write("at 9600");
  remote.Forget();
  EXPECT_EQ(remote.ReadUntil("at 9600"), "at 9600");
  // On the board: "at 115200" out, then the divisor of 9600 (13021), then "at 9600".
  const auto calls = TraceCalls(Trace());
  std::string order;
  for (const std::string& call : calls) {
    if (call == "reg 0 221") order += "|";
    if (call.rfind("reg 2 ", 0) == 0) order.push_back(static_cast<char>(std::stoi(call.substr(6))));
  }
  EXPECT_EQ(order, "at 115200|at 9600");

  ::cfsetspeed(&t, B1800);
  ASSERT_EQ(::tcsetattr(client.fd(), TCSANOW, &t), 0);
  ASSERT_TRUE(WaitForFileText(root + "/bridge.err", "asked for 1800 baud")) << Err();
  EXPECT_NE(Err().find("it stays at 9600"), std::string::npos) << Err();
  StopBridge(bridge);
  EXPECT_EQ(TraceCalls(Trace()).size() - calls.size(), 3u)
      << "only routing 0 and the close followed: no divisor for 1800";
}

TEST_F(BridgeE2E, AClientThatWritesAFileAndClosesAtOnceHasAllOfItSent) {
  // cat returns once the pty holds the rest: most of 16 KiB is still on its
  // way then.
  const std::string data = q7m::sim::FloodText(0, 16 * 1024);
  const std::string file = root + "/script.txt";
  std::ofstream(file, std::ios::binary) << data;
  ChildProcess& bridge = StartBridge({"--route", "2", "--link", link});
  PtyEnd remote(remotePath);
  ASSERT_TRUE(remote.ok());
  ChildProcess::Options options;
  options.in = file;
  options.out = link;
  EXPECT_EQ(Start({"cat"}, options).Wait(seconds(30)), 0);
  EXPECT_TRUE(remote.ReadCount(data.size(), seconds(30)) == data)
      << remote.Got().size() << " of " << data.size() << " bytes";
  StopBridge(bridge);
}

TEST_F(BridgeE2E, AFloodToAClientReadingASixthOfTheLineLosesNothing) {
  // 30 s of the line; the client takes a sixth of the line's bytes meanwhile
  // and the rest once the flood has ended, so most of it waits in the bridge.
  constexpr int kBaud = kLineRate;
  constexpr std::size_t kBytes = kBaud / 10 * 30;
  constexpr std::size_t kClientTakesPerTenth = kBaud / 10 / 6 / 10;
  const StallWitnesses witnesses;
  ChildProcess& bridge =
      StartBridge({"--route", "2", "--baud", std::to_string(kBaud), "--link", link});
  PtyEnd remote(remotePath);
  PtyEnd client(link);
  ASSERT_TRUE(remote.ok() && client.ok());
  const std::string flood = q7m::sim::FloodText(0, kBytes);
  std::atomic<bool> written{false};
  std::thread writer([&] {
    remote.Write(flood);
    written = true;
  });
  while (!written) {
    client.Take(kClientTakesPerTenth);
    std::this_thread::sleep_for(milliseconds(100));
  }
  writer.join();
  const std::string got = client.ReadCount(kBytes, seconds(60));
  StopBridge(bridge);
  EXPECT_EQ(Err().find("dropped"), std::string::npos) << Err();
  // The client has every byte the UART delivered, in order. The UART itself
  // may have lost bytes only while the host held the machine, as a witness saw.
  const std::string trace = ReadWholeFile(Trace());
  const std::uint64_t lost = TraceStat(trace, "rx-lost");
  EXPECT_EQ(got.size() + lost, kBytes) << UartReceiveStats();
  EXPECT_TRUE(InOrderWithin(got, flood));
  if (lost == 0) {
    const auto check = q7m::sim::CheckFlood(got);
    EXPECT_TRUE(check.Clean()) << check.problem;
    EXPECT_TRUE(got == flood);
  } else {
    EXPECT_TRUE(witnesses.ExcuseUartLoss(trace, UartBufferUs(kBaud)))
        << "the UART lost bytes too often for the host alone: " << UartReceiveStats();
  }
  EXPECT_EQ(TraceStat(trace, "rx-framing"), 0u) << UartReceiveStats();
}

TEST_F(BridgeE2E, WithoutAClientTheLatestBytesAreKeptUpToTheCapForTheNextOne) {
  const std::string capture = root + "/boot.log";
  ChildProcess& bridge = StartBridge({"--route", "2", "--baud", std::to_string(kLineRate), "--link",
                                      link, "--keep", "4K", "--log", capture, "--timestamps"});
  PtyEnd remote(remotePath);
  ASSERT_TRUE(remote.ok());
  // 150 whole lines of the flood text.
  const std::string flood = q7m::sim::FloodText(0, 9900);
  const StallWitnesses witnesses;
  remote.Write(flood);
  // The capture has every byte as soon as it is received, client or not.
  const auto unstamped = [&] {
    std::string text;
    for (const std::string& line : Lines(ReadWholeFile(capture))) {
      // "[2025-01-31 14:02:03.123] " before each line.
      if (line.size() < 26 || line[0] != '[' || line[24] != ']') return std::string("bad stamp");
      text += line.substr(26) + "\n";
    }
    return text;
  };
  if (!WaitUntil([&] { return unstamped().size() == flood.size(); })) {
    StopBridge(bridge);
    const std::string trace = ReadWholeFile(Trace());
    const std::uint64_t lost = TraceStat(trace, "rx-lost");
    if (lost != 0 && witnesses.ExcuseUartLoss(trace, UartBufferUs(kLineRate))) {
      // The UART lost bytes while the host held the machine: the counts
      // that follow cannot be judged.
      GTEST_SKIP() << "the host held the machine through a poll gap: " << UartReceiveStats();
    }
    FAIL() << "the capture holds " << unstamped().size() << " of " << flood.size()
           << " bytes; the UART: " << UartReceiveStats();
  }
  EXPECT_TRUE(unstamped() == flood);
  ASSERT_TRUE(WaitForFileText(root + "/bridge.err", "no client reads")) << Err();

  PtyEnd client(link);
  ASSERT_TRUE(client.ok());
  EXPECT_TRUE(client.ReadCount(4096) == flood.substr(flood.size() - 4096));
  ASSERT_TRUE(WaitForFileText(root + "/bridge.err", "5804 received bytes were dropped")) << Err();
  EXPECT_NE(Err().find("handing over 4096 kept bytes"), std::string::npos) << Err();
  StopBridge(bridge);
}

TEST_F(BridgeE2E, WhileTheBridgeHasTheBoardQ7mUartIsRefusedAndTheOtherWayRound) {
  ChildProcess& bridge = StartBridge({"--link", link});
  TmuxSession::Options options;
  options.environment = {"LD_LIBRARY_PATH=" + kBuild + "/sim"};
  auto uart = StartInShell(kBuild + "/bin/q7m-uart", options);
  ASSERT_TRUE(uart->WaitForText("Cannot Open Selected Device")) << uart->Capture();
  uart->SendKeys({"Enter"});
  ASSERT_TRUE(uart->WaitForText("EXIT=0")) << uart->Capture();
  StopBridge(bridge);

  uart = StartInShell(kBuild + "/bin/q7m-uart", options);
  ASSERT_TRUE(uart->WaitForLine("Q7M UART IO port 0x352:")) << uart->Capture();
  ChildProcess& second = StartBridge({"--link", link}, {}, "second");
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(Err("second").find("Cannot Open Selected Device"), std::string::npos) << Err("second");
  EXPECT_NE(Err("second").find("in use by process"), std::string::npos) << Err("second");
  EXPECT_NE(Err("second").find("(q7m-uart)"), std::string::npos) << Err("second");
  EXPECT_FALSE(fs::exists(link)) << "no link for a board it does not have";
  uart->SendText("q");
  EXPECT_TRUE(uart->WaitForText("EXIT=0")) << uart->Capture();
}

TEST_F(BridgeE2E, TwoBoardsAreBridgedAtOnceEachToItsOwnRemote) {
  const std::vector<std::string> boards = {"Q7M_SIM_BOARDS=2", "Q7M_SIM1_PTY=" + root + "/remote1",
                                           "XDG_RUNTIME_DIR=" + root};
  ChildProcess& first = StartBridge({"--board", "0", "--link", link}, boards, "first");
  // The second by its address, at the default link named after it.
  ChildProcess& second = StartBridge({"--board", "04:00.0"}, boards, "second");
  const std::string secondLink = root + "/q7m-uart/ttyQ7M-04:00.0";
  ASSERT_EQ(ReadWholeFile(root + "/second.out"), secondLink + "\n") << Err("second");
  PtyEnd remote0(remotePath);
  PtyEnd remote1(root + "/remote1");
  PtyEnd client0(link);
  PtyEnd client1(secondLink);
  ASSERT_TRUE(remote0.ok() && remote1.ok() && client0.ok() && client1.ok());

  client0.Write("to board zero");
  client1.Write("to board one");
  EXPECT_EQ(remote0.ReadUntil("to board zero"), "to board zero");
  EXPECT_EQ(remote1.ReadUntil("to board one"), "to board one");
  remote0.Write("from zero");
  remote1.Write("from one");
  EXPECT_EQ(client0.ReadUntil("from zero"), "from zero");
  EXPECT_EQ(client1.ReadUntil("from one"), "from one");
  EXPECT_NE(ReadWholeFile(Trace("first")).find("open 0000:03:00.0"), std::string::npos);
  EXPECT_NE(ReadWholeFile(Trace("second")).find("open 0000:04:00.0"), std::string::npos);
  StopBridge(first);
  StopBridge(second);
}

class BridgeStop : public BridgeE2E, public ::testing::WithParamInterface<int> {};

TEST_P(BridgeStop, PutsRoutingZeroBackClosesTheBoardAndRemovesTheLink) {
  ChildProcess& bridge = StartBridge({"--route", "4", "--link", link});
  {
    PtyEnd client(link);
    ASSERT_TRUE(client.ok());
    StopBridge(bridge, GetParam());
  }
  const auto calls = TraceCalls(Trace());
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
            (std::vector<std::string>{"reg 8 0", "call MUnmap", "call Close"}));
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_NE(Err().find(std::string("ending on ") + ::strsignal(GetParam())), std::string::npos)
      << Err();
}

INSTANTIATE_TEST_SUITE_P(Signals, BridgeStop, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST_F(BridgeE2E, BadCommandLinesAndABoardThatCannotBeOpenedEndWithTheReason) {
  ChildProcess& bad = StartBridge({"--route", "7"}, {}, "bad");
  EXPECT_EQ(bad.Wait(), 2);
  EXPECT_EQ(Err("bad"),
            "q7m-uart-bridge: --route 7: the route is a number from 0 to 5\n"
            "q7m-uart-bridge: try 'q7m-uart-bridge --help'\n");

  ChildProcess& help = StartBridge({"--help"}, {}, "help");
  EXPECT_EQ(help.Wait(), 0);
  const std::string text = ReadWholeFile(root + "/help.out");
  for (const char* option : {"--route", "--baud", "--board", "--link", "--keep", "--log",
                             "--timestamps", "PCIAccessDll.log"}) {
    EXPECT_NE(text.find(option), std::string::npos) << option;
  }

  // No access library beside the program and none on the path.
  ChildProcess& nolib =
      StartBridge({"--link", link}, {"LD_LIBRARY_PATH=" + root + "/empty"}, "nolib");
  EXPECT_EQ(nolib.Wait(), 1);
  EXPECT_NE(Err("nolib").find("InitPcieDllAccess failed - invalid dll handle"), std::string::npos)
      << Err("nolib");

  // A board the simulated library does not have: the log's reason is shown.
  ChildProcess& absent = StartBridge({"--board", "3", "--link", link}, {}, "absent");
  EXPECT_EQ(absent.Wait(), 1);
  EXPECT_NE(Err("absent").find("Cannot Open Selected Device"), std::string::npos) << Err("absent");
  EXPECT_NE(Err("absent").find("Q7M_PCI_DEVICE=3 was asked for"), std::string::npos)
      << Err("absent");
  EXPECT_FALSE(fs::exists(link));
}

// The unit's ExecStopPost= line as systemd runs it for instance 0, with the
// settings file's OPTIONS: the program from the test's folder.
std::vector<std::string> UnitStopPostCommand(const std::string& program,
                                             const std::string& options) {
  std::string line;
  for (const std::string& l :
       Lines(ReadWholeFile(kSource + "/packaging/q7m-uart-bridge@.service.in"))) {
    if (l.rfind("ExecStopPost=", 0) == 0) line = l.substr(std::strlen("ExecStopPost="));
  }
  if (line.empty()) return {};
  if (line.front() == '-') line.erase(0, 1);  // its failure leaves the unit's result alone
  std::vector<std::string> argv;
  std::istringstream words(line);
  for (std::string word; words >> word;) {
    if (word == "@Q7M_BIN@/q7m-uart-bridge") word = program;
    if (word == "%I") word = "0";
    if (word == "$OPTIONS") {
      std::istringstream split(options);
      for (std::string option; split >> option;) argv.push_back(option);
      continue;
    }
    argv.push_back(word);
  }
  return argv;
}

TEST_F(BridgeE2E, ALinkOutlivesAKilledBridgeOnlyUntilTheUnitStopsOrTheNextStart) {
  ChildProcess& killed = StartBridge({"--route", "2", "--link", link}, {}, "killed");
  ASSERT_EQ(ReadWholeFile(root + "/killed.out"), link + "\n") << Err("killed");
  const std::string pty = fs::read_symlink(link).string();
  killed.Signal(SIGKILL);
  EXPECT_EQ(killed.Wait(), 128 + SIGKILL);
  ASSERT_EQ(fs::read_symlink(link).string(), pty) << "a killed bridge cannot remove its link";

  // systemd runs the unit's ExecStopPost= however the bridge ended.
  const std::vector<std::string> stopPost =
      UnitStopPostCommand(programDir + "/q7m-uart-bridge", "--link " + link);
  ASSERT_FALSE(stopPost.empty()) << "the unit removes no link after its bridge";
  ChildProcess::Options options;
  options.err = root + "/stoppost.err";
  ChildProcess removal(stopPost, options);
  EXPECT_EQ(removal.Wait(), 0) << ReadWholeFile(options.err);
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_EQ(ReadWholeFile(options.err), "q7m-uart-bridge: removed the link " + link + " (to " +
                                            pty + "), which its bridge left\n");
  // After a bridge that removed its own link there is nothing to do or say.
  ChildProcess again(stopPost, options);
  EXPECT_EQ(again.Wait(), 0);
  EXPECT_EQ(ReadWholeFile(options.err), "");

  // Outside systemd the link stays until the next start, which replaces it.
  ChildProcess& second = StartBridge({"--route", "2", "--link", link}, {}, "second");
  second.Signal(SIGKILL);
  second.Wait();
  ASSERT_TRUE(fs::is_symlink(link));
  ChildProcess& third = StartBridge({"--route", "2", "--link", link}, {}, "third");
  ASSERT_EQ(ReadWholeFile(root + "/third.out"), link + "\n") << Err("third");
  EXPECT_TRUE(IsPtySlave(fs::read_symlink(link).string()));
  StopBridge(third);
  EXPECT_FALSE(fs::is_symlink(link));
}

TEST_F(BridgeE2E, APlaceThatHoldsSomethingElseIsRefusedAndLeftAsItIs) {
  const std::string system = root + "/system-file";
  std::ofstream(system) << "a file of the system's\n";
  fs::create_symlink(system, link);
  ChildProcess& refused = StartBridge({"--route", "2", "--link", link}, {}, "refused");
  EXPECT_EQ(refused.Wait(), 2) << "a wrong --link does not become right by waiting";
  EXPECT_EQ(Err("refused"), "q7m-uart-bridge: " + link + " is a symbolic link to " + system +
                                ", not to a pseudo-terminal: it is left as it is; name another "
                                "place with --link\n");
  EXPECT_EQ(fs::read_symlink(link).string(), system);
  EXPECT_EQ(ReadWholeFile(system), "a file of the system's\n");
  EXPECT_EQ(ReadWholeFile(Trace("refused")), "") << "the board was not opened";

  // Nor does the unit's stop take it away.
  const std::vector<std::string> stopPost =
      UnitStopPostCommand(programDir + "/q7m-uart-bridge", "--link " + link);
  ASSERT_FALSE(stopPost.empty()) << "the unit removes no link after its bridge";
  ChildProcess::Options options;
  options.err = root + "/stoppost.err";
  ChildProcess removal(stopPost, options);
  EXPECT_EQ(removal.Wait(), 0);
  EXPECT_EQ(fs::read_symlink(link).string(), system);
}

// As root with the group nogroup, whose member nobody then opens the link.
TEST_F(BridgeE2E, AsRootWithAGroupTheDefaultFolderLetsTheGroupReachTheLink) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be root and nobody";
  const group* nogroup = ::getgrnam("nogroup");
  if (nogroup == nullptr || ::getpwnam("nobody") == nullptr) {
    GTEST_SKIP() << "no user nobody or group nogroup here";
  }
  ::chmod(root.c_str(), 0755);
  const auto asNobody = [](const std::string& path) {
    return RunCommand("setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c 'echo hi > " +
                      path + "' 2>&1");
  };
  for (const bool leftBehind : {false, true}) {
    const std::string runtime = root + (leftBehind ? "/run-left" : "/run");
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0755);
    if (leftBehind) {
      // As a bridge without --group leaves it.
      fs::create_directory(runtime + "/q7m-uart");
      ::chmod((runtime + "/q7m-uart").c_str(), 0700);
    }
    const std::string name = leftBehind ? "left" : "fresh";
    ChildProcess& bridge =
        StartBridge({"--route", "2", "--group", "nogroup"}, {"XDG_RUNTIME_DIR=" + runtime}, name);
    const std::string defaultLink = runtime + "/q7m-uart/ttyQ7M0";
    ASSERT_EQ(ReadWholeFile(root + "/" + name + ".out"), defaultLink + "\n") << Err(name);
    const auto member = asNobody(defaultLink);
    EXPECT_EQ(member.status, 0) << name << ": " << member.output;
    EXPECT_EQ(Err(name).find("kept the group nogroup out (mode 0700): it is now 0755") !=
                  std::string::npos,
              leftBehind)
        << Err(name);
    StopBridge(bridge);
  }
  // A folder above that keeps the group out is named, not changed.
  const std::string closed = root + "/closed";
  fs::create_directories(closed);
  ::chmod(closed.c_str(), 0700);
  ChildProcess& refused =
      StartBridge({"--route", "2", "--group", "nogroup"}, {"XDG_RUNTIME_DIR=" + closed}, "closed");
  EXPECT_EQ(refused.Wait(), 1);
  EXPECT_NE(Err("closed").find("--group nogroup: the group's members cannot reach " + closed +
                               "/q7m-uart, since " + closed + " keeps them out (mode 0700)"),
            std::string::npos)
      << Err("closed");
}

// The client's bytes the UART has sent so far, from the trace.
std::string TraceTxText(const std::string& trace) {
  std::string text;
  for (const auto& [byte, start] : TraceTx(trace)) text.push_back(static_cast<char>(byte));
  return text;
}

TEST_F(BridgeE2E, AClientWithIxonIsHeldAfterTheBoardsXoffUntilItsXon) {
  // The board's side is an echoing console the test plays on the simulated
  // board's pty, so that it can also print markers of its own.
  ChildProcess& bridge = StartBridge({"--route", "2", "--link", link});
  PtyEnd remote(remotePath);
  PtyEnd client(link);
  ASSERT_TRUE(remote.ok() && client.ok());
  termios t{};
  ASSERT_EQ(::tcgetattr(client.fd(), &t), 0);
  ::cfmakeraw(&t);
  t.c_iflag |= IXON;  // as pyserial's xonxoff=True and minicom's software flow control
  ASSERT_EQ(::tcsetattr(client.fd(), TCSANOW, &t), 0);
  // The bridge reads the change before the bytes written after it.
  client.Write("a\n");
  ASSERT_EQ(remote.ReadUntil("a\n"), "a\n");

  // The client writes XOFF; the console echoes it, then says "b".
  client.Write("\x13");
  ASSERT_EQ(remote.ReadCount(3), "a\n\x13");
  remote.Write(
      "\x13"
      "b\n");
  EXPECT_EQ(client.ReadUntil("b\n"), "b\n") << "the XOFF is the line's, not the client's to read";

  // A long text now waits. When the client has "c", the bridge has read the
  // text (it reads the client after taking what the board sent, and "c" was
  // sent after the text was written); when it has "d", a poll of the UART
  // has come since, and an engine that was given the text sent some of it
  // first.
  const std::string text = q7m::sim::FloodText(0, 2000);
  client.Forget();
  client.Write(text);
  remote.Write("c\n");
  ASSERT_EQ(client.ReadUntil("c\n"), "c\n");
  remote.Write("d\n");
  ASSERT_EQ(client.ReadUntil("d\n"), "c\nd\n");
  EXPECT_EQ(TraceTxText(Trace()), "a\n\x13") << "nothing of the text left after the XOFF";

  // XON lets it go, whole and in order.
  remote.Forget();
  client.Forget();
  remote.Write(
      "\x11"
      "e\n");
  EXPECT_EQ(client.ReadUntil("e\n"), "e\n");
  EXPECT_TRUE(remote.ReadCount(text.size(), seconds(30)) == text)
      << remote.Got().size() << " of " << text.size() << " bytes";

  // Without IXON nothing is held and XON/XOFF are bytes like any other.
  t.c_iflag &= ~static_cast<tcflag_t>(IXON);
  ASSERT_EQ(::tcsetattr(client.fd(), TCSANOW, &t), 0);
  remote.Forget();
  client.Forget();
  client.Write("f\n");
  ASSERT_EQ(remote.ReadUntil("f\n"), "f\n");
  remote.Write(
      "\x13"
      "g\n");
  EXPECT_EQ(client.ReadUntil("g\n"),
            "\x13"
            "g\n");
  client.Write("h\n");
  EXPECT_EQ(remote.ReadUntil("h\n"), "f\nh\n");
  StopBridge(bridge);
}

}  // namespace
