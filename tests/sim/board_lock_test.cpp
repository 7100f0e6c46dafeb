// The simulated library's boards: each opened board locked against other
// processes until Close, several boards picked by number or address, each
// with a model and a pty bridge of its own.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "include/PCIAccessDll.h"
#include "sim/pty_bridge.h"
#include "sim/sim_control.h"
#include "tests/support/loaded_library.h"

namespace {

namespace fs = std::filesystem;

#define SIM(name) (Lib().Get<decltype(name)>(#name))

constexpr std::int32_t kVendor = 0x1172;
constexpr std::int32_t kDevice = 0x5680;
constexpr std::uint32_t kData = 0x1B352;
constexpr std::uint32_t kIndex = 0x1B353;

const Loaded& Lib() {
  static Loaded lib(std::string(Q7M_BUILD_DIR) + "/sim/libPCIAccessDll.so");
  return lib;
}

// What InitPCIAccess in another process of the same user makes of a board:
// "opened" or the reason it was refused. The child is named, for the
// holder's message.
std::string OpenInChild(const char* device) {
  int up[2];
  if (pipe(up) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_NAME, "q7m-child");
    if (device != nullptr) setenv("Q7M_PCI_DEVICE", device, 1);
    const std::string said =
        SIM(InitPCIAccess)(kVendor, kDevice, 0) == 0 ? "opened" : SIM(SimLastError)();
    (void)!write(up[1], said.data(), said.size());
    _exit(0);
  }
  close(up[1]);
  std::string said;
  char buffer[512];
  for (ssize_t n; (n = read(up[0], buffer, sizeof buffer)) > 0;) {
    said.append(buffer, static_cast<std::size_t>(n));
  }
  close(up[0]);
  waitpid(child, nullptr, 0);
  return said;
}

// Whether a lock file is held: a flock of our own on it is refused.
bool Held(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

std::string OwnCommand() {
  std::ifstream in("/proc/self/comm");
  std::string command;
  std::getline(in, command);
  return command;
}

class SimBoardsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Lib().ok()) << dlerror();
    const char* folder = getenv("Q7M_SIM_LOCK_DIR");
    ASSERT_NE(folder, nullptr) << "the test's own lock folder";
    locks_ = folder;
    SIM(SimReset)();
  }
  void TearDown() override {
    for (const char* name : {"Q7M_SIM_BOARDS", "Q7M_PCI_DEVICE", "Q7M_SIM_PTY", "Q7M_SIM1_PTY"}) {
      unsetenv(name);
    }
    // Board 0 again for the tests that follow in this process.
    SIM(InitPCIAccess)(kVendor, kDevice, 0);
    SIM(Close)();
    SIM(SimReset)();
  }
  void RegWrite(std::uint8_t index, std::uint8_t value) {
    SIM(WriteB)(index, kIndex, 0);
    SIM(WriteB)(value, kData, 0);
  }

  fs::path locks_;
};

TEST_F(SimBoardsTest, AnOpenBoardIsRefusedToOtherProcessesUntilClose) {
  const fs::path lock = locks_ / "0000:03:00.0.lock";
  ASSERT_EQ(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0) << SIM(SimLastError)();
  EXPECT_TRUE(Held(lock));
  EXPECT_EQ(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0) << "a second open in one process";
  EXPECT_TRUE(Held(lock));

  const std::string refused = OpenInChild(nullptr);
  EXPECT_NE(refused.find("InitPCIAccess: simulated board 0000:03:00.0 is in use by process " +
                         std::to_string(getpid()) + " (" + OwnCommand() + "), which holds " +
                         lock.string()),
            std::string::npos)
      << refused;
  EXPECT_NE(refused.find("choose another board with Q7M_PCI_DEVICE"), std::string::npos);

  SIM(Close)();
  EXPECT_FALSE(Held(lock));
  EXPECT_EQ(OpenInChild(nullptr), "opened");
  EXPECT_FALSE(Held(lock)) << "the child's end released it";

  // A failed open releases the board opened before, as the real library does.
  ASSERT_EQ(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0);
  EXPECT_NE(SIM(InitPCIAccess)(kVendor, kDevice + 1, 0), 0);
  EXPECT_NE(std::string(SIM(SimLastError)()).find("not vendor 0x1172 device 0x5681"),
            std::string::npos);
  EXPECT_FALSE(Held(lock));
}

