// The built library's remote side: the consoles and flood mode through the
// Sim* functions, and the pseudo-terminal bridge opened from the environment,
// with a real program's end played by this test through the slave path.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "include/PCIAccessDll.h"
#include "sim/flood_text.h"
#include "sim/pty_bridge.h"
#include "sim/remote_consoles.h"
#include "sim/sim_control.h"
#include "tests/support/loaded_library.h"

namespace {

#define SIM(name) (Lib().Get<decltype(name)>(#name))

std::atomic<std::uint64_t> g_clockNs{0};
std::uint64_t VirtualClock(void*) {
  return g_clockNs.load();
}

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint32_t kData = 0x1B352;
constexpr std::uint32_t kIndex = 0x1B353;
constexpr std::uint64_t kChar115200 = 86'800;

const Loaded& Lib() {
  static Loaded lib(std::string(Q7M_BUILD_DIR) + "/sim/libPCIAccessDll.so");
  return lib;
}

class RemoteSideTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Lib().ok()) << dlerror();
    dir_ = std::filesystem::temp_directory_path() / ("q7m-pty-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    link_ = (dir_ / "remote").string();
    g_clockNs = 5'000 * kMs;
    SIM(SimSetClock)(VirtualClock, nullptr);
    ClearEnv();
    SIM(SimApplyEnvironment)();
    SIM(SimReset)();
  }
  void TearDown() override {
    ClearEnv();
    SIM(SimApplyEnvironment)();
    SIM(SimSetClock)(nullptr, nullptr);
    std::filesystem::remove_all(dir_);
  }
  static void ClearEnv() {
    unsetenv("Q7M_SIM_PTY");
    unsetenv("Q7M_SIM_PTY_ROUTES");
    unsetenv("Q7M_SIM_PTY_BAUD");
  }

  void RegWrite(std::uint8_t index, std::uint8_t value) {
    SIM(WriteB)(index, kIndex, 0);
    SIM(WriteB)(value, kData, 0);
  }
  std::uint8_t RegRead(std::uint8_t index) {
    SIM(WriteB)(index, kIndex, 0);
    return static_cast<std::uint8_t>(SIM(ReadB)(kData, 0));
  }
  void Program115200() {
    RegWrite(0, 0x3D);
    RegWrite(1, 0x04);
    RegWrite(6, 0xC1);
    RegWrite(3, 1);
  }
  std::string Drain() {
    std::string out;
    for (int n = RegRead(5) & 0x7F; n > 0; n = RegRead(5) & 0x7F) {
      SIM(WriteB)(4, kIndex, 0);
      for (int i = 0; i < n; ++i) out.push_back(static_cast<char>(SIM(ReadB)(kData, 0)));
    }
    return out;
  }
  // Sends bytes through the UART transmitter and lets them leave.
  void Transmit(std::string_view bytes) {
    for (char c : bytes) {
      g_clockNs = std::max(g_clockNs.load(), SIM(SimTxBusyUntilNs)());
      RegWrite(2, static_cast<std::uint8_t>(c));
    }
    g_clockNs = SIM(SimTxBusyUntilNs)();
    SIM(SimRxFifoLevel)();  // lets the model deliver them
  }
  // Runs the clock, draining every 5 ms.
  std::string Run(std::uint64_t ns) {
    std::string out;
    const std::uint64_t end = g_clockNs + ns;
    while (g_clockNs < end) {
      g_clockNs = std::min(end, g_clockNs.load() + 5 * kMs);
      out += Drain();
    }
    return out;
  }

  std::filesystem::path dir_;
  std::string link_;
};

