#pragma once
// The serial terminal on the simulated board and the in-memory console, run
// in a scratch folder of the test's own, where "Term.txt" is written.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/settings.h"
#include "config/config_file.h"
#include "console/console.h"
#include "tests/support/sim_board_fixture.h"

class TerminalOnSimBoardTest : public SimBoardTest {
 protected:
  // folderPrefix names the scratch folder (the pid is added).
  explicit TerminalOnSimBoardTest(std::string folderPrefix)
      : folderPrefix_(std::move(folderPrefix)) {}

  void SetUp() override {
    SimBoardTest::SetUp();
    dir = std::filesystem::temp_directory_path() / (folderPrefix_ + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    oldDir = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    MacroCount.fill(0);
    HelpCount = 0;
    TextFg = 7;
    TextBg = 0;
    SetColor(7, 0);
    ClearScreen();
  }
  void TearDown() override {
    std::filesystem::current_path(oldDir);
    std::filesystem::remove_all(dir);
    SimBoardTest::TearDown();
  }
  // What the capture file holds now.
  std::string Capture() const {
    std::ifstream in(dir / "Term.txt", std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

  std::filesystem::path dir;
  std::filesystem::path oldDir;

 private:
  std::string folderPrefix_;
};
