#include "terminal/receiver.h"

#include "app/settings.h"
#include "config/messages.h"
#include "terminal/capture_file.h"
#include "uart/uart.h"

namespace {

constexpr std::uint64_t kNsPerMs = 1'000'000;
// Bytes shown between two polls while a backlog is worked off.
constexpr std::size_t kShowSlice = 1024;

}  // namespace

Receiver::Receiver(std::int32_t baud, Handler show, Handler capture, std::size_t holdLimit)
    : show_(std::move(show)),
      capture_(std::move(capture)),
      pollMs_(ReceivePollMs(baud)),
      held_(holdLimit),
      idle_(
          [this] {
            Poll();
            Deliver();
          },
          pollMs_) {}

void Receiver::Poll() {
  if (polling_) return;
  polling_ = true;
  std::string bytes;
  const std::uint8_t errors = UartDrain(UartPort, UartRegBase, bytes);
  polling_ = false;
  errors_.Note(errors, ConsoleNowNs());
  if (bytes.empty()) return;
  if (capture_) capture_(bytes);
  held_.Add(bytes);
}

void Receiver::Deliver() {
  if (delivering_ || ConsoleOverlaid()) return;
  delivering_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{delivering_};
  // A backlog is shown a slice at a time with polls between, and only for
  // part of a poll step, so that showing it never keeps the UART waiting.
  const std::uint64_t start = ConsoleNowNs();
  const std::uint64_t budget = static_cast<std::uint64_t>(pollMs_) * kNsPerMs / 2;
  while (!held_.Empty() && !ConsoleOverlaid()) {
    const std::string slice(held_.Front(kShowSlice));
    held_.Consume(slice.size());
    if (show_) show_(slice);
    Poll();
    if (ConsoleNowNs() - start >= budget) break;
  }
  if (ConsoleOverlaid()) return;
  // The receive side keeps being drained while a message waits.
  errors_.Report([](const char* message) { ReportError(message); }, [] { return ConsoleNowNs(); });
  if (held_.Empty()) SayDropped();
}

void Receiver::SayDropped() {
  if (held_.Dropped() == 0 || droppedSaid_) return;
  droppedSaid_ = true;
  std::string text =
      "Receive buffer full: " + std::to_string(held_.Dropped()) + " bytes were not shown";
  if (capture_) text += " (" + std::string(kCaptureFileName) + " has them)";
  ShowError(text);
}
