#pragma once
// The access library's log file, "PCIAccessDll.log".
//
// Place: the directory named by Q7M_PCI_LOG_DIR when that variable is set;
// otherwise the current directory, which q7m-uart sets to its working folder
// before opening the board (its own folder in the build tree, the user's
// ~/.local/state/q7m-uart/ when installed), so the log sits beside its
// "Term.txt". When that place cannot be written (a read-only directory), the
// log goes to $XDG_STATE_HOME/q7m-uart/, or ~/.local/state/q7m-uart/ when
// XDG_STATE_HOME is unset, created as needed. The place is looked up for every line, so a
// change of directory or environment takes effect at once.

#include <string>
#include <string_view>

namespace q7m::pcie_linux {

inline constexpr const char* kLogFileName = "PCIAccessDll.log";
inline constexpr const char* kLogDirVariable = "Q7M_PCI_LOG_DIR";

// Appends one timestamped line. Never fails loudly: a library must not stop
// the program because its log cannot be written. The simulated board logs
// through it too.
void AppendLogLine(std::string_view text);

// The path the next line would be written to, or empty when no place works.
std::string LogFilePath();

}  // namespace q7m::pcie_linux
