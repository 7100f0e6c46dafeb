#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "app/program.h"
#include "config/config_file.h"
#include "tests/support/screen_helpers.h"
#include "tests/support/sim_board_fixture.h"

namespace {

class RoutingMenuTest : public SimBoardTest {
 protected:
  void SetUp() override {
    SimBoardTest::SetUp();
    dir = std::filesystem::temp_directory_path() / ("q7m-menu-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    oldDir = std::filesystem::current_path();
    std::filesystem::current_path(dir);
  }
  void TearDown() override {
    std::filesystem::current_path(oldDir);
    std::filesystem::remove_all(dir);
    SimBoardTest::TearDown();
  }
  std::filesystem::path dir;
  std::filesystem::path oldDir;
};

TEST_F(RoutingMenuTest, MenuRowsToTheCharacter) {
  DrawRoutingMenu();
  const std::string rows[] = {
      "Q7M UART IO port 0x352:",
      "------------------------           ST1",
      "",
      " <0> UART352 <-> VSC7420           ---  5-pins J27 <-> KB20Q Console",
      "                                   JP1  5-pins J27 <-> KB20Q Console",
      "                                   JP2  5-pins J27 <-> KB20T Console",
      "                                   1+2  5-pins J27 <-> VSC   Console",
      "",
      " <1> UART352 <-> KB20Q Console     XXX  5-pins J27 <-> VSC7420      ",
      " <2> UART352 <-> 5-pins J27        XXX  5-pins J27 <-> UART352      ",
      " <3> UART352 <-> KB20T Console     XXX  5-pins J27 <-> KB20Q Console",
      " <4> UART352 <-> VSC7420           XXX  5-pins J27 <-> KB20Q Console",
      " <5> UART352 <-> VSC7420           XXX  5-pins J27 <-> KB20T Console",
      "",
      " <R> Reset VSC7420                 <Q> Quit                         ",
      "",
  };
  for (int row = 1; row <= 16; ++row) {
    const std::string& expected = rows[row - 1];
    EXPECT_EQ(ScreenText(row, 1, static_cast<int>(expected.size())), expected) << "row " << row;
    if (row >= 4 && !expected.empty()) {
      EXPECT_EQ(expected.size(), 68u) << "row " << row;
    }
  }
  EXPECT_EQ(CursorRow(), 17);
  EXPECT_EQ(CursorCol(), 1);
}

TEST_F(RoutingMenuTest, ChoiceWritesTheRouteBeforeTheTerminalOpens) {
  console->PushKey("3", 10);
  std::string header;
  console->onAdvance = [&](std::uint64_t now) {
    if (now >= 200'000'000 && header.empty()) header = ScreenLine(1);
  };
  console->PushKey(KeyShiftF2, 300);
  console->PushKey("q", 400);
  RunRoutingMenu(*console);
  EXPECT_EQ(header, "KB20T Console - NEL=Q7M     <Fx>Macro  <SF1>Help  <SF2>Exit  Baud: 115200");
  const auto writes = sim->RegisterWrites();
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes.front(), (std::pair<int, int>{8, 3})) << "the route comes first";
  EXPECT_EQ(writes[1], (std::pair<int, int>{0, 0x3D})) << "then the terminal sets up the UART";
  EXPECT_EQ(writes.back(), (std::pair<int, int>{8, 0})) << "quit restores route 0";
}

TEST_F(RoutingMenuTest, EveryChoiceOpensItsTitledTerminal) {
  const char* titles[] = {
      "VSC7420 Console - NEL=f(ST1)", "KB20Q Console - NEL=VSC",   "CON-5Pins Console",
      "KB20T Console - NEL=Q7M",      "VSC7420 Console - NEL=Q7M", "VSC7420 Console - NEL=T7M"};
  std::vector<std::string> headers;
  std::uint64_t at = 0;
  for (int choice = 0; choice < 6; ++choice) {
    console->PushKey(std::to_string(choice), at += 100);
    console->PushKey(KeyShiftF2, at += 100);
  }
  console->PushKey("Q", at + 100);
  console->onAdvance = [&](std::uint64_t) {
    const std::string row = ScreenLine(1);
    if (row.find("<Fx>Macro") != std::string::npos && (headers.empty() || headers.back() != row))
      headers.push_back(row);
  };
  RunRoutingMenu(*console);
  ASSERT_EQ(headers.size(), 6u);
  for (int choice = 0; choice < 6; ++choice) {
    EXPECT_EQ(headers[static_cast<std::size_t>(choice)].rfind(titles[choice], 0), 0u) << choice;
    EXPECT_EQ(sim->SimRegValue(8), 0);
  }
}

TEST_F(RoutingMenuTest, ResetPulsesTheSwitchWithoutEnteringTheTerminal) {
  console->PushKey("r", 10);
  console->PushKey("q", 200);
  RunRoutingMenu(*console);
  const std::vector<std::pair<int, int>> expected = {{7, 1}, {7, 0}, {8, 0}};
  EXPECT_EQ(sim->RegisterWrites(), expected);
  EXPECT_EQ(sim->SimVscResetPulses(), 1u);
  EXPECT_EQ(sim->SimVscResetWidthNs(), 10'000'000u);
}

TEST_F(RoutingMenuTest, OtherKeysRedrawAndTouchNothing) {
  console->PushKey(KeyF1, 10);
  console->PushKey("6", 20);
  console->PushKey(KeyShiftF2, 30);
  console->PushKey("x", 40);
  console->PushKey("q", 200);
  RunRoutingMenu(*console);
  const std::vector<std::pair<int, int>> expected = {{8, 0}};
  EXPECT_EQ(sim->RegisterWrites(), expected);
  EXPECT_EQ(sim->Accesses().size(), 2u);
}

TEST_F(RoutingMenuTest, QuitWritesRouteZeroThenUnmapsAndCloses) {
  void* keep = dlopen(PcieLibraryName.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  console->PushKey("q", 10);
  RunRoutingMenu(*console);
  EXPECT_FALSE(PcieLibraryLoaded());
  EXPECT_STREQ(sim->SimCloseOrder(), "MC");
  const std::vector<std::pair<int, int>> expected = {{8, 0}};
  EXPECT_EQ(sim->RegisterWrites(), expected);
  dlclose(keep);
}

TEST_F(RoutingMenuTest, ATerminalRunWritesTheDriversRegistersInTheirOrderAndPollsBesideThem) {
  MacroCount.fill(0);
  MacroCount[1] = 1;
  MacroText[1][1] = "\"x\" W50 CR";
  console->PushKey("0", 10);
  console->PushKey("a", 100);
  console->PushKey(KeyUp, 150);
  console->PushKey(KeyF1, 300);
  console->PushKey(KeyShiftF2, 700);
  console->PushKey("q", 800);
  RunRoutingMenu(*console);
  // Every write to the register file's two ports, apart from the selects of
  // the receive status and data registers that polling makes.
  std::vector<std::string> writes;
  for (const SimAccess& access : sim->Accesses()) {
    if (!access.isWrite) continue;
    if (access.offset == 0x1B353 && (access.value == 4 || access.value == 5)) continue;
    writes.push_back((access.offset == 0x1B353 ? "I" : "D") + std::to_string(access.value));
  }
  const std::vector<std::string> expected = {
      "I8", "D0",                               // routing 0
      "I0", "D61",                              // the divisor for 115200, 1085: 0x3D
      "I1", "D4",                               // and 0x04
      "I6", "D193",                             // errors cleared
      "I3", "D1",                               // enabled
      "I2", "D97",                              // a
      "I2", "D27",                              // Up: ESC [ A
      "I2", "D91",  "I2", "D65", "I2", "D120",  // F1's macro: x, then after 50 ms CR
      "I2", "D13",  "I8", "D0",                 // q: routing 0 again
  };
  EXPECT_EQ(writes, expected);
  EXPECT_EQ(sim->TransmittedText(), "a\x1b[Ax\r");
}

}  // namespace