// The test's end of the pty, opened through the link as a program would.
class Remote {
 public:
  explicit Remote(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~Remote() {
    if (fd_ >= 0) ::close(fd_);
  }
  Remote(const Remote&) = delete;
  Remote& operator=(const Remote&) = delete;
  bool ok() const { return fd_ >= 0; }
  bool Write(std::string_view s) { return ::write(fd_, s.data(), s.size()) == ssize_t(s.size()); }
  // Reads until `count` bytes came or `tries` times 10 ms of real time passed.
  std::string Read(std::size_t count, int tries = 100) {
    std::string out;
    for (int i = 0; i < tries && out.size() < count; ++i) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  int fd_;
};

// Waits (real time, up to 10 s on a loaded machine) until the bridge has read
// what the remote wrote; the virtual clock stands still meanwhile.
bool BridgeHasRead(std::uint64_t bytes) {
  for (int tries = 0; tries < 5000; ++tries) {
    if (SIM(SimRemotePending)() >= bytes) return true;
    usleep(2000);
  }
  return false;
}

TEST_F(RemoteSideTest, ConsolesAnswerOnTheirRoutesThroughTheLibrary) {
  Program115200();
  Transmit("\r");
  EXPECT_EQ(Run(10 * kMs), "\r\nvsc7420# ") << "route 0 after power-on";
  RegWrite(8, 3);
  Transmit("\r");
  EXPECT_EQ(Run(10 * kMs), "\r\nkb20t:~$ ");
  RegWrite(8, 2);
  Transmit("\r");
  EXPECT_EQ(Run(10 * kMs), "") << "J27 has nothing connected";
  EXPECT_STREQ(SIM(SimPtyPath)(), "");

  RegWrite(8, 5);
  RegWrite(7, 1);
  g_clockNs += 10 * kMs;
  RegWrite(7, 0);
  EXPECT_EQ(SIM(SimVscBoots)(), 1u);
  const std::string log = Run(q7m::sim::kVscBootDelayNs + 1000 * kMs);
  EXPECT_EQ(log, q7m::sim::VscBootLog() + std::string(q7m::sim::kVscPrompt));
}

TEST_F(RemoteSideTest, FloodRunsAtTheLineRateAndIsCheckable) {
  Program115200();
  RegWrite(8, 2);
  EXPECT_NE(SIM(SimFloodStart)(1000), 0) << "nothing to flood from on J27";
  EXPECT_NE(std::string(SIM(SimLastError)()).find("route 2"), std::string::npos);

  RegWrite(8, 1);
  constexpr std::uint64_t kBytes = 20'000;
  const std::uint64_t t0 = g_clockNs;
  ASSERT_EQ(SIM(SimFloodStart)(kBytes), 0);
  EXPECT_EQ(SIM(SimFloodActive)(), 1);
  std::string got;
  for (int step = 1; step <= 100; ++step) {
    // + step * 10: the console's rounded rate (115207) is a third of a
    // nanosecond per byte slower than the model's character time.
    g_clockNs = t0 + step * 10 * (kChar115200 + 1);
    got += Drain();
    ASSERT_EQ(SIM(SimFloodSent)(), step * 10u) << "ten bytes per ten character times";
  }
  got += Run(2000 * kMs);
  EXPECT_EQ(SIM(SimFloodSent)(), kBytes);
  EXPECT_EQ(SIM(SimFloodActive)(), 0);
  EXPECT_EQ(SIM(SimRxOverflowEvents)(), 0u);
  ASSERT_GE(got.size(), kBytes);
  EXPECT_EQ(got.substr(0, kBytes), q7m::sim::FloodText(0, kBytes));
  EXPECT_EQ(got.substr(kBytes), "\r\nKB20Q> ") << "the console's prompt after the flood";
  const auto check = q7m::sim::CheckFlood(got);
  EXPECT_TRUE(check.Clean()) << check.problem;
  EXPECT_EQ(check.validLines, kBytes / q7m::sim::kFloodLineSize);
}

TEST_F(RemoteSideTest, PtyCarriesBytesBothWaysAtTheLineRate) {
  ASSERT_EQ(setenv("Q7M_SIM_PTY", link_.c_str(), 1), 0);
  ASSERT_EQ(setenv("Q7M_SIM_PTY_ROUTES", "2, 3", 1), 0);
  ASSERT_EQ(SIM(SimApplyEnvironment)(), 0) << SIM(SimLastError)();
  const std::string slave = SIM(SimPtyPath)();
  ASSERT_TRUE(slave.starts_with("/dev/pts/")) << slave;
  EXPECT_EQ(std::filesystem::read_symlink(link_).string(), slave);

  Remote remote(link_);
  ASSERT_TRUE(remote.ok());
  Program115200();
  RegWrite(8, 3);

  // Remote to UART: paced at the programmed rate from when the bridge read.
  ASSERT_TRUE(remote.Write("hello\x1b[1;31m!"));
  ASSERT_TRUE(BridgeHasRead(13));
  const std::uint64_t t0 = g_clockNs;
  for (std::uint64_t k = 1; k <= 13; ++k) {
    g_clockNs = t0 + k * kChar115200 - 1;
    EXPECT_EQ(SIM(SimRxFifoLevel)(), k - 1) << "byte " << k << " early";
    // The bridge talks at the rounded rate, 115207 baud: a third of a
    // nanosecond per byte behind the model's character time.
    g_clockNs = t0 + k * kChar115200 + k;
    EXPECT_EQ(SIM(SimRxFifoLevel)(), k) << "byte " << k << " late";
  }
  EXPECT_EQ(Drain(), "hello\x1b[1;31m!");
  EXPECT_EQ(SIM(SimRxFramingErrors)(), 0u);

  // UART to remote: every byte, raw (CR stays CR, no echo back), handed over
  // a millisecond's worth at a time.
  Transmit(std::string("ls -l\r\x03\x1b[A\x7f\x00\xff", 12));
  EXPECT_EQ(remote.Read(1, 10), "") << "the last millisecond's bytes wait";
  Run(kMs);
  EXPECT_EQ(remote.Read(12), std::string("ls -l\r\x03\x1b[A\x7f\x00\xff", 12));
  EXPECT_EQ(Run(10 * kMs), "") << "the line discipline does not echo";

  // Routes not listed keep their built-in console.
  RegWrite(8, 1);
  Transmit("\r");
  EXPECT_EQ(Run(10 * kMs), "\r\nKB20Q> ");
  EXPECT_EQ(remote.Read(1, 10), "") << "the pty hears nothing while another console is routed";

  // Dropping the bridge removes the link.
  ClearEnv();
  EXPECT_EQ(SIM(SimApplyEnvironment)(), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(link_));
  EXPECT_STREQ(SIM(SimPtyPath)(), "");
}

TEST_F(RemoteSideTest, PtyAtAnotherBaudRateGivesFramingErrors) {
  ASSERT_EQ(setenv("Q7M_SIM_PTY", link_.c_str(), 1), 0);
  ASSERT_EQ(setenv("Q7M_SIM_PTY_BAUD", "9600", 1), 0);
  ASSERT_EQ(SIM(SimApplyEnvironment)(), 0) << SIM(SimLastError)();
  Remote remote(link_);
  ASSERT_TRUE(remote.ok());
  Program115200();
  ASSERT_TRUE(remote.Write("abc"));
  ASSERT_TRUE(BridgeHasRead(3));
  g_clockNs += 3 * 1'041'667 + 10;  // three characters at 9600 baud
  EXPECT_EQ(RegRead(5), 0x80 | 3) << "three bytes and an error pending";
  EXPECT_EQ(RegRead(6) & 1, 1) << "framing error";
  EXPECT_EQ(SIM(SimRxFramingErrors)(), 3u);
  EXPECT_NE(Drain(), "abc");
}

TEST_F(RemoteSideTest, BridgeThatCannotOpenFallsBackToTheConsoles) {
  const std::string bad = (dir_ / "no-such-dir" / "remote").string();
  ASSERT_EQ(setenv("Q7M_SIM_PTY", bad.c_str(), 1), 0);
  EXPECT_EQ(SIM(SimApplyEnvironment)(), -1);
  EXPECT_NE(std::string(SIM(SimLastError)()).find(bad), std::string::npos) << SIM(SimLastError)();
  EXPECT_STREQ(SIM(SimPtyPath)(), "");
  Program115200();
  RegWrite(8, 3);
  Transmit("\r");
  EXPECT_EQ(Run(10 * kMs), "\r\nkb20t:~$ ") << "the built-in console answers instead";

  // A file that is not a link is never replaced.
  const std::string file = (dir_ / "plain").string();
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ASSERT_EQ(setenv("Q7M_SIM_PTY", file.c_str(), 1), 0);
  EXPECT_EQ(SIM(SimApplyEnvironment)(), -1);
  EXPECT_TRUE(std::filesystem::is_regular_file(file));

  // An old link is replaced.
  std::filesystem::create_symlink("/nonexistent", link_);
  ASSERT_EQ(setenv("Q7M_SIM_PTY", link_.c_str(), 1), 0);
  EXPECT_EQ(SIM(SimApplyEnvironment)(), 0) << SIM(SimLastError)();
  EXPECT_EQ(std::filesystem::read_symlink(link_).string(), SIM(SimPtyPath)());
  EXPECT_STREQ(SIM(SimLastError)(), "");
}

// As a real library does with a board it cannot reach: InitPCIAccess fails
// ("Cannot Open Selected Device" in the program) and the log says why.
TEST_F(RemoteSideTest, AVariableThatCannotBeHonouredKeepsTheBoardClosedWithTheReasonLogged) {
  ASSERT_EQ(setenv("Q7M_PCI_LOG_DIR", dir_.c_str(), 1), 0);
  const std::string file = (dir_ / "plain").string();
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  const std::string missing = (dir_ / "no-such-dir" / "remote").string();
  struct Case {
    const char* variable;
    std::string value;
    std::string logged;
  };
  const Case cases[] = {
      {"Q7M_SIM_PTY", missing, "Q7M_SIM_PTY=" + missing + ": symlink " + missing},
      {"Q7M_SIM_PTY", file, "Q7M_SIM_PTY=" + file + ": " + file + ": exists and is not a symbolic"},
      {"Q7M_SIM_PTY_ROUTES", "7", "Q7M_SIM_PTY_ROUTES: not a route number 0 to 5: \"7\""},
      {"Q7M_SIM_PTY_BAUD", "fast", "Q7M_SIM_PTY_BAUD: not a baud rate: \"fast\""},
  };
  const std::string log = (dir_ / "PCIAccessDll.log").string();
  for (const Case& c : cases) {
    ClearEnv();
    ASSERT_EQ(setenv("Q7M_SIM_PTY", link_.c_str(), 1), 0);
    ASSERT_EQ(setenv(c.variable, c.value.c_str(), 1), 0);
    EXPECT_EQ(SIM(SimApplyEnvironment)(), -1) << c.variable << "=" << c.value;
    std::filesystem::remove(log);
    EXPECT_NE(SIM(InitPCIAccess)(0x1172, 0x5680, 0), 0) << c.variable << "=" << c.value;
    std::FILE* in = std::fopen(log.c_str(), "r");
    ASSERT_NE(in, nullptr) << "nothing logged for " << c.variable;
    char line[512] = {};
    const std::size_t got = std::fread(line, 1, sizeof line - 1, in);
    std::fclose(in);
    const std::string text(line, got);
    EXPECT_NE(
        text.find("InitPCIAccess: the simulated board 0000:03:00.0 is not opened: " + c.logged),
        std::string::npos)
        << text;
  }
  ClearEnv();
  EXPECT_EQ(SIM(SimApplyEnvironment)(), 0);
  EXPECT_EQ(SIM(InitPCIAccess)(0x1172, 0x5680, 0), 0) << "open again once the values are good";
  SIM(Close)();  // the board's lock is the process's: later tests open it again
  unsetenv("Q7M_PCI_LOG_DIR");
}

TEST(PtyConfigTest, ReadsRoutesAndBaudAndRejectsBadValues) {
  static std::string path, routes, baud;
  auto get = [](const char* name) -> const char* {
    const std::string n(name);
    const std::string& v = n == "Q7M_SIM_PTY" ? path : n == "Q7M_SIM_PTY_ROUTES" ? routes : baud;
    return v.empty() ? nullptr : v.c_str();
  };
  std::string error;
  path.clear();
  routes.clear();
  baud.clear();
  auto c = q7m::sim::ParsePtyConfig(get, error);
  ASSERT_TRUE(c.has_value());
  EXPECT_TRUE(c->linkPath.empty()) << "no bridge without a path";

  path = "/tmp/x";
  c = q7m::sim::ParsePtyConfig(get, error);
  ASSERT_TRUE(c.has_value());
  for (bool r : c->routes) EXPECT_TRUE(r) << "all routes by default";
  EXPECT_EQ(c->baud, 0u);

  routes = "1,3";
  baud = "57600";
  c = q7m::sim::ParsePtyConfig(get, error);
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->routes, (std::array<bool, 6>{false, true, false, true, false, false}));
  EXPECT_EQ(c->baud, 57600u);

  for (const char* badRoutes : {"6", "1,,3", "x", "-1"}) {
    routes = badRoutes;
    error.clear();
    EXPECT_FALSE(q7m::sim::ParsePtyConfig(get, error).has_value()) << badRoutes;
    EXPECT_NE(error.find("Q7M_SIM_PTY_ROUTES"), std::string::npos);
  }
  routes = "0";
  for (const char* badBaud : {"0", "fast", "999999999999"}) {
    baud = badBaud;
    error.clear();
    EXPECT_FALSE(q7m::sim::ParsePtyConfig(get, error).has_value()) << badBaud;
    EXPECT_NE(error.find("Q7M_SIM_PTY_BAUD"), std::string::npos);
  }
}

}  // namespace
