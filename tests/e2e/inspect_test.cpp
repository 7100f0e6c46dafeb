// q7m-inspect in a real terminal (tmux) against the simulated board: what an
// engineer sees in the BAR dump and the configuration dump.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/tmux_session.h"

namespace {

const std::string kInspect = Q7M_INSPECT_PATH;
const std::string kSimDir = std::string(Q7M_BUILD_DIR) + "/sim";

// The row of the screen that starts with `prefix`, or empty.
std::string RowStartingWith(TmuxSession& session, const std::string& prefix) {
  for (const std::string& line : session.Lines()) {
    if (line.rfind(prefix, 0) == 0) return line;
  }
  return {};
}

// Quits from the menu and checks, at the shell's prompt, that the program
// ended with status 0 and gave the terminal back.
void QuitAndExpectStatusZero(TmuxSession& session, const std::string& quitKey = "Q") {
  session.SendText(quitKey);
  EXPECT_EQ(session.ShellStatus(), 0) << session.Capture();
  EXPECT_EQ(session.Format("#{alternate_on}"), "0");
}

// Starts q7m-inspect on the simulated board from a shell in the session.
void StartInspect(TmuxSession& session, const std::string& program = kInspect) {
  ASSERT_TRUE(session.Started());
  ASSERT_TRUE(session.TypeAtPrompt("LD_LIBRARY_PATH=" + kSimDir + " " + program))
      << session.Capture();
  ASSERT_TRUE(session.WaitForLine("Q7M Inspect:")) << session.Capture();
}

TEST(InspectInTmux, BarDumpIsLiveAndConfigDumpShowsTheBoardIds) {
  // Started from a shell, which reports the exit status.
  TmuxSession session("sh");
  StartInspect(session);

  session.SendText("b");
  ASSERT_TRUE(session.WaitForText("Bar Dump")) << session.Capture();
  ASSERT_TRUE(session.WaitFor([&] { return !RowStartingWith(session, "00  ").empty(); }))
      << session.Capture();
  // Bytes 0 to 3 of BAR 0 count milliseconds: two captures differ.
  const std::string first = RowStartingWith(session, "00  ");
  EXPECT_TRUE(session.WaitFor([&] {
    const std::string now = RowStartingWith(session, "00  ");
    return !now.empty() && now.substr(0, 16) != first.substr(0, 16);
  })) << first;
  EXPECT_TRUE(session.WaitForText("Current Addr : 0000000000")) << session.Capture();

  // Lower-case q stays: the page key typed after it still reaches the dump
  // (in the menu, "d" would open the directory screen). Upper-case Q leaves.
  session.SendText("q");
  session.SendText("d");
  EXPECT_TRUE(session.WaitForText("Current Addr : 0000000100")) << session.Capture();
  EXPECT_TRUE(session.WaitForText("Bar Dump")) << session.Capture();
  session.SendText("Q");
  ASSERT_TRUE(session.WaitForLine("Q7M Inspect:")) << session.Capture();

  session.SendText("c");
  ASSERT_TRUE(session.WaitForText("Config Space Dump")) << session.Capture();
  EXPECT_TRUE(session.WaitFor([&] {
    return RowStartingWith(session, "00  ").rfind("00  72 11 80 56 ", 0) == 0;
  })) << session.Capture();
  session.SendKeys({"Escape"});
  ASSERT_TRUE(session.WaitForLine("Q7M Inspect:")) << session.Capture();

  QuitAndExpectStatusZero(session, "q");  // the menu takes either case
}

TEST(InspectInTmux, CodeViewReturnsToTheMenuOnCtrlBracket) {
  TmuxSession session("sh");
  StartInspect(session);
  session.SendText("a");
  ASSERT_TRUE(session.WaitForText("Serial Term ASCII Code     <Ctrl-]>Exit")) << session.Capture();
  session.SendKeys({"C-]"});
  ASSERT_TRUE(session.WaitForLine("Q7M Inspect:")) << session.Capture();
  QuitAndExpectStatusZero(session);
}

TEST(InspectInTmux, FilesEntryShowsTermTxtInTheViewer) {
  // The program in a folder of its own, beside a capture of an earlier run.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("q7m-inspect-files-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(kInspect, dir / "q7m-inspect");
  std::ofstream(dir / "Term.txt", std::ios::binary) << "vsc7420# version\r\nVSC7420 demo 1.0\r\n";
  TmuxSession session("sh");
  StartInspect(session, (dir / "q7m-inspect").string());
  session.SendText("f");
  ASSERT_TRUE(session.WaitForText("Files: *.*")) << session.Capture();
  session.SendText("T");
  session.SendKeys({"Enter"});
  ASSERT_TRUE(session.WaitForText("File: Term.txt")) << session.Capture();
  EXPECT_TRUE(session.WaitForText("vsc7420# version")) << session.Capture();
  EXPECT_TRUE(session.WaitForText("VSC7420 demo 1.0")) << session.Capture();
  session.SendKeys({"Escape"});
  ASSERT_TRUE(session.WaitForText("Files: *.*")) << session.Capture();
  session.SendKeys({"Escape"});
  ASSERT_TRUE(session.WaitForLine("Q7M Inspect:")) << session.Capture();
  QuitAndExpectStatusZero(session);
  std::filesystem::remove_all(dir);
}

}  // namespace
