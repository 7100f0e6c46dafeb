// The configuration-space copy through the sysfs access library on a fake
// tree whose config file holds 64 bytes, as the kernel gives them to a
// process without CAP_SYS_ADMIN: the library logs the short read, the copy
// counts 64 bytes, and the write-back does not make the file any longer.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "board/board_dumps.h"
#include "board/pcie_library.h"
#include "console/console.h"
#include "console/memory_console.h"
#include "tests/pcie-linux/fake_sysfs.h"
#include "tests/support/screen_helpers.h"

namespace {

namespace fs = std::filesystem;

class ConfigCopyOnSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    base = fs::temp_directory_path() / ("q7m-copy-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(base);
    FakeDevice board;
    board.address = "0000:03:00.0";
    board.vendor = 0x1172;
    board.device = 0x5680;
    board.config_size = 64;
    board.bars = {{0, 0x20000}};
    dir = AddFakeDevice(base / "devices", board);
    fs::create_directories(base / "log");
    setenv("Q7M_PCI_SYSFS_ROOT", (base / "devices").c_str(), 1);
    setenv("Q7M_PCI_LOG_DIR", (base / "log").c_str(), 1);
    console = &AttachMemoryConsole();
    console->SetTimeLimitMs(20000);
    PcieLibraryName = Q7M_SYSFS_LIB;
    ConfigShadow.fill(0);
    ConfigShadowValid = 0;
    ConfigShadowDirectory = base.string();
  }
  void TearDown() override {
    console->onAdvance = nullptr;
    if (PcieLibraryLoaded()) ClosePcieDllAccess();
    ConsoleDetach();
    ConfigShadowDirectory.clear();
    unsetenv("Q7M_PCI_SYSFS_ROOT");
    unsetenv("Q7M_PCI_LOG_DIR");
    fs::remove_all(base);
  }

  fs::path base, dir;
  MemoryConsole* console = nullptr;
  std::vector<std::string> shown;
};

TEST_F(ConfigCopyOnSysfs, A64ByteConfigFileGivesA64ByteCopyThatIsWrittenBackAsSuch) {
  const std::string config = ReadBytes(dir / "config");
  ASSERT_EQ(config.size(), 64u);
  InitPcieDllAccess();
  ASSERT_NE(BoardMemBase, nullptr);
  EXPECT_EQ(ConfigShadowValid, 64u);
  EXPECT_EQ(std::string(ConfigShadow.begin(), ConfigShadow.begin() + 64), config);
  const std::string log = ReadBytes(base / "log/PCIAccessDll.log");
  EXPECT_NE(log.find("read only 64 of 256 bytes"), std::string::npos) << log;
  EXPECT_NE(log.find("the kernel gives only the first 64 bytes"), std::string::npos) << log;

  ConfigShadow[0x3C] = 0x0B;
  console->PushKey(" ");
  RecordRowTexts(*console, 24, shown);
  EXPECT_FALSE(RestoreConfigSpace());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  Copy holds 64 of 256 bytes: only those written back");
  const std::string after = ReadBytes(dir / "config");
  EXPECT_EQ(after.size(), 64u) << "a whole write would have added 192 bytes of zeros";
  EXPECT_EQ(static_cast<std::uint8_t>(after[0x3C]), 0x0B);
  EXPECT_EQ(after.substr(0, 0x3C), config.substr(0, 0x3C));

  EXPECT_TRUE(SaveConfigShadow("Q7m_Config.bin"));
  EXPECT_EQ(ReadBytes(base / "Q7m_Config.bin").size(), 64u);
}

}  // namespace
