// libFuzzer harness for the macro player: the input is one macro line played
// through a UART session against board memory that is plain RAM, so every
// byte it sends lands in the UART's data register. Error reports and
// key waits get a key whenever the in-memory console runs out.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/settings.h"
#include "board/pcie_library.h"
#include "config/config_file.h"
#include "console/memory_console.h"
#include "terminal/macro_player.h"
#include "terminal/uart_screen.h"
#include "uart/uart_session.h"

namespace {

std::vector<std::uint8_t>& BoardRam() {
  static std::vector<std::uint8_t> ram(0x20000);
  return ram;
}

MemoryConsole* g_console = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitSettings();
  MemoryConsole& console = AttachMemoryConsole();
  g_console = &console;
  // A virtual day is plenty; longer "W" waits end with ScriptExhausted.
  console.SetTimeLimitMs(24ull * 3600 * 1000);
  console.onAdvance = [&console](std::uint64_t) {
    if (console.KeysLeft() == 0) console.PushKey("k", console.NowMsValue());
  };
  BoardMemBase = BoardRam().data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MacroCount.fill(0);
  MacroCount[1] = 1;
  MacroText[1][1].assign(reinterpret_cast<const char*>(data), size);
  try {
    // The terminal's session on the virtual clock: its engine sends the bytes.
    UartSession session(ScreenSessionOptions(115200), *g_console);
    UartScreen line(session, {}, false);
    RunMacro(line, 1);
  } catch (const ScriptExhausted&) {
  }
  return 0;
}
