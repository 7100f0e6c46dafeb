// The dump screens, the configuration-space copy and the byte copies, with the
// simulated board loaded through the real binding.

#include "board/board_dumps.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "board/pcie_library.h"
#include "tests/support/screen_helpers.h"
#include "tests/support/sim_board_fixture.h"

namespace {

class BoardDumpsTest : public SimBoardTest {
 protected:
  void SetUp() override {
    SimBoardTest::SetUp();
    console->SetTimeLimitMs(20000);
    dir = std::filesystem::path(testing::TempDir()) /
          ("q7m-dumps-" + std::to_string(getpid()) + "-" +
           testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ConfigShadowDirectory = dir.string();
  }
  void TearDown() override {
    ConfigShadowDirectory.clear();
    std::filesystem::remove_all(dir);
    SimBoardTest::TearDown();
  }

  // Reads of BAR 0 below `end` in the access log, in order.
  std::vector<std::uint32_t> BarReads(std::uint32_t end = 0x2000) const {
    std::vector<std::uint32_t> offsets;
    for (const auto& access : sim->Accesses()) {
      if (!access.isWrite && access.offset < end) offsets.push_back(access.offset);
    }
    return offsets;
  }

  static std::vector<std::uint32_t> Ascending(std::uint32_t from, std::uint32_t count) {
    std::vector<std::uint32_t> offsets(count);
    for (std::uint32_t i = 0; i < count; ++i) offsets[i] = from + i;
    return offsets;
  }

  void WatchRow24() { RecordRowTexts(*console, 24, shown); }

  std::vector<std::uint8_t> FileBytes(const std::string& name) const {
    std::ifstream file(dir / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  void WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    std::ofstream file(dir / name, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

  std::filesystem::path dir;
  std::vector<std::string> shown;
};

TEST_F(BoardDumpsTest, BarDumpReads256BytesOfBar0WithReadBPerRedraw) {
  console->PushKey("D");
  console->PushKey("q");  // lower-case q does not leave
  console->PushKey("+");
  console->PushKey("Q");
  BarDumpScreen();
  std::vector<std::uint32_t> want = Ascending(0, 256);
  for (const std::uint32_t page : {0x100u, 0x100u, 0x200u}) {
    const auto more = Ascending(page, 256);
    want.insert(want.end(), more.begin(), more.end());
  }
  EXPECT_EQ(BarReads(), want);
  EXPECT_EQ(sim->Accesses().size(), want.size()) << "nothing but the page reads";
  EXPECT_EQ(ScreenText(1, 29, 8), "Bar Dump");
  EXPECT_EQ(ScreenText(2, 29, 8), "--------");
  EXPECT_EQ(ScreenLine(1), std::string(28, ' ') + "Bar Dump");
  EXPECT_EQ(ScreenText(24, 1, 25), "Current Addr : 0000000200");
}

TEST_F(BoardDumpsTest, BarDumpLeavesOnEsc) {
  console->PushKey("\x1B");
  BarDumpScreen();
  EXPECT_EQ(BarReads().size(), 256u);
}

TEST_F(BoardDumpsTest, EndShowsTheLastPageInTheStatusAtOnceAndItsContentOnTheNextRedraw) {
  const std::string marker = "ABCD";
  for (std::size_t i = 0; i < marker.size(); ++i) {
    Pcie.WriteB(static_cast<std::uint8_t>(marker[i]), static_cast<std::uint32_t>(0x1F04 + i), 0);
  }
  // Each redraw starts with a read of the board: the clock the board asks for
  // its first access is the moment to see what the last redraw left.
  struct Seen {
    std::string status;
    std::string firstLine;
  };
  static std::vector<Seen> seen;
  seen.clear();
  sim->SimSetClock(
      [](void* context) {
        Seen now{ScreenText(24, 1, 25), ScreenLine(5)};
        if (seen.empty() || seen.back().status != now.status ||
            seen.back().firstLine != now.firstLine) {
          seen.push_back(now);
        }
        return static_cast<MemoryConsole*>(context)->NowNsValue();
      },
      console);
  sim->SimAccessClear();
  console->PushKey(KeyEnd);
  console->PushKey("Q");
  BarDumpScreen();
  sim->SimSetClock(&VirtualClock, console);

  const std::string pageZero =
      "00  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00        ................";
  const std::string lastPage =
      "00  00 00 00 00 41 42 43 44 00 00 00 00 00 00 00 00        ....ABCD........";
  // Seen before the first redraw, then after it: the status has moved while
  // the grid still shows page 0. Only the next redraw shows the last page.
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].status, std::string(25, ' '));
  EXPECT_EQ(seen[1].status, "Current Addr : 0000001F00");
  EXPECT_EQ(seen[1].firstLine, pageZero);
  EXPECT_EQ(ScreenText(24, 1, 25), "Current Addr : 0000001F00");
  EXPECT_EQ(ScreenLine(5), lastPage);
  const auto reads = BarReads();
  ASSERT_EQ(reads.size(), 512u);
  EXPECT_EQ(std::vector<std::uint32_t>(reads.begin() + 256, reads.end()), Ascending(0x1F00, 256));
}

TEST_F(BoardDumpsTest, FreezeHoldsTheCounterUntilAKeyThenTheDumpRunsOn) {
  console->PushKey("F");
  // The first key releases the display; it and the next waiting key are dropped.
  console->PushKey("x", 300);
  console->PushKey("y", 300);
  console->PushKey("Q", 300);
  std::string frozen;
  console->onAdvance = [&](std::uint64_t) {
    if (frozen.empty()) frozen = ScreenText(5, 5, 11);
  };
  BarDumpScreen();
  // The counter counts milliseconds: 0 when the display froze, 300 after.
  EXPECT_EQ(frozen, "00 00 00 00");
  EXPECT_EQ(ScreenText(5, 5, 11), "2C 01 00 00");
  EXPECT_EQ(BarReads().size(), 512u);
  EXPECT_EQ(console->KeysLeft(), 0u);
}

TEST_F(BoardDumpsTest, ConfigDumpShowsTheBoardsConfigurationSpace) {
  console->PushKey(KeyDown);
  console->PushKey(" ");
  console->PushKey("Q");
  ConfigDumpScreen();
  EXPECT_EQ(ScreenText(1, 29, 17), "Config Space Dump");
  EXPECT_EQ(ScreenText(2, 29, 17), "-----------------");
  EXPECT_EQ(ScreenText(5, 1, 15), "00  72 11 80 56");
  std::array<std::uint8_t, 256> config{};
  sim->SimConfigRead(config.data());
  char want[8];
  std::snprintf(want, sizeof want, "%02X%02X", config[0x11], config[0x10]);
  EXPECT_EQ(ScreenLine(25), std::string("Val : ") + want);
  EXPECT_EQ(ScreenText(24, 1, 25), "Current Addr : 0000000000");
  EXPECT_TRUE(BarReads().empty()) << "no BAR access";
}

TEST_F(BoardDumpsTest, RestoreWritesTheShadowOnlyWhenTheDeviceMatches) {
  ConfigShadow[0x3C] = 0x0B;  // a changed interrupt line, to see it written
  const std::uint64_t writesBefore = sim->SimConfigWriteCount();
  EXPECT_TRUE(RestoreConfigSpace());
  EXPECT_EQ(sim->SimConfigWriteCount(), writesBefore + 1);
  std::array<std::uint8_t, 256> config{};
  sim->SimConfigRead(config.data());
  EXPECT_EQ(config, ConfigShadow);

  sim->SimConfigSetDeviceId(0x5681);
  ConfigShadow[0x3C] = 0x0C;
  console->PushKey(" ");
  WatchRow24();
  EXPECT_FALSE(RestoreConfigSpace());
  EXPECT_EQ(sim->SimConfigWriteCount(), writesBefore + 1) << "nothing written";
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  Device does not match");
  sim->SimConfigRead(config.data());
  EXPECT_EQ(config[0x3C], 0x0B);
}

// A board that gives only the first 64 bytes, as sysfs gives a process
// without CAP_SYS_ADMIN: the copy counts only those, and neither the board
// nor a file ever gets the zeros behind them as if they had been read.
TEST_F(BoardDumpsTest, APartialCopyIsWrittenBackAndSavedOnlyAsFarAsItWasRead) {
  std::array<std::uint8_t, 256> board{};
  sim->SimConfigRead(board.data());
  sim->SimConfigSetReadLimit(64);
  ConfigShadow.fill(0);
  ReadConfigShadow();
  EXPECT_EQ(ConfigShadowValid, 64u);
  EXPECT_TRUE(std::equal(board.begin(), board.begin() + 64, ConfigShadow.begin()));
  for (std::size_t i = 64; i < 256; ++i) ASSERT_EQ(ConfigShadow[i], 0) << i;

  ConfigShadow[0x3C] = 0x0B;
  const std::uint64_t writesBefore = sim->SimConfigWriteCount();
  console->PushKey(" ");
  WatchRow24();
  EXPECT_FALSE(RestoreConfigSpace()) << "not the whole copy";
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  Copy holds 64 of 256 bytes: only those written back");
  EXPECT_EQ(sim->SimConfigWriteCount(), writesBefore + 1);
  std::array<std::uint8_t, 256> after{};
  sim->SimConfigRead(after.data());
  EXPECT_EQ(after[0x3C], 0x0B);
  EXPECT_TRUE(std::equal(board.begin() + 64, board.end(), after.begin() + 64))
      << "the capability list and the rest are as they were";

  EXPECT_TRUE(SaveConfigShadow("part.bin"));
  EXPECT_EQ(FileBytes("part.bin"),
            std::vector<std::uint8_t>(ConfigShadow.begin(), ConfigShadow.begin() + 64));

  // Loaded over a whole copy (root's), the file's 64 bytes join the board's
  // other 192, and the whole is written back.
  sim->SimConfigSetReadLimit(256);
  ReadConfigShadow();
  EXPECT_EQ(ConfigShadowValid, 256u);
  EXPECT_TRUE(LoadConfigShadow("part.bin"));
  EXPECT_EQ(ConfigShadowValid, 256u);
  EXPECT_EQ(ConfigShadow[0x3C], 0x0B);
  EXPECT_TRUE(RestoreConfigSpace());
}

TEST_F(BoardDumpsTest, ACopyWithNothingReadIsNeitherWrittenBackNorSaved) {
  sim->SimConfigSetReadLimit(2);  // not even the IDs
  ReadConfigShadow();
  EXPECT_EQ(ConfigShadowValid, 0u);
  const std::uint64_t writesBefore = sim->SimConfigWriteCount();
  console->PushKey(" ");
  WatchRow24();
  EXPECT_FALSE(RestoreConfigSpace());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  Configuration copy is empty - nothing written");
  EXPECT_EQ(sim->SimConfigWriteCount(), writesBefore);
  EXPECT_FALSE(SaveConfigShadow("none.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir / "none.bin"));

  // A file of at least the IDs makes it a copy again.
  WriteFile("ids.bin", {0x72, 0x11, 0x80, 0x56});
  EXPECT_TRUE(LoadConfigShadow("ids.bin"));
  EXPECT_EQ(ConfigShadowValid, 4u);
}

TEST_F(BoardDumpsTest, SaveThenLoadLeavesTheShadowUnchanged) {
  for (std::size_t i = 0; i < 256; ++i) ConfigShadow[i] = static_cast<std::uint8_t>(255 - i);
  const auto saved = ConfigShadow;
  EXPECT_TRUE(SaveConfigShadow("image.bin"));
  EXPECT_EQ(FileBytes("image.bin"), std::vector<std::uint8_t>(saved.begin(), saved.end()));
  ConfigShadow.fill(0x5A);
  EXPECT_TRUE(LoadConfigShadow("image.bin"));
  EXPECT_EQ(ConfigShadow, saved);
  EXPECT_EQ(ConfigShadowPath("image.bin"), (dir / "image.bin").string());
}

TEST_F(BoardDumpsTest, ShorterFileLeavesTheTailAndLongerFileKeepsItsOwnTail) {
  ConfigShadow.fill(0x77);
  WriteFile("short.bin", {1, 2, 3, 4, 5});
  EXPECT_TRUE(LoadConfigShadow("short.bin"));
  EXPECT_EQ(ConfigShadow[0], 1);
  EXPECT_EQ(ConfigShadow[4], 5);
  for (std::size_t i = 5; i < 256; ++i) ASSERT_EQ(ConfigShadow[i], 0x77) << i;

  // Saving over a longer file is not a truncation.
  WriteFile("long.bin", std::vector<std::uint8_t>(300, 0xEE));
  EXPECT_TRUE(SaveConfigShadow("long.bin"));
  const auto bytes = FileBytes("long.bin");
  ASSERT_EQ(bytes.size(), 300u);
  EXPECT_TRUE(std::equal(ConfigShadow.begin(), ConfigShadow.end(), bytes.begin()));
  EXPECT_EQ(bytes[256], 0xEE);
  EXPECT_EQ(bytes[299], 0xEE);
}

TEST_F(BoardDumpsTest, MissingOrUnusableFilesLeaveTheShadowAlone) {
  ConfigShadow.fill(0x33);
  const auto before = ConfigShadow;
  EXPECT_FALSE(LoadConfigShadow("missing.bin"));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.bin")) << "loading creates no file";
  EXPECT_FALSE(LoadConfigShadow(""));
  std::filesystem::create_directory(dir / "sub");
  EXPECT_FALSE(LoadConfigShadow("sub"));
  EXPECT_FALSE(SaveConfigShadow("sub"));
  EXPECT_FALSE(SaveConfigShadow("no/such/dir/x.bin"));
  EXPECT_EQ(ConfigShadow, before);
  // An absolute name is taken as it is.
  const std::string absolute = (dir / "abs.bin").string();
  EXPECT_TRUE(SaveConfigShadow(absolute));
  EXPECT_EQ(FileBytes("abs.bin").size(), 256u);
}

TEST_F(BoardDumpsTest, BoardBytesAreCopiedOneAccessAtATimeInAscendingOrder) {
  const std::array<std::uint8_t, 3> out = {0x11, 0x22, 0x33};
  EXPECT_TRUE(WriteBoardBytes(0x1C004, 3, out));
  std::array<std::uint8_t, 8> in{};
  EXPECT_TRUE(ReadBoardBytes(0x1C004, 3, in));
  EXPECT_EQ(in, (std::array<std::uint8_t, 8>{0x11, 0x22, 0x33}));
  const auto log = sim->Accesses();
  ASSERT_EQ(log.size(), 6u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(log[i].isWrite);
    EXPECT_EQ(log[i].offset, 0x1C004 + i);
    EXPECT_EQ(log[i].value, out[i]);
    EXPECT_FALSE(log[3 + i].isWrite);
    EXPECT_EQ(log[3 + i].offset, 0x1C004 + i);
  }
}

TEST_F(BoardDumpsTest, BarBytesGoThroughWriteBAndReadB) {
  const std::array<std::uint8_t, 4> out = {0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_TRUE(BarWriteBytes(out, 4, 0x120, 0));
  std::array<std::uint8_t, 4> in{};
  EXPECT_TRUE(BarReadBytes(in, 4, 0x120, 0));
  EXPECT_EQ(in, out);
  const auto log = sim->Accesses();
  ASSERT_EQ(log.size(), 8u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(log[i].isWrite);
    EXPECT_EQ(log[i].offset, 0x120 + i);
    EXPECT_FALSE(log[4 + i].isWrite);
    EXPECT_EQ(log[4 + i].offset, 0x120 + i);
  }
}

TEST_F(BoardDumpsTest, CountsOfZeroOrLessCopyNothingAndTooLargeCountsAreRefused) {
  std::array<std::uint8_t, 4> buffer = {9, 9, 9, 9};
  WatchRow24();
  for (const int count : {0, -1}) {
    EXPECT_FALSE(ReadBoardBytes(0x1C000, count, buffer));
    EXPECT_FALSE(WriteBoardBytes(0x1C000, count, buffer));
    EXPECT_FALSE(BarReadBytes(buffer, count, 0x100, 0));
    EXPECT_FALSE(BarWriteBytes(buffer, count, 0x100, 0));
  }
  EXPECT_TRUE(shown.empty());
  for (int i = 0; i < 4; ++i) console->PushKey(" ");
  EXPECT_FALSE(ReadBoardBytes(0x1C000, 5, buffer));
  EXPECT_FALSE(WriteBoardBytes(0x1C000, 5, buffer));
  EXPECT_FALSE(BarReadBytes(buffer, 256, 0x100, 0));
  EXPECT_FALSE(BarWriteBytes(std::span(buffer).first(2), 3, 0x100, 0));
  EXPECT_TRUE(sim->Accesses().empty());
  EXPECT_EQ(buffer, (std::array<std::uint8_t, 4>{9, 9, 9, 9}));
  const std::vector<std::string> want = {
      "  ReadBoardBytes: count 5 exceeds the buffer of 4 bytes, nothing copied",
      "  WriteBoardBytes: count 5 exceeds the buffer of 4 bytes, nothing copied",
      "  BarReadBytes: count 256 exceeds the buffer of 4 bytes, nothing copied",
      "  BarWriteBytes: count 3 exceeds the buffer of 2 bytes, nothing copied",
  };
  EXPECT_EQ(shown, want);
}

TEST_F(BoardDumpsTest, MissingReadBAndWriteBSlotsAreReported) {
  const auto readB = Pcie.ReadB;
  const auto writeB = Pcie.WriteB;
  Pcie.ReadB = nullptr;
  Pcie.WriteB = nullptr;
  std::array<std::uint8_t, 4> buffer{};
  for (int i = 0; i < 3; ++i) console->PushKey(" ");
  WatchRow24();
  EXPECT_FALSE(BarReadBytes(buffer, 4, 0, 0));
  EXPECT_FALSE(BarWriteBytes(buffer, 4, 0, 0));
  BarDumpScreen();
  Pcie.ReadB = readB;
  Pcie.WriteB = writeB;
  const std::vector<std::string> want = {
      "  BarReadBytes: the access library has no ReadB, nothing read",
      "  BarWriteBytes: the access library has no WriteB, nothing written",
      "  Bar Dump: the access library has no ReadB, nothing read",
  };
  EXPECT_EQ(shown, want);
  EXPECT_TRUE(sim->Accesses().empty());
}

TEST_F(BoardDumpsTest, WithoutTheBoardEveryOperationSaysSoAndTouchesNothing) {
  sim->SimSetClock(nullptr, nullptr);
  ClosePcieDllAccess();
  sim->SimSetClock(&VirtualClock, console);
  sim->SimAccessClear();
  const std::uint64_t configWrites = sim->SimConfigWriteCount();
  std::array<std::uint8_t, 4> buffer{};
  for (int i = 0; i < 7; ++i) console->PushKey(" ");
  WatchRow24();
  BarDumpScreen();
  ConfigDumpScreen();
  EXPECT_FALSE(RestoreConfigSpace());
  EXPECT_FALSE(ReadBoardBytes(0, 4, buffer));
  EXPECT_FALSE(WriteBoardBytes(0, 4, buffer));
  EXPECT_FALSE(BarReadBytes(buffer, 4, 0, 0));
  EXPECT_FALSE(BarWriteBytes(buffer, 4, 0, 0));
  const std::vector<std::string> want = {
      "  Bar Dump: board not open, nothing read",
      "  Config Space Dump: board not open, nothing read",
      "  RestoreConfigSpace: board not open, nothing written",
      "  ReadBoardBytes: board memory not mapped, nothing read",
      "  WriteBoardBytes: board memory not mapped, nothing written",
      "  BarReadBytes: the access library has no ReadB, nothing read",
      "  BarWriteBytes: the access library has no WriteB, nothing written",
  };
  EXPECT_EQ(shown, want);
  EXPECT_TRUE(sim->Accesses().empty());
  EXPECT_EQ(sim->SimConfigWriteCount(), configWrites);
}

}  // namespace
