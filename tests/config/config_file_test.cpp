#include "config/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "app/settings.h"
#include "config/host_files.h"
#include "config/messages.h"
#include "console/memory_console.h"
#include "tests/support/screen_helpers.h"
#include "uart/uart.h"

namespace {

namespace fs = std::filesystem;

// One error report as it stood on row 24 while it waited for its key.
struct Report {
  std::string text;  // from column 3 on, trailing spaces removed
  bool whiteOnLightRed = true;
};

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    AlertCount = 0;
    console = &AttachMemoryConsole();
    SetColor(7, 0);
    ClearScreen();
    oldDir = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "q7m-config-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    fs::current_path(dir);
    BaudRate = 300;  // LoadConfig must set its own start value
  }
  void TearDown() override {
    ConsoleDetach();
    fs::current_path(oldDir);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }

  static void WriteFile(const std::string& name, const std::string& content) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << content;
  }
  static void WriteConfig(const std::string& content) { WriteFile("Q7m_Uart.cfg", content); }

  // Runs LoadConfig, answering every message with a key and recording the
  // text that stood on row 24 while it waited.
  // Start-up's way by default: the UART's rule decides which rates are taken.
  std::vector<std::string> Load(ConfigLoad load = {.baudRateUsable = UartBaudRateUsable}) {
    reports.clear();
    console->onAdvance = [this](std::uint64_t) {
      if (console->KeysLeft() > 0) return;
      std::string text = ScreenText(24, 3, 77);
      text.erase(text.find_last_not_of(' ') + 1);
      bool colors = true;
      for (int col = 2; col <= 79; ++col)
        colors = colors && CellColors(24, col) == ColorPair{15, 12};
      reports.push_back(Report{text, colors});
      console->PushKey("x");
    };
    LoadConfig(load);
    console->onAdvance = nullptr;
    EXPECT_EQ(ScreenLine(24), "") << "every message is removed again";
    std::vector<std::string> texts;
    for (const auto& report : reports) texts.push_back(report.text);
    return texts;
  }

  static int MacroSlotsInUse() {
    int used = 0;
    for (int slot = 1; slot <= kMacroSlots; ++slot) used += MacroCount[slot] != 0 ? 1 : 0;
    return used;
  }

  MemoryConsole* console = nullptr;
  fs::path oldDir;
  fs::path dir;
  std::vector<Report> reports;
};

using Texts = std::vector<std::string>;

TEST_F(ConfigFileTest, ReadsTheExampleFile) {
  WriteConfig(
      "' UART settings\n"
      "#COMMODE 115200\n"
      "#F1 CR\n"
      "#F2 W500 $3 CR\n"
      "#HELP\n"
      "F1 = Enter\n"
      "\"\n"
      "F2 = Ctrl-C after half a second\n");
  EXPECT_EQ(Load(), Texts{});
  EXPECT_EQ(BaudRate, 115200);
  EXPECT_EQ(MacroCount[1], 1);
  EXPECT_EQ(MacroText[1][1], "CR");
  EXPECT_EQ(MacroCount[2], 1);
  EXPECT_EQ(MacroText[2][1], "W500 $3 CR");
  EXPECT_EQ(MacroSlotsInUse(), 2);
  ASSERT_EQ(HelpCount, 3);
  EXPECT_EQ(HelpLines[1], "F1 = Enter");
  EXPECT_EQ(HelpLines[2], " ");
  EXPECT_EQ(HelpLines[3], "F2 = Ctrl-C after half a second");
}

TEST_F(ConfigFileTest, CrLfLineEndsReadLikeLf) {
  WriteConfig(
      "' UART settings\r\n"
      "#COMMODE 57600\r\n"
      "#F1 CR  \r\n"
      "\r\n"
      "   \r\n"
      "#F2\r\n"
      "W500\r\n"
      "$3\r\n"
      "#HELP\r\n"
      "\"\r\n"
      "last line without an end");
  EXPECT_EQ(Load(), Texts{});
  EXPECT_EQ(BaudRate, 57600);
  EXPECT_EQ(MacroCount[1], 1);
  EXPECT_EQ(MacroText[1][1], "CR");
  ASSERT_EQ(MacroCount[2], 2);
  EXPECT_EQ(MacroText[2][1], "W500");
  EXPECT_EQ(MacroText[2][2], "$3");
  ASSERT_EQ(HelpCount, 2);
  EXPECT_EQ(HelpLines[1], " ") << "a quote line ending in CR LF is still a lone quote";
  EXPECT_EQ(HelpLines[2], "last line without an end");
}