TEST_F(SimBoardsTest, TheDefaultLockFolderIsTheUsersOwn) {
  const std::string saved = locks_.string();
  const fs::path runtime = locks_ / "runtime";
  fs::create_directories(runtime);
  unsetenv("Q7M_SIM_LOCK_DIR");
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  const int opened = SIM(InitPCIAccess)(kVendor, kDevice, 0);
  const std::string error = SIM(SimLastError)();
  const bool held = Held(runtime / "q7m-uart-sim" / "0000:03:00.0.lock");
  SIM(Close)();
  unsetenv("XDG_RUNTIME_DIR");

  // A lock folder that cannot be one refuses the open with the reason.
  const fs::path file = locks_ / "plain-file";
  std::ofstream(file) << "x";
  setenv("Q7M_SIM_LOCK_DIR", file.c_str(), 1);
  const int refused = SIM(InitPCIAccess)(kVendor, kDevice, 0);
  const std::string reason = SIM(SimLastError)();
  setenv("Q7M_SIM_LOCK_DIR", saved.c_str(), 1);

  EXPECT_EQ(opened, 0) << error;
  EXPECT_TRUE(held);
  EXPECT_EQ(fs::status(runtime / "q7m-uart-sim").permissions(), fs::perms::owner_all);
  EXPECT_NE(refused, 0);
  EXPECT_NE(reason.find("the lock folder " + file.string() + " is not a folder"), std::string::npos)
      << reason;
}

TEST_F(SimBoardsTest, TwoBoardsHaveTheirOwnModelsAndArePickedByNumberOrAddress) {
  setenv("Q7M_SIM_BOARDS", "2", 1);
  ASSERT_EQ(SIM(InitPCIAccess)(kVendor, kDevice, 1), 0) << SIM(SimLastError)();
  EXPECT_EQ(SIM(SimBoardIndex)(), 1);
  EXPECT_STREQ(SIM(SimBoardAddress)(), "0000:04:00.0");
  RegWrite(8, 3);
  void* base = nullptr;
  ASSERT_EQ(SIM(Mmap)(&base, 0, 0), 0);
  static_cast<volatile std::uint8_t*>(base)[0x1B2A4] = 0x5A;
  EXPECT_EQ(SIM(SimPortValue)(0x2A4), 0x5A);
  EXPECT_EQ(SIM(MUnmap)(base), 0);
  EXPECT_EQ(SIM(SimRegValue)(8), 3);
  SIM(Close)();

  ASSERT_EQ(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0);
  EXPECT_EQ(SIM(SimBoardIndex)(), 0);
  EXPECT_EQ(SIM(SimRegValue)(8), 0) << "board 0 has a model of its own";
  EXPECT_EQ(SIM(SimPortValue)(0x2A4), 0);

  // Board 0 held here, board 1 free for another process at the same time.
  EXPECT_EQ(OpenInChild("0000:04:00.0"), "opened");
  EXPECT_NE(OpenInChild("0").find("0000:03:00.0 is in use by process " + std::to_string(getpid())),
            std::string::npos);

  for (const char* device : {"1", "04:00.0", "0000:04:00.0"}) {
    setenv("Q7M_PCI_DEVICE", device, 1);
    ASSERT_EQ(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0) << device << SIM(SimLastError)();
    EXPECT_EQ(SIM(SimRegValue)(8), 3) << device << ": board 1 kept its state";
  }
  setenv("Q7M_PCI_DEVICE", "2", 1);
  EXPECT_NE(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0);
  EXPECT_NE(std::string(SIM(SimLastError)())
                .find("Q7M_PCI_DEVICE=2 was asked for, but there are 2 simulated board(s): "
                      "0000:03:00.0, 0000:04:00.0"),
            std::string::npos)
      << SIM(SimLastError)();
  setenv("Q7M_PCI_DEVICE", "0000:05:00.0", 1);
  EXPECT_NE(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0);
  EXPECT_NE(std::string(SIM(SimLastError)()).find("names no simulated board"), std::string::npos);
  setenv("Q7M_PCI_DEVICE", "two", 1);
  EXPECT_NE(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0);
  EXPECT_NE(std::string(SIM(SimLastError)()).find("Q7M_PCI_DEVICE=two is neither"),
            std::string::npos);
  unsetenv("Q7M_PCI_DEVICE");

  // One board unless asked for more; a count that cannot be is refused.
  unsetenv("Q7M_SIM_BOARDS");
  EXPECT_NE(SIM(InitPCIAccess)(kVendor, kDevice, 1), 0);
  for (const char* count : {"0", "5", "two", "12"}) {
    setenv("Q7M_SIM_BOARDS", count, 1);
    EXPECT_NE(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0) << count;
    EXPECT_NE(std::string(SIM(SimLastError)()).find("the number of simulated boards is 1 to 4"),
              std::string::npos)
        << count;
  }
}

