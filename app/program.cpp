#include "app/program.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>

#include "app/settings.h"
#include "app/working_directory.h"
#include "board/board_io.h"
#include "board/pcie_library.h"
#include "config/config_file.h"
#include "config/messages.h"
#include "console/console.h"
#include "terminal/terminal.h"
#include "uart/uart.h"

namespace {

// Columns 1 to 35 say where UART352 goes, 36 to 68 where the J27 connector
// goes (the marker under "ST1" names the jumper setting for choice 0).
constexpr std::array<std::string_view, 16> kMenuRows = {
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

constexpr std::array<std::string_view, 6> kTerminalTitles = {
    "VSC7420 Console - NEL=f(ST1)", "KB20Q Console - NEL=VSC",   "CON-5Pins Console",
    "KB20T Console - NEL=Q7M",      "VSC7420 Console - NEL=Q7M", "VSC7420 Console - NEL=T7M",
};

std::uint32_t UartPortNumber() {
  return static_cast<std::uint32_t>(UartPort);
}

// A window smaller than the screens cuts the menu and the terminal without a
// sign: said once, on the window's last row (white on light red, until a key).
void SayWindowTooSmall() {
  const WindowSize window = ConsoleWindow();
  if (window.rows <= 0 || window.cols <= 0) return;
  if (window.rows >= kLayoutRows && window.cols >= kLayoutCols) return;
  std::string text = "Window " + std::to_string(window.cols) + " x " + std::to_string(window.rows) +
                     "; the screens need " + std::to_string(kLayoutCols) + " x " +
                     std::to_string(kLayoutRows);
  ShowMessage(std::min(window.rows, 24), 12, 15, text, 0);
}

}  // namespace

std::string ProgramDirectory() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return exe.parent_path().string();
}

ProgramPlaces ThisProgramPlaces() {
  const std::string programDir = ProgramDirectory();
  // Without its own directory the program still runs; the configuration and
  // the capture file are then those of the current directory.
  if (programDir.empty()) {
    ProgramPlaces places;
    places.configFile = std::string(kConfigFileName);
    return places;
  }
  return FindProgramPlaces(programDir, SystemWorkingDirectoryHost());
}

std::string ChangeToWorkingDirectory(std::string& notice) {
  ProgramPlaces places = ThisProgramPlaces();
  notice = PrepareProgramPlaces(places);
  // A configuration in the working folder goes by its bare name, as in the
  // message for a missing one; so does none at all (a layout file that names
  // no folder).
  const bool beside =
      places.configFile.empty() ||
      (!places.workDir.empty() && places.configFile.parent_path() == places.workDir);
  ConfigFilePath = beside ? std::string(kConfigFileName) : places.configFile.string();
  if (places.workDir.empty()) return {};
  const std::string dir = places.workDir.string();
  if (::chdir(dir.c_str()) != 0) return {};
  return dir;
}

void ProgramStartup(bool reportMissingConfig) {
  InitSettings();
  ConfigShadow.fill(0);
  ConfigShadowValid = 0;
  std::string notice;
  ChangeToWorkingDirectory(notice);
  InitPcieDllAccess();
  ClearScreen();
  InitScreenColors();
  SetColor(TextFg, TextBg);
  Locate(1, 1);
  // A rate the file gives is kept for the terminal, when the UART can run at it.
  LoadConfig({.reportMissingFile = reportMissingConfig, .baudRateUsable = UartBaudRateUsable});
  InitPortSettings();
  BoardPortWrite(static_cast<std::uint32_t>(AuxPort), 0);
  // Files an earlier version kept elsewhere were moved: said once, white on
  // green, until a key.
  if (!notice.empty()) ShowMessage(24, 2, 15, notice, 0);
  SayWindowTooSmall();
}

void DrawRoutingMenu() {
  ClearScreen();
  for (const auto row : kMenuRows) PrintLine(row);
}

void RunRoutingMenu(TaskHost& tasks) {
  for (;;) {
    DrawRoutingMenu();
    const std::string key = UpperKey(WaitKey());
    if (key.size() == 1 && key[0] >= '0' && key[0] <= '5') {
      const int choice = key[0] - '0';
      BoardRegWrite(UartPortNumber(), kUartRouteReg, static_cast<std::uint8_t>(choice));
      ClearScreen();
      RunTerminal(kTerminalTitles[static_cast<std::size_t>(choice)], BaudRate, tasks);
    } else if (key == "R") {
      BoardRegWrite(UartPortNumber(), kVscResetReg, 1);
      WaitMs(10);
      BoardRegWrite(UartPortNumber(), kVscResetReg, 0);
    } else if (key == "Q") {
      BoardRegWrite(UartPortNumber(), kUartRouteReg, 0);
      ClosePcieDllAccess();
      return;
    }
  }
}
