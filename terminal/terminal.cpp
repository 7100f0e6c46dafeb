#include "terminal/terminal.h"

#include <string>

#include "app/settings.h"
#include "config/config_file.h"
#include "config/messages.h"
#include "console/console.h"
#include "terminal/capture_file.h"
#include "terminal/macro_player.h"
#include "terminal/receive_parser.h"
#include "terminal/receiver.h"
#include "uart/uart.h"

namespace {

constexpr int kLoopWaitMs = 30;

void ShowHelp() {
  ClearScreen();
  for (std::int32_t i = 1; i <= HelpCount && i <= kHelpLinesMax; ++i) {
    PrintLine(HelpLines[static_cast<std::size_t>(i)]);
  }
  PrintLine("");
}

// Acts on one key; returns false when the key leaves the terminal.
bool HandleKey(const std::string& key) {
  if (key == "\x1A") {
    SendKeys("\x03");
  } else if (key == KeyLeft) {
    SendKeys("\x1B[D");
  } else if (key == KeyRight) {
    SendKeys("\x1B[C");
  } else if (key == KeyUp) {
    SendKeys("\x1B[A");
  } else if (key == KeyDown) {
    SendKeys("\x1B[B");
  } else if (key == KeyDel) {
    SendKeys("\x7F");
  } else if (key == KeyShiftF1) {
    ShowHelp();
  } else if (key == KeyShiftF2) {
    return false;
  } else if (const auto fn = FunctionKeyOf(key); fn && fn->run != FunctionKeyRun::Ctrl) {
    // Fn plays slot n, Shift-Fn slot 12 + n (Shift-F1 and Shift-F2 are taken above).
    RunMacro(fn->run == FunctionKeyRun::Shift ? 12 + fn->number : fn->number);
  } else {
    SendKeys(key);
  }
  return true;
}

}  // namespace

void RunTerminal(std::string_view title, std::int32_t baudRate) {
  UartInit(UartClockHz, baudRate, UartPort, UartRegBase);
  PrintLine(std::string(title) +
            "     <Fx>Macro  <SF1>Help  <SF2>Exit  Baud: " + std::to_string(baudRate));
  PrintLine("");
  PrintLine("");

  // Two parsers read the same bytes: the capture's on the capture thread as
  // they arrive, the screen's when the screen shows them, so each keeps its
  // own escape state.
  ReceiveParser screenParser;
  ReceiveParser captureParser;
  ScreenReceiveSink screenSink;
  CaptureFile capture;
  CaptureReceiveSink captureSink(capture);
  const std::string reason = capture.Open(std::string(kCaptureFileName));
  Receiver receiver(
      baudRate, [&](std::string_view bytes) { screenParser.Feed(bytes, screenSink); },
      [&](std::string_view bytes) {
        captureParser.Feed(bytes, captureSink);
        capture.Flush();
      });
  if (!reason.empty()) {
    ReportError("Cannot create " + std::string(kCaptureFileName) + " (" + reason +
                "): the terminal runs without capture");
  }

  for (;;) {
    receiver.Show();
    WaitMs(kLoopWaitMs);
    const std::string key = ReadKey();
    if (key.empty()) continue;
    if (!HandleKey(key)) break;
  }
  receiver.Stop();
  ClearScreen();
  capture.Close();
}