TEST_F(SimBoardsTest, EachBoardLinksItsOwnPtyWhenItIsOpened) {
  const fs::path links = locks_ / "links";
  fs::create_directories(links);
  const fs::path first = links / "board0";
  const fs::path second = links / "board1";
  setenv("Q7M_SIM_BOARDS", "2", 1);
  setenv("Q7M_SIM_PTY", first.c_str(), 1);
  setenv("Q7M_SIM1_PTY", second.c_str(), 1);

  // Each board reads its variables when it is first opened after a reset.
  EXPECT_FALSE(fs::exists(first)) << "nothing is linked before a board is opened";
  ASSERT_EQ(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0) << SIM(SimLastError)();
  const std::string slave0 = SIM(SimPtyPath)();
  EXPECT_FALSE(fs::exists(second)) << "board 1 is not open";
  ASSERT_EQ(SIM(InitPCIAccess)(kVendor, kDevice, 1), 0) << SIM(SimLastError)();
  const std::string slave1 = SIM(SimPtyPath)();
  EXPECT_TRUE(slave1.starts_with("/dev/pts/")) << slave1;
  EXPECT_NE(slave1, slave0);
  EXPECT_EQ(fs::read_symlink(second).string(), slave1);
  EXPECT_EQ(fs::read_symlink(first).string(), slave0);

  // A process refused board 1 leaves its link alone.
  EXPECT_NE(OpenInChild("1"), "opened");
  EXPECT_EQ(fs::read_symlink(second).string(), slave1);

  SIM(Close)();
  unsetenv("Q7M_SIM_PTY");
  unsetenv("Q7M_SIM1_PTY");
  ASSERT_EQ(SIM(SimApplyEnvironment)(), 0);
  EXPECT_FALSE(fs::is_symlink(second)) << "board 1's bridge is gone with its variable";
  ASSERT_EQ(SIM(InitPCIAccess)(kVendor, kDevice, 0), 0);
  ASSERT_EQ(SIM(SimApplyEnvironment)(), 0);
  EXPECT_FALSE(fs::is_symlink(first));
}

TEST(PtyConfigPrefixTest, ASecondBoardReadsItsOwnVariables) {
  static std::string asked;
  auto get = [](const char* name) -> const char* {
    asked += std::string(name) + " ";
    const std::string n(name);
    if (n == "Q7M_SIM1_PTY") return "/tmp/b1";
    if (n == "Q7M_SIM1_PTY_ROUTES") return "7";
    return nullptr;
  };
  asked.clear();
  std::string error;
  EXPECT_FALSE(q7m::sim::ParsePtyConfig(get, error, "Q7M_SIM1_").has_value());
  EXPECT_EQ(error, "Q7M_SIM1_PTY_ROUTES: not a route number 0 to 5: \"7\"");
  EXPECT_EQ(asked, "Q7M_SIM1_PTY Q7M_SIM1_PTY_ROUTES ");
}

}  // namespace
