#include "terminal/terminal.h"

#include <string>

#include "app/settings.h"
#include "config/config_file.h"
#include "config/messages.h"
#include "console/console.h"
#include "console/tty.h"
#include "terminal/capture_file.h"
#include "terminal/macro_player.h"
#include "terminal/receive_parser.h"
#include "terminal/uart_screen.h"
#include "uart/uart.h"
#include "uart/uart_session.h"

namespace {

void ShowHelp() {
  ClearScreen();
  for (std::int32_t i = 1; i <= HelpCount && i <= kHelpLinesMax; ++i) {
    PrintLine(HelpLines[static_cast<std::size_t>(i)]);
  }
  PrintLine("");
}

// Acts on one key; returns false when the key leaves the terminal.
bool HandleKey(UartScreen& line, const std::string& key) {
  if (key == "\x1A") {
    SendKeys(line, "\x03");
  } else if (key == KeyLeft) {
    SendKeys(line, "\x1B[D");
  } else if (key == KeyRight) {
    SendKeys(line, "\x1B[C");
  } else if (key == KeyUp) {
    SendKeys(line, "\x1B[A");
  } else if (key == KeyDown) {
    SendKeys(line, "\x1B[B");
  } else if (key == KeyDel) {
    SendKeys(line, "\x7F");
  } else if (key == KeyShiftF1) {
    ShowHelp();
  } else if (key == KeyShiftF2) {
    return false;
  } else if (const auto fn = FunctionKeyOf(key); fn && fn->run != FunctionKeyRun::Ctrl) {
    // Fn plays slot n, Shift-Fn slot 12 + n (Shift-F1 and Shift-F2 are taken above).
    RunMacro(line, fn->run == FunctionKeyRun::Shift ? 12 + fn->number : fn->number);
  } else {
    SendKeys(line, key);
  }
  return true;
}

// The capture's share of what arrives: the shown bytes, raw, written through
// after each batch, on the session's consumer.
class CaptureTap final : public UartSession::Tap {
 public:
  explicit CaptureTap(CaptureFile& file) : file_(file), sink_(file) {}
  void Received(std::string_view bytes) override {
    parser_.Feed(bytes, sink_);
    file_.Flush();
  }

 private:
  CaptureFile& file_;
  // The capture's own parser: the screen's sees the same bytes later.
  ReceiveParser parser_;
  CaptureReceiveSink sink_;
};

}  // namespace

void RunTerminal(std::string_view title, std::int32_t baudRate, TaskHost& tasks) {
  UartInit(UartClockHz, baudRate, UartPort, UartRegBase, ReportUartMessage);
  PrintLine(std::string(title) +
            "     <Fx>Macro  <SF1>Help  <SF2>Exit  Baud: " + std::to_string(baudRate));
  PrintLine("");
  PrintLine("");

  CaptureFile capture;
  const std::string reason = capture.Open(std::string(kCaptureFileName));
  CaptureTap tap(capture);
  UartSession session(ScreenSessionOptions(baudRate, &tap), tasks);
  // A crash gives the capture what the engine still holds.
  const TtyCrashWork crashWork(UartSession::CompleteTapOnCrash, &session);
  ReceiveParser screenParser;
  ScreenReceiveSink screenSink;
  // A capture stopped by a failed write is said with the text that met it.
  const auto sayCaptureStopped = [&capture] {
    if (const auto failure = capture.FailureToSay()) {
      ReportError(CaptureStoppedText(kCaptureFileName, *failure));
    }
  };
  UartScreen line(
      session,
      [&](std::string_view bytes) {
        screenParser.Feed(bytes, screenSink);
        sayCaptureStopped();
      },
      capture.IsOpen());
  if (!reason.empty()) {
    ReportError("Cannot create " + std::string(kCaptureFileName) + " (" + reason +
                "): the terminal runs without capture");
  }

  while (HandleKey(line, NextKey())) {
  }
  // What was typed before Shift-F2 leaves first.
  line.WaitSent();
  session.Stop();
  capture.Close();
  sayCaptureStopped();
  ClearScreen();
}
