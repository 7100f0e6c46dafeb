// The q7m-inspect menu on the simulated board.

#include "app/inspect_menu.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "board/board_dumps.h"
#include "board/pcie_library.h"
#include "terminal/code_view.h"
#include "tests/support/screen_helpers.h"
#include "tests/support/sim_board_fixture.h"

namespace {

class InspectMenuTest : public SimBoardTest {
 protected:
  void SetUp() override {
    SimBoardTest::SetUp();
    console->SetTimeLimitMs(60000);
    dir = std::filesystem::path(testing::TempDir()) /
          ("q7m-inspect-" + std::to_string(getpid()) + "-" +
           testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ConfigShadowDirectory = dir.string();
    RecordRowTexts(*console, 24, shown);
  }
  void TearDown() override {
    console->onAdvance = nullptr;
    ConfigShadowDirectory.clear();
    std::filesystem::remove_all(dir);
    SimBoardTest::TearDown();
  }
  std::filesystem::path dir;
  std::vector<std::string> shown;
};

TEST_F(InspectMenuTest, MenuNamesEveryEntry) {
  DrawInspectMenu();
  EXPECT_EQ(ScreenLine(1), "Q7M Inspect:");
  EXPECT_EQ(ScreenLine(2), "------------");
  EXPECT_EQ(ScreenLine(4), " <B> BAR 0 dump");
  EXPECT_EQ(ScreenLine(5), " <C> Configuration space dump");
  EXPECT_EQ(ScreenLine(7), " <S> Save configuration copy to Q7m_Config.bin");
  EXPECT_EQ(ScreenLine(8), " <L> Load configuration copy from Q7m_Config.bin");
  EXPECT_EQ(ScreenLine(9), " <W> Write configuration copy back to the board");
  EXPECT_EQ(ScreenLine(11), " <A> ASCII code view (serial, <Ctrl-]> returns here)");
  EXPECT_EQ(ScreenLine(13), " <F> Files: pick one and view it (Term.txt after a terminal run)");
  EXPECT_EQ(ScreenLine(14), " <D> Directories: walk them with the directory selector");
  EXPECT_EQ(ScreenLine(16), " <Q> Quit");
  EXPECT_EQ(CursorRow(), 18);
  EXPECT_EQ(CursorCol(), 1);
}

TEST_F(InspectMenuTest, EveryEntryReturnsToTheMenuAndQuitClosesTheBoard) {
  const std::uint64_t configWrites = sim->SimConfigWriteCount();
  const int route = sim->SimRegValue(8);
  // All keys wait from the start: the BAR dump redraws without waiting, so its
  // keys must be there already (the virtual clock stands still meanwhile).
  auto key = [&](const std::string& k) { console->PushKey(k); };
  key("x");  // not an entry: the menu is drawn again
  key(KeyF1);
  key("b");
  key("Q");  // leaves the BAR dump
  key("c");
  key("\x1B");  // leaves the configuration dump
  key("s");
  key(" ");  // confirmation
  key("l");
  key(" ");
  key("w");
  key(" ");
  key("a");
  key(kCodeViewLeaveKey);
  key("q");
  RunInspectMenu(*console);

  EXPECT_EQ(console->KeysLeft(), 0u);
  const std::string path = (dir / "Q7m_Config.bin").string();
  EXPECT_EQ(std::filesystem::file_size(path), 256u);
  const std::vector<std::string> want = {
      "  Configuration copy saved to Q7m_Config.bin",
      "  Configuration copy loaded from Q7m_Config.bin",
      "  Configuration copy written back to the board",
  };
  EXPECT_EQ(shown, want);
  EXPECT_EQ(sim->SimConfigWriteCount(), configWrites + 1);
  EXPECT_EQ(sim->SimRegValue(8), route) << "the routing is left as it was";
  EXPECT_TRUE(sim->TransmittedText().empty()) << "the leave key is not sent";
  EXPECT_FALSE(PcieLibraryLoaded());
  EXPECT_STREQ(sim->SimCloseOrder(), "MC");
  EXPECT_EQ(ScreenLine(1), "Q7M Inspect:");
}

TEST_F(InspectMenuTest, LoadWithoutAFileSaysSo) {
  console->PushKey("L");
  console->PushKey(" ", 10);
  console->PushKey("Q", 20);
  RunInspectMenu(*console);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  Cannot read Q7m_Config.bin");
}

// Without root a sysfs board gives 64 bytes; the menu says what it saved and
// wrote, and with nothing read it saves nothing.
TEST_F(InspectMenuTest, APartialCopyIsSavedAndWrittenBackAsFarAsItWasRead) {
  sim->SimConfigSetReadLimit(64);
  ReadConfigShadow();
  for (const char* k : {"s", " ", "w", " ", "q"}) console->PushKey(k);
  RunInspectMenu(*console);
  const std::vector<std::string> want = {
      "  Only the 64 bytes read saved to Q7m_Config.bin",
      "  Copy holds 64 of 256 bytes: only those written back",
  };
  EXPECT_EQ(shown, want);
  EXPECT_EQ(std::filesystem::file_size(dir / "Q7m_Config.bin"), 64u);
}

TEST_F(InspectMenuTest, AnEmptyCopyIsNotSaved) {
  ConfigShadowValid = 0;
  for (const char* k : {"s", " ", "q"}) console->PushKey(k);
  RunInspectMenu(*console);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "  Configuration copy is empty - nothing saved");
  EXPECT_FALSE(std::filesystem::exists(dir / "Q7m_Config.bin"));
}

TEST_F(InspectMenuTest, FilesEntryShowsTheChosenFileInTheViewer) {
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  {
    std::ofstream capture(dir / "Term.txt", std::ios::binary);
    capture << "boot line one\r\nsecond line\r\n";
  }
  std::vector<std::string> viewer;
  console->onAdvance = [&](std::uint64_t) {
    if (viewer.empty() && ScreenLine(1).find("File: ") != std::string::npos) {
      for (int row = 1; row <= 3; ++row) viewer.push_back(ScreenLine(row));
    }
  };
  console->PushKey("f", 10);
  console->PushKey("T", 20);
  console->PushKey("\r", 30);
  console->PushKey("\x1B", 40);  // leaves the viewer
  console->PushKey("\x1B", 50);  // leaves the selector
  console->PushKey("q", 60);
  RunInspectMenu(*console);
  std::filesystem::current_path(old);
  ASSERT_EQ(viewer.size(), 3u);
  EXPECT_NE(viewer[0].find("File: Term.txt"), std::string::npos) << viewer[0];
  EXPECT_EQ(viewer[1], "  boot line one");
  EXPECT_EQ(viewer[2], "  second line");
  EXPECT_EQ(console->KeysLeft(), 0u);
}

TEST_F(InspectMenuTest, DirectoriesEntryReportsTheChoiceAndKeepsTheWorkingDirectory) {
  const auto old = std::filesystem::current_path();
  std::filesystem::create_directories(dir / "sub");
  std::filesystem::current_path(dir);
  console->PushKey("d", 10);
  console->PushKey("\r", 20);  // Enter on the path line chooses the current directory
  console->PushKey(" ", 30);
  console->PushKey("q", 40);
  RunInspectMenu(*console);
  const auto after = std::filesystem::current_path();
  std::filesystem::current_path(old);
  EXPECT_EQ(after, dir);
  // Row 24 also carries the selector's own status line; the confirmation is last.
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back(), "  " + ("Directory chosen: " + dir.string()).substr(0, 77));
}

TEST_F(InspectMenuTest, DirectoriesEntryLeftWithEscSaysNothingWasChosen) {
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  console->PushKey("d", 10);
  console->PushKey("\x1B", 20);
  console->PushKey(" ", 30);
  console->PushKey("q", 40);
  RunInspectMenu(*console);
  const auto afterEsc = std::filesystem::current_path();
  std::filesystem::current_path(old);
  EXPECT_EQ(afterEsc, dir);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back(), "  No directory chosen");
}

}  // namespace