TEST_F(ConfigFileTest, MissingFileIsReportedAndLeavesTheTablesAlone) {
  MacroCount[5] = 2;
  HelpCount = 1;
  WriteFile("Q7m_Uart.txt", "#F1 x\n");
  fs::create_directory("Q7m_Uart.cfg.d");
  EXPECT_EQ(Load(), Texts{"Config file not found: Q7m_Uart.cfg"});
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0].whiteOnLightRed);
  EXPECT_EQ(BaudRate, 115200);
  EXPECT_EQ(MacroCount[5], 2);
  EXPECT_EQ(HelpCount, 1);
  MacroCount[5] = 0;
  HelpCount = 0;
}

TEST_F(ConfigFileTest, AnOptionalFileMayBeMissingQuietly) {
  EXPECT_EQ(Load({.reportMissingFile = false}), Texts{});
  EXPECT_EQ(BaudRate, 115200) << "the start value is given all the same";
}

TEST_F(ConfigFileTest, ADirectoryOfThatNameIsNoConfigFile) {
  fs::create_directory("Q7m_Uart.cfg");
  EXPECT_EQ(Load(), Texts{"Config file not found: Q7m_Uart.cfg"});
}

// Root reads any file, so the test takes another user's identity while the
// file is opened.
class EffectiveUser {
 public:
  explicit EffectiveUser(uid_t uid) : old_(geteuid()) { changed_ = seteuid(uid) == 0; }
  ~EffectiveUser() {
    if (changed_) (void)!seteuid(old_);
  }
  bool Changed() const { return changed_; }

 private:
  uid_t old_;
  bool changed_ = false;
};

TEST_F(ConfigFileTest, UnreadableFileIsReported) {
  WriteConfig("#F1 x\n");
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  fs::permissions("Q7m_Uart.cfg", fs::perms::none);
  MacroCount[1] = 4;
  std::vector<std::string> texts;
  {
    const bool root = geteuid() == 0;
    EffectiveUser nobody(65534);
    if (root && !nobody.Changed()) GTEST_SKIP() << "cannot drop root rights here";
    const int probe = open("Q7m_Uart.cfg", O_RDONLY);
    if (probe >= 0) {
      close(probe);
      GTEST_SKIP() << "the file stays readable here";
    }
    texts = Load();
  }
  EXPECT_EQ(texts, Texts{"Config file cannot be read: Q7m_Uart.cfg"});
  EXPECT_EQ(BaudRate, 115200);
  EXPECT_EQ(MacroCount[1], 0) << "the tables are emptied before the file is opened";
}

TEST_F(ConfigFileTest, ReadsTheFileInAnotherLetterCase) {
  WriteFile("Q7M_UART.CFG", "#F1 upper\n");
  EXPECT_EQ(Load(), Texts{});
  ASSERT_EQ(MacroCount[1], 1);
  EXPECT_EQ(MacroText[1][1], "upper");
}

TEST_F(ConfigFileTest, CommentsAndBlankLinesOnlyLeaveEverythingEmpty) {
  MacroCount[3] = 7;
  HelpCount = 2;
  WriteConfig("' a comment\n\n     \n   ' indented comment\n'#F1 x\n");
  EXPECT_EQ(Load(), Texts{});
  EXPECT_EQ(BaudRate, 115200);
  EXPECT_EQ(MacroSlotsInUse(), 0);
  EXPECT_EQ(HelpCount, 0);

  WriteConfig("");
  EXPECT_EQ(Load(), Texts{});
  EXPECT_EQ(BaudRate, 115200);
}

struct BaudCase {
  std::string file;
  std::int32_t baud;
};

TEST_F(ConfigFileTest, BaudRateEntriesAndTheLastOneWins) {
  const std::vector<BaudCase> cases = {
      {"9600\n", 9600},
      {"  19200  \n", 19200},
      {"#COMMODE 57600\n38400\n", 38400},
      {"#commode 9600\n", 9600},
      {"#COMMODE9600\n", 9600},
      {"#COMMODE\n4800\n", 4800},
      {"#CoMmOdE 2400 bits\n", 2400},
      {"&H2580\n", 9600},
      {"9600.5\n", 9600},
      {"9601.5\n", 9602},
      {"1.152e5\n", 115200},
      {"9600\n#HELP\n4800\n", 9600},
      {"#COMMODE 9600\n#F1 x\n#COMMODE\n2400\n", 2400},
      {"#COMMODE 9600 ' not a comment here, the number ends it\n", 9600},
      {"#COMMODE 'comment\n", 115200},
      {"#FX\n19200\n", 19200},
      {"#FX 4800\n", 4800},
      {"#F0 2400\n", 2400},
      {"#F&H\n9600\n", 9600},
      {"#F1 a\n#FX\n9600\n", 9600},
  };
  for (const auto& c : cases) {
    WriteConfig(c.file);
    EXPECT_EQ(Load(), Texts{}) << c.file;
    EXPECT_EQ(BaudRate, c.baud) << c.file;
  }
}

