// When the bridge's standard error is the systemd journal, which names the
// program itself: only the stream that JOURNAL_STREAM names counts.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "bridge/bridge.h"

namespace {

std::string StreamName(dev_t device, ino_t inode) {
  return std::to_string(device) + ":" + std::to_string(inode);
}

TEST(JournalStream, OnlyTheVariableThatNamesStandardErrorMeansTheJournal) {
  struct stat info {};
  ASSERT_EQ(::fstat(STDERR_FILENO, &info), 0);
  EXPECT_TRUE(StandardErrorIsTheJournal(StreamName(info.st_dev, info.st_ino).c_str()));

  // Inherited from a service by a program that writes elsewhere.
  EXPECT_FALSE(StandardErrorIsTheJournal(StreamName(info.st_dev, info.st_ino + 1).c_str()));
  EXPECT_FALSE(StandardErrorIsTheJournal(StreamName(info.st_dev + 1, info.st_ino).c_str()));
  EXPECT_FALSE(StandardErrorIsTheJournal(nullptr));
  EXPECT_FALSE(StandardErrorIsTheJournal(""));
  EXPECT_FALSE(StandardErrorIsTheJournal(std::to_string(info.st_dev).c_str()));
  EXPECT_FALSE(StandardErrorIsTheJournal((StreamName(info.st_dev, info.st_ino) + "x").c_str()));
}

}  // namespace
