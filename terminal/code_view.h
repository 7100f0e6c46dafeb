#pragma once
// The serial terminal's code-table variant: every received byte is shown as
// its two-digit hexadecimal code in angle brackets, and every key is sent to
// the board UART exactly as read (extended keys as 0xFF and the scan code).

#include <cstdint>
#include <string>
#include <string_view>

class TaskHost;

// Runs for ever: no key leaves it. It does not clear the screen first. The
// UART's engine and its consumer run on `tasks`.
void RunCodeView(std::int32_t baudRate, TaskHost& tasks);

// The same view with a way out: `leaveKey` (never sent) ends it and is named
// as `leaveName` on the title line. An empty leaveKey runs for ever.
void RunCodeViewUntil(std::int32_t baudRate, const std::string& leaveKey,
                      std::string_view leaveName, TaskHost& tasks);

// The key the companion program leaves the view with: Ctrl-] (byte 0x1D).
inline const std::string kCodeViewLeaveKey = "\x1D";
inline constexpr std::string_view kCodeViewLeaveName = "Ctrl-]";
