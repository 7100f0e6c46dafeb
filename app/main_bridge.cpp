// q7m-uart-bridge: the UART of the Q7M PCIe board as a pseudo-terminal.

#include "app/bridge_startup.h"
#include "app/command_line.h"
#include "bridge/bridge.h"

int main(int argc, char** argv) {
  // --help and --version are answered before the board is touched.
  if (const auto status = AnswerCommandLine(ProgramKind::kBridge, argc, argv)) return *status;
  BridgeSetup setup;
  if (const auto status = PrepareBridge(argc, argv, setup)) return *status;
  return RunBridge(setup);
}
