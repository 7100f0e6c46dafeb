#include <gtest/gtest.h>

#include <array>

#include "board/board_io.h"
#include "tests/support/sim_board_fixture.h"

namespace {

struct Expected {
  std::uint32_t offset;
  std::uint8_t value;
  bool write;
};

void ExpectLog(const SimApi& sim, const std::vector<Expected>& expected) {
  const auto log = sim.Accesses();
  ASSERT_EQ(log.size(), expected.size());
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].offset, expected[i].offset) << "access " << i;
    EXPECT_EQ(log[i].isWrite != 0, expected[i].write) << "access " << i;
    if (expected[i].write) {
      EXPECT_EQ(log[i].value, expected[i].value) << "access " << i;
    }
    EXPECT_EQ(log[i].wide, 0) << "access " << i;
  }
}

using BoardIoTest = SimBoardTest;

TEST_F(BoardIoTest, RegisterWriteStoresTheIndexThenTheValue) {
  BoardRegWrite(0x352, 8, 3);
  ExpectLog(*sim, {{0x1B353, 8, true}, {0x1B352, 3, true}});
  EXPECT_EQ(sim->SimRegValue(8), 3);
}

TEST_F(BoardIoTest, RegisterReadStoresTheIndexThenLoads) {
  sim->Inject("abc");
  EXPECT_EQ(BoardRegRead(0x352, 5), 3) << "receive status: three bytes waiting";
  ExpectLog(*sim, {{0x1B353, 5, true}, {0x1B352, 0, false}});
}

TEST_F(BoardIoTest, EachReadAfterOneSelectIsOneLoad) {
  sim->Inject("hello");
  BoardRegSelect(0x352, 4);
  std::string read;
  for (int i = 0; i < 5; ++i) read.push_back(static_cast<char>(BoardPortRead(0x352)));
  EXPECT_EQ(read, "hello");
  const auto log = sim->Accesses();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].isWrite, 1);
  for (std::size_t i = 1; i < log.size(); ++i) {
    EXPECT_EQ(log[i].isWrite, 0);
    EXPECT_EQ(log[i].offset, 0x1B352u);
    EXPECT_EQ(log[i].value, static_cast<std::uint8_t>("hello"[i - 1]));
  }
}

TEST_F(BoardIoTest, PlainPortWriteHasNoIndexWrite) {
  BoardPortWrite(0x2A4, 0);
  ExpectLog(*sim, {{0x1B2A4, 0, true}});
  EXPECT_EQ(sim->SimPortValue(0x2A4), 0);
}

using BoardOpenTest = SimBoardTest;

TEST_F(BoardOpenTest, StartUpWritesTheModeZeroSetupBlock) {
  std::array<std::uint8_t, 16> bytes{};
  std::array<std::uint8_t, 16> written{};
  sim->SimSetupBlockRead(bytes.data(), written.data());
  const std::array<std::uint8_t, 16> mode0 = {0x04, 0x15, 0x17, 0x00, 0x04, 0x12, 0x13, 0x13,
                                              0x04, 0x16, 0x37, 0x00, 0x04, 0x12, 0x13, 0x63};
  for (std::size_t i = 0; i < 16; ++i) {
    const bool skipped = i == 0x03 || i == 0x0B;
    EXPECT_EQ(written[i] != 0, !skipped) << "offset " << i;
    if (!skipped) {
      EXPECT_EQ(bytes[i], mode0[i]) << "offset " << i;
    }
  }
}

TEST_F(BoardOpenTest, SetupBlockModesDifferAsTabled) {
  LoadSetupBlock(1);
  std::array<std::uint8_t, 16> bytes{};
  std::array<std::uint8_t, 16> written{};
  sim->SimSetupBlockRead(bytes.data(), written.data());
  EXPECT_EQ(bytes[0x0A], 0x18);
  EXPECT_EQ(bytes[0x0F], 0x63);
  LoadSetupBlock(2);
  sim->SimSetupBlockRead(bytes.data(), written.data());
  const std::array<std::uint8_t, 16> mode2 = {0x04, 0x1D, 0x29, 0x00, 0x04, 0x1B, 0x1D, 0x29,
                                              0x04, 0x40, 0xD2, 0x00, 0x04, 0x3E, 0x40, 0xD2};
  for (std::size_t i = 0; i < 16; ++i) {
    if (i != 0x03 && i != 0x0B) {
      EXPECT_EQ(bytes[i], mode2[i]) << "offset " << i;
    }
  }
  LoadSetupBlock(7);
  sim->SimSetupBlockRead(bytes.data(), written.data());
  EXPECT_EQ(bytes[0x0A], 0x37) << "any other mode writes the mode-0 column";
  const auto log = sim->Accesses();
  ASSERT_EQ(log.size(), 3u * 14u);
  for (std::size_t i = 1; i < 14; ++i) EXPECT_GT(log[i].offset, log[i - 1].offset);
}

TEST_F(BoardOpenTest, ConfigShadowHoldsTheBoardsConfigurationSpace) {
  std::array<std::uint8_t, 256> board{};
  sim->SimConfigRead(board.data());
  EXPECT_EQ(ConfigShadow, board);
  EXPECT_EQ(ConfigShadow[0], 0x72);
  EXPECT_EQ(ConfigShadow[1], 0x11);
  EXPECT_EQ(ConfigShadow[2], 0x80);
  EXPECT_EQ(ConfigShadow[3], 0x56);
}

TEST_F(BoardOpenTest, CloseUnmapsThenClosesThenUnloads) {
  // Keep the library in memory after the binding lets go of it, to read its
  // record of the calls.
  void* keep = dlopen(PcieLibraryName.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  ASSERT_NE(keep, nullptr);
  void* const mapped = BoardMemBase;
  sim->SimSetClock(nullptr, nullptr);
  ClosePcieDllAccess();
  EXPECT_FALSE(PcieLibraryLoaded());
  EXPECT_EQ(BoardMemBase, nullptr);
  SimCallCounts counts{};
  sim->SimGetCallCounts(&counts);
  EXPECT_EQ(counts.munmap, 1u);
  EXPECT_EQ(counts.lastMunmapBase, mapped);
  EXPECT_EQ(counts.close, 1u);
  EXPECT_STREQ(sim->SimCloseOrder(), "MC");
  dlclose(keep);
}

}  // namespace