struct ReportCase {
  std::string file;
  Texts reports;
  std::int32_t baud;
};

TEST_F(ConfigFileTest, UnusableBaudRatesAreReportedAndTheRateInForceKept) {
  const std::vector<ReportCase> cases = {
      {"1200\n", {"Baud rate not usable, 115200 kept: 1200"}, 115200},
      {"1907\n", {"Baud rate not usable, 115200 kept: 1907"}, 115200},
      {"1908\n", {}, 1908},
      {"250000000\n", {}, 250000000},
      {"#COMMODE 250000001\n", {"Baud rate not usable, 115200 kept: #COMMODE 250000001"}, 115200},
      {"9600\nabc\n", {"Baud rate not usable, 9600 kept: abc"}, 9600},
      {"-9600\n", {"Baud rate not usable, 115200 kept: -9600"}, 115200},
      {"1e400\n", {"Baud rate not usable, 115200 kept: 1e400"}, 115200},
      {"0x2580\n4800\n", {"Baud rate not usable, 115200 kept: 0x2580"}, 4800},
  };
  for (const auto& c : cases) {
    WriteConfig(c.file);
    EXPECT_EQ(Load(), c.reports) << c.file;
    EXPECT_EQ(BaudRate, c.baud) << c.file;
  }
}

TEST_F(ConfigFileTest, WithoutARuleEveryRateIsTakenAsItReads) {
  for (const auto& [file, baud] : std::vector<std::pair<std::string, std::int32_t>>{
           {"1200\n", 1200}, {"-9600\n", -9600}, {"1e400\n", 2147483647}}) {
    WriteConfig(file);
    EXPECT_EQ(Load({}), Texts{}) << file;
    EXPECT_EQ(BaudRate, baud) << file;
  }
}

TEST_F(ConfigFileTest, HelpLines) {
  WriteConfig(
      "#HELP first line\n"
      "second   line  \n"
      "  \"  \n"
      "\"\"\n"
      "#help\n"
      "Mixed Case\n"
      "\t#HELP a tab keeps it an entry\n"
      "   #HELP  spaces do not\n");
  EXPECT_EQ(Load(), Texts{});
  const std::vector<std::string> expected = {
      "first line",   "second   line", " ", "\"\"", "Mixed Case", "\t#HELP a tab keeps it an entry",
      "spaces do not"};
  ASSERT_EQ(HelpCount, static_cast<std::int32_t>(expected.size()));
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(HelpLines[i + 1], expected[i]);
}

TEST_F(ConfigFileTest, TwoHelpSectionsAddUp) {
  WriteConfig("#HELP\none\ntwo\n#F1 x\n#HELP three\nfour\n");
  EXPECT_EQ(Load(), Texts{});
  ASSERT_EQ(HelpCount, 4);
  EXPECT_EQ(HelpLines[1], "one");
  EXPECT_EQ(HelpLines[2], "two");
  EXPECT_EQ(HelpLines[3], "three");
  EXPECT_EQ(HelpLines[4], "four");
  EXPECT_EQ(MacroCount[1], 1);
}

struct MacroCase {
  std::string file;
  int slot;
  std::vector<std::string> lines;
};

