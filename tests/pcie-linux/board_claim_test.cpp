// Choosing one of several boards from Q7M_PCI_DEVICE, and finding the holder
// of a board's lock in the text of /proc/locks: the pieces both access
// libraries share.

#include <gtest/gtest.h>

#include <string>

#include "pcie-linux/board_choice.h"
#include "pcie-linux/board_lock.h"

namespace {

using q7m::pcie_linux::FlockHolder;
using q7m::pcie_linux::ParseBoardChoice;

TEST(BoardChoice, NumbersAndBusAddressesInTheFormsLspciShows) {
  struct Case {
    const char* text;
    bool byAddress;
    int index;
    const char* address;
  };
  for (const Case& c :
       {Case{"0", false, 0, ""}, Case{"1", false, 1, ""}, Case{" 12 ", false, 12, ""},
        Case{"999999999", false, 999999999, ""}, Case{"0000:05:00.0", true, 0, "0000:05:00.0"},
        Case{"05:00.0", true, 0, "0000:05:00.0"}, Case{"0000:0A:1F.7", true, 0, "0000:0a:1f.7"},
        Case{"10000:e1:00.1", true, 0, "10000:e1:00.1"}}) {
    std::string error;
    const auto choice = ParseBoardChoice(c.text, error);
    ASSERT_TRUE(choice.has_value()) << c.text << ": " << error;
    EXPECT_EQ(choice->byAddress, c.byAddress) << c.text;
    if (c.byAddress) {
      EXPECT_EQ(choice->address, c.address) << c.text;
    } else {
      EXPECT_EQ(choice->index, c.index) << c.text;
    }
  }
}

TEST(BoardChoice, AnythingElseIsRefusedWithBothFormsNamed) {
  for (const char* text : {"", "-1", "+1", "1x", "first", "1234567890", "05:00", "5:00.0",
                           "05:20.0", "05:00.8", "05:00.a", "000:05:00.0", "0000:05:00.0.1",
                           "0000:05-00.0", "123456789:05:00.0", "g000:05:00.0"}) {
    std::string error;
    EXPECT_FALSE(ParseBoardChoice(text, error).has_value()) << text;
    EXPECT_NE(error.find("Q7M_PCI_DEVICE=" + std::string(text) + " is neither a board number"),
              std::string::npos)
        << error;
    EXPECT_NE(error.find("0000:05:00.0"), std::string::npos) << error;
  }
}

// The shape of /proc/locks: number, kind, ADVISORY, mode, pid,
// major:minor:inode (the device in hex, the inode in decimal), range.
constexpr const char* kLocks =
    "1: POSIX  ADVISORY  WRITE 700 fe:00:555 0 EOF\n"
    "2: FLOCK  ADVISORY  WRITE 4242 00:16:1234 0 EOF\n"
    "2: -> FLOCK  ADVISORY  WRITE 4343 00:16:1234 0 EOF\n"
    "3: FLOCK  ADVISORY  WRITE 99 fe:01:1234 0 EOF\n"
    "4: OFDLCK ADVISORY  READ  -1 fe:00:777 0 EOF\n"
    "5: FLOCK  ADVISORY  WRITE 77 00:30:5678 0 EOF\n"
    "6: FLOCK  ADVISORY  WRITE 88 fe:00:9 0 EOF\n";

TEST(BoardLockHolder, TheGrantedFlockOnTheFileNamesTheProcess) {
  EXPECT_EQ(FlockHolder(kLocks, 0x00, 0x16, 1234), 4242) << "not the waiting request";
  EXPECT_EQ(FlockHolder(kLocks, 0xfe, 0x01, 1234), 99) << "the same inode on another device";
  EXPECT_EQ(FlockHolder(kLocks, 0xfe, 0x00, 9), 88);
  EXPECT_EQ(FlockHolder(kLocks, 0xfe, 0x00, 555), std::nullopt) << "a POSIX lock is not ours";
  EXPECT_EQ(FlockHolder(kLocks, 0xfe, 0x00, 777), std::nullopt);
  EXPECT_EQ(FlockHolder(kLocks, 0xfe, 0x00, 12), std::nullopt);
  EXPECT_EQ(FlockHolder("", 0, 0x16, 1234), std::nullopt);
  EXPECT_EQ(
      FlockHolder("garbage\n7: FLOCK\n8: FLOCK ADVISORY WRITE x 00:16:1234 0 EOF\n", 0, 0x16, 1234),
      std::nullopt);
}

TEST(BoardLockHolder, ADeviceNoLineHasFallsBackToAUniqueInode) {
  // A stacked file system can show the file on another device than fstat.
  EXPECT_EQ(FlockHolder(kLocks, 0x00, 0x2d, 5678), 77);
  EXPECT_EQ(FlockHolder(kLocks, 0x00, 0x2d, 1234), std::nullopt) << "two candidates: none named";
}

}  // namespace
