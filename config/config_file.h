#pragma once
// The configuration file "Q7m_Uart.cfg": baud rate, function-key macros and
// the terminal's help text.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

inline constexpr int kMacroSlots = 24;    // F1-F12 are 1-12, Shift-F1-F12 are 13-24
inline constexpr int kMacroPlaces = 100;  // place 0 unused: at most 99 lines
inline constexpr int kHelpLinesMax = 24;

// Index 0 unused so that slots and lines keep their 1-based numbers.
extern std::array<std::int32_t, kMacroSlots + 1> MacroCount;
extern std::array<std::array<std::string, kMacroPlaces>, kMacroSlots + 1> MacroText;
extern std::array<std::string, kHelpLinesMax + 1> HelpLines;
extern std::int32_t HelpCount;

inline constexpr std::string_view kConfigFileName = "Q7m_Uart.cfg";

// The file LoadConfig reads: "Q7m_Uart.cfg" in the current directory unless
// start-up names another (an installed program's /etc/q7m-uart/Q7m_Uart.cfg).
extern std::string ConfigFilePath;

// How start-up wants the file read.
struct ConfigLoad {
  // False: a missing file is no error (the file is optional for the
  // program), and loading ends quietly.
  bool reportMissingFile = true;
  // Which rates a baud-rate entry may set; a rate it refuses is reported and
  // the rate before it kept. Start-up passes the UART driver's rule; without
  // one, every rate is taken as it reads.
  bool (*baudRateUsable)(std::int64_t baud) = nullptr;
  // Where reports go: the message row unless a program without a console
  // names its own place.
  std::function<void(std::string_view text)> report = nullptr;
};

// Sets BaudRate to its start value, 115200, then reads ConfigFilePath into
// BaudRate, the macro table and the help text, reporting a missing file and
// bad lines.
void LoadConfig(const ConfigLoad& load = {});