TEST_F(ConfigFileTest, MacroDirectivesAndTheirLines) {
  const std::vector<MacroCase> cases = {
      {"#F3\na\nb\n", 3, {"a", "b"}},
      {"#F1 one\n#F1 two\n", 1, {"two"}},
      {"#F1 one\n#F1\n", 1, {"one"}},
      {"#F1 one\n#F1 'no lines\n", 1, {"one"}},
      {"#F1 a\n' comment\n\n  b  \n\tc\n", 1, {"a", "b", "\tc"}},
      {"#f1 x\n", 1, {"x"}},
      {"#F1ls\n", 1, {"s"}},
      {"#F12 ls\n", 12, {"ls"}},
      {"#F123\n", 12, {"3"}},
      {"#F1.5\n", 1, {"5"}},
      {"#F 5 x\n", 5, {"x"}},
      {"#F+7\n", 7, {}},
      {"#SF-1 x\n", 11, {"x"}},
      {"#F13 y\n", 13, {"y"}},
      {"#F24 y\n", 24, {"y"}},
      {"#SF3 x\n", 15, {"x"}},
      {"#SF1 a\n", 13, {"a"}},
      {"#sf2 b\n", 14, {"b"}},
      {"#SF12\nlast\n", 24, {"last"}},
      {"#SF 3 z\n", 15, {"z"}},
      {"#F1 #F2 keeps its hash\n", 1, {"#F2 keeps its hash"}},
  };
  for (const auto& c : cases) {
    WriteConfig(c.file);
    EXPECT_EQ(Load(), Texts{}) << c.file;
    for (int slot = 1; slot <= kMacroSlots; ++slot) {
      const std::size_t expectedCount = slot == c.slot ? c.lines.size() : 0;
      ASSERT_EQ(MacroCount[slot], static_cast<std::int32_t>(expectedCount))
          << c.file << " slot " << slot;
      for (std::size_t line = 1; line <= expectedCount; ++line) {
        EXPECT_EQ(MacroText[slot][line], c.lines[line - 1]) << c.file;
      }
    }
  }
}

TEST_F(ConfigFileTest, EachMacroRunsToTheNextDirective) {
  WriteConfig("#F1 a\n#F2 b\nc\n#SF3\nd\n#HELP\nhelp\n#F4\n");
  EXPECT_EQ(Load(), Texts{});
  EXPECT_EQ(MacroCount[1], 1);
  ASSERT_EQ(MacroCount[2], 2);
  EXPECT_EQ(MacroText[2][2], "c");
  ASSERT_EQ(MacroCount[15], 1);
  EXPECT_EQ(MacroText[15][1], "d");
  EXPECT_EQ(MacroCount[4], 0);
  EXPECT_EQ(HelpCount, 1);
}

TEST_F(ConfigFileTest, UnknownDirectivesAreReportedAndTheirEntriesDropped) {
  WriteConfig(
      "#BAUD 9600\n"
      "4800\n"
      "# F1\n"
      "x\n"
      "#\n"
      "#F1 kept\n"
      "#HELPER\n"
      "#COMMOD 1200\n"
      "dropped\n"
      "#HELP h\n");
  EXPECT_EQ(Load(), (Texts{"Non Valid Command: #BAUD 9600", "Non Valid Command: # F1",
                           "Non Valid Command: #", "Non Valid Command: #COMMOD 1200"}));
  ASSERT_EQ(reports.size(), 4u);
  for (const auto& report : reports) EXPECT_TRUE(report.whiteOnLightRed);
  EXPECT_EQ(BaudRate, 115200);
  EXPECT_EQ(MacroCount[1], 1);
  EXPECT_EQ(MacroText[1][1], "kept");
  EXPECT_EQ(MacroSlotsInUse(), 1);
  ASSERT_EQ(HelpCount, 2) << "#HELPER is the help directive with the text \"ER\"";
  EXPECT_EQ(HelpLines[1], "ER");
  EXPECT_EQ(HelpLines[2], "h");
}

TEST_F(ConfigFileTest, KeyNumbersNamingNoSlotAreReportedOnceWithTheirEntriesDropped) {
  WriteConfig(
      "#F25 x\n"
      "y\n"
      "' a comment is no line\n"
      "#SF13\n"
      "z\n"
      "#F-2 w\n"
      "#F99\n"
      "#SF99 'comment\n"
      "#F1 ok\n"
      "#F26\n"
      "a\n");
  EXPECT_EQ(Load(), (Texts{"#F25 names no function key: it was dropped with its 2 lines",
                           "#SF13 names no function key: it was dropped with its 1 line",
                           "#F-2 names no function key: it was dropped with its 1 line",
                           "#F99 names no function key: it was dropped",
                           "#SF99 names no function key: it was dropped",
                           "#F26 names no function key: it was dropped with its 1 line"}));
  EXPECT_EQ(MacroSlotsInUse(), 1);
  EXPECT_EQ(MacroText[1][1], "ok");
  EXPECT_EQ(HelpCount, 0);
  EXPECT_EQ(BaudRate, 115200);
}

TEST_F(ConfigFileTest, KeyNumberMinusOneSelectsTheHelpSection) {
  // -1 is the help section's number, so "#F-1" reaches it like "#FX" reaches 0.
  WriteConfig("#F-1 help text\nmore\n");
  EXPECT_EQ(Load(), Texts{});
  ASSERT_EQ(HelpCount, 2);
  EXPECT_EQ(HelpLines[1], "help text");
  EXPECT_EQ(HelpLines[2], "more");
}

