#pragma once
// The two arguments the programs answer, --help and --version, as Linux
// tools do: on stdout, before the terminal or the board is touched. Any other
// argument is ignored and the program starts as usual.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/working_directory.h"
#include "uart/realtime_permission.h"

enum class CommandLineRequest { kNone, kHelp, kVersion };

// The first of --help and --version among the arguments (argv[0] excluded).
CommandLineRequest ReadCommandLine(const std::vector<std::string_view>& arguments);

enum class ProgramKind { kUart, kInspect, kBridge };

// What the program is, how it is called, the files this run would use, where
// the access library logs, and whether this login may have the UART read with
// real-time wake-ups.
std::string HelpText(ProgramKind program, const ProgramPlaces& places,
                     const RealTimePermission& realTime);
// "<name> <version>" and a line of copyright.
std::string VersionText(ProgramKind program);

// Prints the answer the command line asks for and returns the exit status
// (0, or 1 when stdout cannot take it); nullopt when the program is to start.
std::optional<int> AnswerCommandLine(ProgramKind program, int argc, char** argv);
