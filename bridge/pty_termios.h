#pragma once
// The termios of a pseudo-terminal's slave, reached through its master with
// the kernel's termios2 (which carries any bit rate as a number). Kept apart
// from <termios.h>, whose struct termios differs from the kernel's.

#include <cstdint>
#include <optional>

#include "bridge/software_flow.h"

// Raw bytes both ways (no echo, no line editing, no translation, 8 bits),
// EXTPROC set, speed `baud`. With the master in packet mode, EXTPROC makes
// every termios change of a client arrive on the master as TIOCPKT_IOCTL.
bool PtySetRaw(int masterFd, std::uint32_t baud);
// The output speed the slave is set to (what a client asked for last).
std::optional<std::uint32_t> PtySpeed(int masterFd);
// Sets EXTPROC again when a client cleared it (cfmakeraw keeps it, a client
// that clears all local modes does not); true when it had to.
bool PtyKeepExtproc(int masterFd);
// The client's software flow control: IXON, IXANY, IXOFF, VSTART and VSTOP.
std::optional<FlowModes> PtyFlowModes(int masterFd);
