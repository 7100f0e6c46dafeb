// When the world around the programs goes away: the capture's disk fills
// up, the terminal they run in disappears. The capture and the bridge's log
// are whole up to where they say they stopped; a program whose terminal is
// gone ends as it would on a hang-up, and the board is free for the next.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "sim/flood_text.h"
#include "sim/receive_tally.h"
#include "tests/support/child_process.h"
#include "tests/support/stall_witnesses.h"
#include "tests/support/tmux_session.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kBuild = Q7M_BUILD_DIR;
// What the full file system leaves for the capture.
constexpr std::uintmax_t kRoomBytes = 16 * 1024;

// A tmpfs of the test's own at `at`, unmounted at the end.
class SmallDisk {
 public:
  SmallDisk(const fs::path& at, std::uintmax_t bytes) : at_(at) {
    fs::create_directories(at);
    const std::string size = "size=" + std::to_string(bytes / 1024 + 1) + "k";
    mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, size.c_str()) == 0;
    if (!mounted_) why_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  const std::string& Why() const { return why_; }
  // Fills it with `filler` up to `room` bytes left.
  bool LeaveRoom(const fs::path& filler, std::uintmax_t room) const {
    struct statvfs info {};
    if (::statvfs(at_.c_str(), &info) != 0) return false;
    const std::uintmax_t free = static_cast<std::uintmax_t>(info.f_bavail) * info.f_frsize;
    if (free <= room) return false;
    std::ofstream(filler, std::ios::binary) << std::string(free - room, 'f');
    return true;
  }

 private:
  fs::path at_;
  bool mounted_ = false;
  std::string why_;
};

// The number that follows `prefix` in the text, when both are there.
std::optional<std::uint64_t> NumberAfter(const std::string& text, const std::string& prefix) {
  const auto at = text.find(prefix);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t start = at + prefix.size();
  const std::size_t end = text.find_first_not_of("0123456789", start);
  if (end == start) return std::nullopt;
  return std::stoull(text.substr(start, end - start));
}

// The program's process, found by the unique folder it runs from.
bool ProgramRuns(const fs::path& program) {
  return std::system(("pgrep -f '^" + program.string() + "' >/dev/null").c_str()) == 0;
}

