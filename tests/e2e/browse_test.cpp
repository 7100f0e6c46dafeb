// q7m-browse in a real terminal (tmux): the file selector lists a directory,
// the user picks "Term.txt" with keys, and the viewer shows its lines.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/tmux_session.h"

namespace {

const std::string kBrowse = Q7M_BROWSE_PATH;

class BrowseInTmux : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/q7mb-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    std::filesystem::create_directory(dir + "/captures");
    std::ofstream(dir + "/alpha.log") << "not this one\n";
    std::ofstream(dir + "/zeta.cfg") << "nor this\n";
    std::ofstream term(dir + "/Term.txt");
    for (int i = 1; i <= 30; ++i) term << "VSC7420 boot line " << i << "\n";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string dir;
};

TEST_F(BrowseInTmux, PickTermTxtAndReadItsLines) {
  TmuxSession session("sh");
  ASSERT_TRUE(session.Started());
  ASSERT_TRUE(session.TypeAtPrompt(kBrowse + " " + dir)) << session.Capture();
  ASSERT_TRUE(session.WaitForText("Files: *.*")) << session.Capture();
  ASSERT_TRUE(session.WaitForText("Term.txt")) << session.Capture();
  EXPECT_TRUE(session.WaitForText(" Path: " + dir)) << session.Capture();
  EXPECT_TRUE(session.WaitForText(" captures")) << session.Capture();

  // Type-ahead "t" selects Term.txt; Enter opens it in the viewer.
  session.SendText("t");
  session.SendKeys({"Enter"});
  ASSERT_TRUE(session.WaitForText("File: Term.txt")) << session.Capture();
  EXPECT_TRUE(session.WaitForText("V:0030 H:020")) << session.Capture();
  EXPECT_TRUE(session.WaitForLine("  VSC7420 boot line 1")) << session.Capture();
  EXPECT_TRUE(session.WaitForLine("  VSC7420 boot line 23")) << session.Capture();
  EXPECT_EQ(session.Capture().find("boot line 24"), std::string::npos);

  // Ctrl-PgDn shows the last page.
  session.SendKeys({"C-NPage"});
  EXPECT_TRUE(session.WaitForLine("  VSC7420 boot line 30")) << session.Capture();
  EXPECT_TRUE(session.WaitForText("L:0008 P:001")) << session.Capture();

  // Esc back to the selector, Esc again quits to the shell.
  session.SendKeys({"Escape"});
  ASSERT_TRUE(session.WaitForText("Files: *.*")) << session.Capture();
  session.SendKeys({"Escape"});
  EXPECT_EQ(session.ShellStatus(), 0) << session.Capture();
  EXPECT_EQ(session.Format("#{alternate_on}"), "0") << "alternate screen left";
}

}  // namespace