TEST_F(ConfigFileTest, LinesBeyondTheTablesAreReportedOnceASectionAndDropped) {
  std::string file = "#F1\n";
  for (int i = 1; i <= 101; ++i) file += "L" + std::to_string(i) + "\n";
  file += "#HELP\n";
  for (int i = 1; i <= 40; ++i) file += "H" + std::to_string(i) + "\n";
  file += "#SF3\n";
  for (int i = 1; i <= 100; ++i) file += "S\n";
  file += "#HELP H41\n";
  WriteConfig(file);
  EXPECT_EQ(Load(), (Texts{"F1: 2 macro lines beyond the 99 that fit were dropped",
                           "16 help lines beyond the 24 that fit were dropped",
                           "Shift-F3: 1 macro line beyond the 99 that fit was dropped",
                           "1 help line beyond the 24 that fit was dropped"}));
  EXPECT_EQ(MacroCount[15], 99);
  ASSERT_EQ(MacroCount[1], 99);
  EXPECT_EQ(MacroText[1][1], "L1");
  EXPECT_EQ(MacroText[1][99], "L99");
  ASSERT_EQ(HelpCount, 24);
  EXPECT_EQ(HelpLines[24], "H24");

  // A new directive for the key starts its count again.
  file = "#F1\n";
  for (int i = 1; i <= 100; ++i) file += "L\n";
  file += "#F1 again\n";
  WriteConfig(file);
  EXPECT_EQ(Load(), Texts{"F1: 1 macro line beyond the 99 that fit was dropped"});
  EXPECT_EQ(MacroCount[1], 1);
  EXPECT_EQ(MacroText[1][1], "again");
}

TEST_F(ConfigFileTest, LongReportsAreCutOnTheMessageRow) {
  const std::string directive = "#UNKNOWN" + std::string(100, 'x');
  WriteConfig(directive + "\n");
  const Texts texts = Load();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], ("Non Valid Command: " + directive).substr(0, 77));
}

class FileExistsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldDir = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "q7m-exists-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    fs::current_path(dir);
    for (const char* name : {"Q7m_Uart.cfg", "notes.txt", ".hidden.cfg", "a.dat", "ba.dat"}) {
      std::ofstream(name) << "x";
    }
    fs::create_directory("subdir");
    std::ofstream("subdir/Inner.CFG") << "x";
    fs::create_directory("folder.cfg");
    fs::create_symlink("notes.txt", "link.txt");
    fs::create_symlink("gone.txt", "dangling.txt");
    fs::permissions("notes.txt", fs::perms::owner_read);  // read-only files count
  }
  void TearDown() override {
    fs::current_path(oldDir);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  fs::path oldDir;
  fs::path dir;
};

TEST_F(FileExistsTest, FindsOrdinaryFilesInAnyLetterCase) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"Q7m_Uart.cfg", true},
      {"Q7M_UART.CFG", true},
      {"q7m_uart.cfg", true},
      {"./Q7m_Uart.cfg", true},
      {"subdir/inner.cfg", true},
      {"subdir/../Q7m_Uart.cfg", true},
      {"notes.txt", true},
      {"link.txt", true},
      {"missing.cfg", false},
      {"Q7m_Uart.cfg ", false},
      {"dangling.txt", false},
      {".hidden.cfg", false},
      {"subdir", false},
      {"folder.cfg", false},
      {"subdir/", false},
      {"", false},
      {"nosuchdir/Q7m_Uart.cfg", false},
      {"inner.cfg", false},
      {std::string("Q7m_Uart.cfg\0x", 14), false},
  };
  for (const auto& [name, exists] : cases) EXPECT_EQ(FileExists(name), exists) << name;
  EXPECT_TRUE(FileExists((dir / "Q7m_Uart.cfg").string())) << "absolute path";
  EXPECT_TRUE(FileExists((dir / "q7m_UART.CFG").string()));
}

TEST_F(FileExistsTest, WildcardsCountOnlyWhenTheirTailSpellsTheFoundName) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"*.cfg", false},
      {"Q7m_Uart.*", false},
      {"Q7m_Uart.c?g", false},
      {"*", false},
      {"*.none", false},
      // "*notes.txt" finds notes.txt and its last nine characters spell it.
      {"*notes.txt", true},
      // Both a.dat and ba.dat match; the first in byte order is a.dat, which
      // the tail of the pattern spells.
      {"*a.dat", true},
      {"b*a.dat", false},
  };
  for (const auto& [name, exists] : cases) EXPECT_EQ(FileExists(name), exists) << name;
}

}  // namespace