class WorldAway : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("q7m-away-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root / "elsewhere");
    ptyPath = root / "remote-pty";
    rxCount = root / "rx-count";
  }
  void TearDown() override {
    if (remote >= 0) ::close(remote);
    session.reset();
    disk.reset();
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  // A command in tmux, on the simulated board with route 2 bridged to a pty.
  void Start(const std::string& command) {
    TmuxSession::Options options;
    options.directory = (root / "elsewhere").string();
    options.environment = {"LD_LIBRARY_PATH=" + kBuild + "/sim", "Q7M_SIM_PTY=" + ptyPath.string(),
                           "Q7M_SIM_PTY_ROUTES=2", "Q7M_SIM_RX_COUNT=" + rxCount.string()};
    session = std::make_unique<TmuxSession>(command, options);
    ASSERT_TRUE(session->Started());
  }
  void OpenRemote() {
    for (int i = 0; i < 200 && remote < 0; ++i) {
      remote = ::open(ptyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (remote < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_GE(remote, 0) << "the simulated board did not link its pty";
  }
  // Writes everything, as the line takes it.
  void RemoteWriteAll(const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t n =
          ::write(remote, bytes.data() + at, std::min<std::size_t>(1024, bytes.size() - at));
      if (n > 0) {
        at += static_cast<std::size_t>(n);
      } else {
        pollfd fd{remote, POLLOUT, 0};
        ::poll(&fd, 1, 100);
      }
    }
  }
  q7m::sim::ReceiveTally Tally() const {
    q7m::sim::ReceiveTally tally;
    std::ifstream(rxCount, std::ios::binary).read(reinterpret_cast<char*>(&tally), sizeof tally);
    return tally;
  }

  fs::path root, ptyPath, rxCount;
  std::unique_ptr<SmallDisk> disk;
  std::unique_ptr<TmuxSession> session;
  int remote = -1;
};

TEST_F(WorldAway, AFullDiskStopsTheCaptureWholeUpToWhereTheTerminalSaysItStopped) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const fs::path folder = root / "program";
  const std::uintmax_t binary = fs::file_size(kBuild + "/bin/q7m-uart");
  disk = std::make_unique<SmallDisk>(folder, binary + 1024 * 1024);
  if (!disk->Mounted()) GTEST_SKIP() << disk->Why();
  fs::copy_file(kBuild + "/bin/q7m-uart", folder / "q7m-uart");
  std::ofstream(folder / "Q7m_Uart.cfg") << "#COMMODE 115200\n";
  ASSERT_TRUE(disk->LeaveRoom(folder / "other-file", kRoomBytes));
  Start((folder / "q7m-uart").string());
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  OpenRemote();
  session->SendText("2");
  ASSERT_TRUE(session->WaitForText("<SF2>Exit")) << session->Capture();

  // Twice the room, then more once the other file is gone.
  const std::string flood = q7m::sim::FloodText(0, 2 * kRoomBytes);
  RemoteWriteAll(flood);
  ASSERT_TRUE(session->WaitForText("capture stopped at")) << session->Capture();
  const std::string screen = session->Capture();
  const auto said = NumberAfter(screen, "Term.txt: No space left on device; capture stopped at ");
  ASSERT_TRUE(said) << screen;
  const std::uint64_t holds = *said;
  fs::remove(folder / "other-file");
  session->SendText(" ");
  RemoteWriteAll("after the room came back\r\n");
  ASSERT_TRUE(session->WaitForText("after the room came back")) << session->Capture();
  session->SendKeys({"S-F2"});
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
  session->SendText("q");
  ASSERT_TRUE(session->WaitFor([&] { return !ProgramRuns(folder / "q7m-uart"); }))
      << session->Capture();

  const std::string capture = ReadWholeFile(folder / "Term.txt");
  EXPECT_EQ(capture.size(), holds) << "the file holds what the message says";
  EXPECT_LT(holds, flood.size());
  EXPECT_GT(holds, kRoomBytes / 2);
  EXPECT_TRUE(InOrderWithin(capture, flood)) << "no byte of another place, none out of order";
  if (Tally().overflows == 0) {
    EXPECT_EQ(capture, flood.substr(0, holds)) << "what the UART delivered, with no gap";
  }
}

TEST_F(WorldAway, AFullDiskStopsTheBridgesLogWholeWithALineThatSaysWhere) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const fs::path logs = root / "logs";
  disk = std::make_unique<SmallDisk>(logs, 1024 * 1024);
  if (!disk->Mounted()) GTEST_SKIP() << disk->Why();
  ASSERT_TRUE(disk->LeaveRoom(logs / "other-file", kRoomBytes));
  const fs::path log = logs / "board.log";
  ChildProcess::Options options;
  options.environment = {"LD_LIBRARY_PATH=" + kBuild + "/sim", "Q7M_SIM_PTY=" + ptyPath.string(),
                         "Q7M_SIM_PTY_ROUTES=2", "Q7M_SIM_RX_COUNT=" + rxCount.string()};
  options.out = (root / "bridge.out").string();
  options.err = (root / "bridge.err").string();
  ChildProcess bridge({kBuild + "/bin/q7m-uart-bridge", "--route", "2", "--link",
                       (root / "link").string(), "--log", log.string()},
                      options);
  const auto started = Clock::now();
  while (!fs::exists(root / "link") && Clock::now() - started < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  OpenRemote();
  const std::string flood = q7m::sim::FloodText(0, 2 * kRoomBytes);
  RemoteWriteAll(flood);
  std::optional<std::uint64_t> said;
  std::string err;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!(said = NumberAfter(err = ReadWholeFile(root / "bridge.err"), "the log stops at ")) &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(said) << err;
  EXPECT_NE(err.find("cannot write " + log.string() + ": No space left on device"),
            std::string::npos)
      << err;
  bridge.Signal(SIGTERM);
  EXPECT_EQ(bridge.Wait(std::chrono::seconds(10)), 0);
  const std::string written = ReadWholeFile(log);
  EXPECT_EQ(written.size(), *said);
  EXPECT_TRUE(InOrderWithin(written, flood));
  if (Tally().overflows == 0) {
    EXPECT_EQ(written, flood.substr(0, written.size()));
  }
}

TEST_F(WorldAway, AProgramWhoseTerminalIsGoneEndsAndTheBoardIsFreeForTheNext) {
  for (const char* name : {"q7m-uart", "q7m-inspect"}) {
    SCOPED_TRACE(name);
    const fs::path folder = root / (std::string("program-") + name);
    fs::create_directories(folder);
    const fs::path program = folder / name;
    fs::copy_file(kBuild + "/bin/" + name, program);
    std::ofstream(folder / "Q7m_Uart.cfg") << "#COMMODE 115200\n";
    // In a session of its own, the program has no controlling terminal to
    // be hung up with: only its terminal's end tells it.
    Start("setsid -w " + program.string());
    const std::string menu = std::string(name) == "q7m-uart" ? "Q7M UART IO port" : "Q7M Inspect:";
    ASSERT_TRUE(session->WaitForText(menu)) << session->Capture();
    if (std::string(name) == "q7m-uart") {
      session->SendText("0");
      ASSERT_TRUE(session->WaitForText("<SF2>Exit")) << session->Capture();
    }
    ASSERT_TRUE(ProgramRuns(program));
    const auto gone = Clock::now();
    session.reset();  // the tmux server and its pane go
    while (ProgramRuns(program) && Clock::now() - gone < std::chrono::seconds(20)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(ProgramRuns(program)) << "the program outlived its terminal";
    std::printf("[ NOTE     ] %s ended %.0f ms after its terminal went\n", name,
                std::chrono::duration<double, std::milli>(Clock::now() - gone).count());
    // The next start gets the board.
    Start(program.string());
    ASSERT_TRUE(session->WaitForText(menu)) << session->Capture();
    EXPECT_EQ(session->Capture().find("Cannot Open Selected Device"), std::string::npos)
        << session->Capture();
    session->SendText("q");
    EXPECT_TRUE(session->WaitFor([&] { return !ProgramRuns(program); })) << session->Capture();
  }
}

}  // namespace
