#include "terminal/uart_screen.h"

#include <string>

#include "app/settings.h"
#include "config/messages.h"
#include "terminal/capture_file.h"
#include "terminal/macro_player.h"
#include "uart/uart.h"

namespace {

constexpr std::size_t kShowSlice = 4096;
constexpr std::uint64_t kShowBudgetNs = 20'000'000;

}  // namespace

void ReportUartMessage(std::string_view message) {
  ReportError(message);
}

UartSession::Options ScreenSessionOptions(std::int32_t baud, UartSession::Tap* tap) {
  UartSession::Options options;
  options.engine.port = UartPort;
  options.engine.regBase = UartRegBase;
  options.engine.baud = baud;
  options.engine.sendGapNs = kKeyGapNs;
  options.tap = tap;
  return options;
}

UartScreen::UartScreen(UartSession& session, Show show, bool captured)
    : session_(session),
      show_(std::move(show)),
      captured_(captured),
      watch_(session.Notice(), [this] { ShowHeld(); }) {}

void UartScreen::ShowHeld() {
  session_.Notice().Lower();
  const std::uint64_t start = ConsoleNowNs();
  std::string slice;
  for (;;) {
    std::optional<UartEvent> event;
    session_.Take(slice, kShowSlice, event);
    if (slice.empty() && !event) break;
    if (!slice.empty() && show_) show_(slice);
    if (event) Said(*event);
    if (ConsoleNowNs() - start >= kShowBudgetNs) {
      // The rest at the next turn of the wait, after any key.
      session_.Notice().Raise();
      return;
    }
  }
  SayDropped();
}

bool UartScreen::WaitSent(std::string_view stopKey) {
  while (session_.Sending()) {
    if (!stopKey.empty() && ConsoleKeyQueued(stopKey)) return false;
    ConsoleWaitUntil(kNoDeadline, stopKey.empty() ? KeyWake::kNone : KeyWake::kNew);
  }
  return true;
}

void UartScreen::Said(const UartEvent& event) {
  switch (event.kind) {
    case UartEvent::Kind::kReceiveErrors:
      errors_.Report(
          static_cast<std::uint8_t>(event.value),
          [](const char* message) { ReportUartMessage(message); }, [] { return ConsoleNowNs(); });
      return;
    case UartEvent::Kind::kTransmitTimeout:
      ShowError(kUartTxTimeoutMessage);
      return;
    case UartEvent::Kind::kBytesLost:
      ShowError(std::to_string(event.value) +
                " received bytes were lost: the program fell behind the board");
      return;
    case UartEvent::Kind::kSpeedChanged:
      return;
  }
}

void UartScreen::SayDropped() {
  const std::uint64_t dropped = session_.Dropped();
  if (dropped == 0 || droppedSaid_) return;
  droppedSaid_ = true;
  std::string text = "Receive buffer full: " + std::to_string(dropped) + " bytes were not shown";
  if (captured_) text += " (" + std::string(kCaptureFileName) + " has them)";
  ShowError(text);
}
