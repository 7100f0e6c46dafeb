#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "app/settings.h"
#include "console/memory_console.h"
#include "tests/support/screen_helpers.h"
#include "tests/widgets/scratch_dir.h"
#include "widgets/file_browse.h"
#include "widgets/file_selector.h"

namespace {

class BrowseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    console = &AttachMemoryConsole();
    console->SetTimeLimitMs(60000);
    SetColor(7, 0);
    ClearScreen();
    FileTop = FileSelIdx = DirTop = DirSelIdx = 0;
    LastExt.clear();
    dir.Dir("elsewhere");
    dir.Dir("logs");
    dir.File("alpha.log", "a\n");
    dir.File("Term.txt", "boot ok\n\x1b[32mlogin:\n");
    std::filesystem::current_path(dir.At("elsewhere"));
  }
  void TearDown() override { ConsoleDetach(); }
  // The screen rows 1 to 4 as they are at virtual time atMs.
  void SnapshotAt(std::uint64_t atMs) {
    console->onAdvance = [this, atMs](std::uint64_t nowNs) {
      if (nowNs / 1000000 == atMs) {
        for (int row = 1; row <= 4; ++row) snapshot[row] = ScreenLine(row);
      }
    };
  }
  ScratchDir dir;
  MemoryConsole* console = nullptr;
  std::string snapshot[5];
};

TEST_F(BrowseTest, PicksAFileShowsItAndGoesBackWhereItStarted) {
  console->PushKey("t", 100);
  console->PushKey(KeyEnter, 200);
  console->PushKey(KeyEsc, 1000);
  console->PushKey(KeyEsc, 1100);
  SnapshotAt(500);
  BrowseAndViewFile(dir.Path());
  EXPECT_EQ(snapshot[1].substr(0, 17), "   File: Term.txt");
  EXPECT_EQ(snapshot[2], "  boot ok");
  EXPECT_EQ(snapshot[3], "   [32mlogin:");
  EXPECT_EQ(console->KeysLeft(), 0u);
  EXPECT_EQ(std::filesystem::current_path(), dir.At("elsewhere"));
}

TEST_F(BrowseTest, SelectorComesBackAfterTheViewerAndAfterOtherKeys) {
  console->PushKey(KeyEnter, 100);  // alpha.log, the first file
  console->PushKey(KeyEsc, 200);
  console->PushKey(KeyF1, 300);  // not the selector's: it opens again
  console->PushKey(KeyLeft, 400);
  console->PushKey("L", 500);
  console->PushKey(KeyEnter, 600);  // into logs, which has no files
  SnapshotAt(700);
  console->PushKey(KeyEsc, 800);
  BrowseAndViewFile(dir.Path());
  EXPECT_EQ(snapshot[2], "  View a text file");
  EXPECT_EQ(snapshot[4], "  Path: " + dir.At("logs"));
  EXPECT_EQ(console->KeysLeft(), 0u);
  EXPECT_EQ(std::filesystem::current_path(), dir.At("elsewhere"));
}

TEST_F(BrowseTest, WalkDirectoriesEndsInTheChosenDirectory) {
  for (const std::string& key : {KeyTab, std::string("l"), KeyEnter, KeyLeft, KeyEnter}) {
    console->PushKey(key);
  }
  EXPECT_EQ(WalkDirectories(dir.Path()), dir.At("logs"));
  EXPECT_EQ(std::filesystem::current_path(), dir.At("logs"));
  console->PushKey(KeyF2);
  console->PushKey(KeyEsc);
  EXPECT_EQ(WalkDirectories(".."), "") << "Esc chooses nothing";
  EXPECT_EQ(std::filesystem::current_path(), dir.Path()) << "Esc keeps the walk's directory";
  EXPECT_EQ(console->KeysLeft(), 0u);
  console->PushKey(KeyEnter);
  EXPECT_EQ(WalkDirectories("/no/such/dir"), dir.Path()) << "a bad start stays put";
}

}  // namespace
