#pragma once
// q7m-uart-bridge's start-up before the board: its command line, the link's
// place, the board choice, the working folder q7m-uart uses and the baud
// rate of the configuration file.

#include <optional>

#include "bridge/bridge.h"

// Fills `setup`; returns an exit status when the program is to end at once
// (2 for a bad command line or a link's place that holds something else, 1
// when the link's folder cannot be used; 0 or 1 after --remove-link), with
// the reason on standard error.
std::optional<int> PrepareBridge(int argc, char** argv, BridgeSetup& setup);
