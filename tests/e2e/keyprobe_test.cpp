// The key probe in a real terminal (tmux): the keys a person presses arrive
// as the console's key codes, and every way out gives the terminal back.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/tmux_session.h"

namespace {

const std::string kProbe = Q7M_KEYPROBE_PATH;

struct KeyCase {
  std::string key;  // a tmux key name, or literal text
  bool literal;
  std::string hex;
};

TEST(KeyprobeInTmux, KeysArriveAsTheirConsoleCodes) {
  // Started from a shell, which reports the exit status: tmux's own record
  // of it is not reliable when the program ends under load.
  TmuxSession session("sh");
  ASSERT_TRUE(session.Started());
  ASSERT_TRUE(session.TypeAtPrompt(kProbe)) << session.Capture();
  ASSERT_TRUE(session.WaitForText("press keys")) << session.Capture();
  EXPECT_EQ(session.Format("#{alternate_on}"), "1") << "the console uses the alternate screen";
  {
    // The two-cell band and the box under the colours, as line-drawing glyphs.
    auto all = session.Lines();
    ASSERT_GE(all.size(), 6u);
    const std::vector<std::string> lines(all.begin() + 3, all.begin() + 6);
    EXPECT_NE(lines[0].find("\u250C\u2500\u2500\u2500\u252C\u2500\u2500\u2500\u2510"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("\u250C\u2500\u2500\u2500\u2510"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\u2502   \u2502   \u2502"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("\u2514\u2500\u2500\u2500\u2534\u2500\u2500\u2500\u2518"),
              std::string::npos)
        << lines[2];
    EXPECT_NE(lines[2].find("\u2514\u2500\u2500\u2500\u2518"), std::string::npos) << lines[2];
  }

  const std::vector<KeyCase> cases = {
      {"F1", false, "FF 3B"},      {"F12", false, "FF 86"},     {"S-F2", false, "FF 55"},
      {"S-F12", false, "FF 88"},   {"C-F1", false, "FF 5E"},    {"C-F12", false, "FF 8A"},
      {"F5", false, "FF 3F"},      {"C-Up", false, "FF 8D"},    {"C-Down", false, "FF 91"},
      {"C-Left", false, "FF 73"},  {"C-Right", false, "FF 74"}, {"C-NPage", false, "FF 76"},
      {"C-PPage", false, "FF 84"}, {"C-Home", false, "FF 77"},  {"C-End", false, "FF 75"},
      {"C-IC", false, "FF 92"},    {"C-DC", false, "FF 93"},    {"Up", false, "FF 48"},
      {"Left", false, "FF 4B"},    {"Home", false, "FF 47"},    {"End", false, "FF 4F"},
      {"PPage", false, "FF 49"},   {"NPage", false, "FF 51"},   {"DC", false, "FF 53"},
      {"IC", false, "FF 52"},      {"BTab", false, "FF 0F"},    {"BSpace", false, "08"},
      {"Enter", false, "0D"},      {"Tab", false, "09"},        {"Escape", false, "1B"},
      {"C-a", false, "01"},        {"C-c", false, "03"},        {"x", true, "78"},
      {"\xc3\xa9", true, "82"},  // e acute, typed as UTF-8
  };
  int count = 0;
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.key);
    if (c.literal) {
      session.SendText(c.key);
    } else {
      session.SendKeys({c.key});
    }
    ++count;
    EXPECT_TRUE(session.WaitForLine("key " + std::to_string(count) + ": " + c.hex))
        << session.Capture();
  }

  session.SendKeys({"q"});
  // Asked at the shell's prompt: input typed while the program gives the
  // terminal back may be flushed with its settings.
  EXPECT_EQ(session.ShellStatus(), 0) << session.Capture();
  EXPECT_EQ(session.Format("#{alternate_on}"), "0") << "alternate screen left";
}

TEST(KeyprobeWithoutTerminal, RefusesWithAReasonAndFailureStatus) {
  const std::string out = testing::TempDir() + "keyprobe-notty.txt";
  const int status = std::system((kProbe + " </dev/null >" + out + " 2>&1").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  std::ifstream file(out);
  std::string line;
  std::getline(file, line);
  EXPECT_EQ(line, "q7m-keyprobe: standard input is not a terminal");
}

// The probe's second row: the sixteen colours as digits 0-F and a few code
// page 437 glyphs, as the terminal shows them.
std::string SecondRow(TmuxSession& session, bool colors) {
  std::string screen = colors ? session.CaptureWithColors() : session.Capture();
  const auto start = screen.find('\n') + 1;
  return screen.substr(start, screen.find('\n', start) - start);
}

TEST(KeyprobeInTmux, SixteenColoursOnA256ColourTerminal) {
  TmuxSession session(kProbe);
  ASSERT_TRUE(session.WaitForText("glyphs")) << session.Capture();
  const std::string row = SecondRow(session, true);
  // PC order mapped onto the terminal's: 1 blue, 4 red, 6 brown (yellow),
  // bright ones as the terminal's bright colours.
  EXPECT_NE(row.find("\x1b[30m\x1b[47m0\x1b[34m\x1b[40m1\x1b[32m2\x1b[36m3\x1b[31m4\x1b[35m5"
                     "\x1b[33m6\x1b[37m7\x1b[90m8\x1b[94m9\x1b[92mA\x1b[96mB\x1b[91mC\x1b[95mD"
                     "\x1b[93mE\x1b[97mF"),
            std::string::npos)
      << row;
  EXPECT_EQ(SecondRow(session, false),
            "colours: 0123456789ABCDEF  glyphs: \u2554\u2550\u2557 \u263a \u03c0 \u2591");
}

TEST(KeyprobeInTmux, BrightColoursAsBoldOnAnEightColourTerminal) {
  TmuxSession::Options options;
  options.term = "screen";
  TmuxSession session(kProbe, options);
  ASSERT_TRUE(session.WaitForText("glyphs")) << session.Capture();
  const std::string row = SecondRow(session, true);
  EXPECT_NE(row.find("\x1b[37m7\x1b[1m\x1b[30m8\x1b[34m9\x1b[32mA\x1b[36mB\x1b[31mC\x1b[35mD"
                     "\x1b[33mE\x1b[37mF"),
            std::string::npos)
      << row;
  EXPECT_EQ(row.find("\x1b[9"), std::string::npos) << "no bright colour codes: " << row;
}

// Runs the probe from a shell in the pane, ends it with a signal from
// outside, and checks the shell's terminal afterwards.
class KeyprobeSignal : public testing::TestWithParam<int> {};

TEST_P(KeyprobeSignal, TerminalIsGivenBackAsItWas) {
  const int sig = GetParam();
  TmuxSession session("sh");
  ASSERT_TRUE(session.Started());
  // The shell answers (the line typed is not the line printed).
  ASSERT_TRUE(session.TypeAtPrompt("echo shell-$((6 * 7))")) << session.Capture();
  ASSERT_TRUE(session.WaitForLine("shell-42")) << session.Capture();
  ASSERT_TRUE(session.TypeAtPrompt(kProbe)) << session.Capture();
  ASSERT_TRUE(session.WaitForText("press keys")) << session.Capture();
  session.SendKeys({"F1"});
  ASSERT_TRUE(session.WaitForLine("key 1: FF 3B")) << session.Capture();

  const std::string screen = session.Capture();
  const auto pidAt = screen.find("(pid ");
  ASSERT_NE(pidAt, std::string::npos);
  const pid_t pid = std::stoi(screen.substr(pidAt + 5));
  ASSERT_GT(pid, 1);
  ASSERT_EQ(kill(pid, sig), 0);

  // Back at the shell (a shell drops the rest of a command list when a
  // program dies of SIGINT, so the status is asked for afterwards).
  // The shell saw the program die of the signal itself (128 + number).
  ASSERT_EQ(session.ShellStatus(), 128 + sig) << session.Capture();
  EXPECT_EQ(session.Format("#{alternate_on}"), "0") << "alternate screen left";
  EXPECT_EQ(session.Format("#{cursor_flag}"), "1") << "cursor visible again";
  EXPECT_TRUE(session.WaitForText("shell-42")) << "the shell's screen is back";

  // Line editing, echo, signals and newline handling are on again.
  ASSERT_TRUE(session.TypeAtPrompt(
      "echo \"modes: $(stty -a | tr ' ;' '\\n\\n' | grep -xE -- '-?(icanon|echo|isig|icrnl|opost)'"
      " | sort | tr '\\n' ' ')\""));
  EXPECT_TRUE(session.WaitForLine("modes: echo icanon icrnl isig opost")) << session.Capture();

  // Text written now carries no colour or attribute left over from the
  // console.
  ASSERT_TRUE(session.TypeAtPrompt("echo plain-text-after"));
  ASSERT_TRUE(session.WaitForLine("plain-text-after"));
  const std::string colored = session.CaptureWithColors();
  EXPECT_NE(colored.find("\nplain-text-after\n"), std::string::npos)
      << "the output line has escape sequences: " << colored;
}

INSTANTIATE_TEST_SUITE_P(ExternalAndFatalSignals, KeyprobeSignal,
                         testing::Values(SIGTERM, SIGHUP, SIGINT, SIGSEGV, SIGABRT),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

}  // namespace
