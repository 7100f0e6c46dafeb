#include "terminal/receiver.h"

#include <algorithm>

#include "app/settings.h"
#include "config/messages.h"
#include "terminal/capture_file.h"
#include "uart/uart.h"

namespace {

constexpr int kMaxPollMs = 10;
constexpr std::uint64_t kNsPerMs = 1'000'000;
// Bytes shown between two polls while a backlog is worked off.
constexpr std::size_t kShowSlice = 1024;
}  // namespace

int ReceivePollMs(std::int32_t baud) {
  if (baud <= 0) return kMaxPollMs;
  // A quarter of the buffer, 32 characters of 10 bits each: a poll that comes
  // late by a scheduling delay still finds room.
  const std::int64_t quarterBufferMs = 320LL * 1000 / baud;
  return static_cast<int>(std::clamp<std::int64_t>(quarterBufferMs, 1, kMaxPollMs));
}

Receiver::Receiver(std::int32_t baud, Handler show, Handler capture, std::size_t holdLimit)
    : show_(std::move(show)),
      capture_(std::move(capture)),
      pollMs_(ReceivePollMs(baud)),
      holdLimit_(std::max<std::size_t>(holdLimit, 1)),
      overflow_{kUartErrOverflow, kUartOverflowMessage},
      framing_{kUartErrFraming, kUartFramingMessage},
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
  NoteErrors(errors);
  if (bytes.empty()) return;
  if (capture_) capture_(bytes);
  Hold(bytes);
}

void Receiver::Hold(std::string_view bytes) {
  held_.append(bytes);
  const std::size_t held = Held();
  if (held > holdLimit_) {
    const std::size_t excess = held - holdLimit_;
    heldStart_ += excess;
    dropped_ += excess;
  }
  // The shown part is cut off now and then, not at every slice.
  if (heldStart_ > held_.size() / 2 && heldStart_ > kShowSlice) {
    held_.erase(0, heldStart_);
    heldStart_ = 0;
  }
}

void Receiver::NoteErrors(std::uint8_t bits) {
  const std::uint64_t now = ConsoleNowNs();
  for (ErrorReport* report : {&overflow_, &framing_}) {
    if ((bits & report->bit) == 0 || report->showing || now < report->quietUntilNs) continue;
    report->pending = true;
  }
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
  while (Held() > 0 && !ConsoleOverlaid()) {
    const std::size_t n = std::min(Held(), kShowSlice);
    const std::string slice = held_.substr(heldStart_, n);
    heldStart_ += n;
    if (show_) show_(slice);
    Poll();
    if (ConsoleNowNs() - start >= budget) break;
  }
  if (Held() == 0) {
    held_.clear();
    heldStart_ = 0;
  }
  if (ConsoleOverlaid()) return;
  ReportErrors();
  if (Held() == 0) SayDropped();
}

void Receiver::ReportErrors() {
  for (ErrorReport* report : {&overflow_, &framing_}) {
    if (!report->pending) continue;
    report->pending = false;
    report->showing = true;
    // The receive side keeps being drained while the message waits.
    ReportError(report->message);
    report->showing = false;
    report->quietUntilNs = ConsoleNowNs() + kErrorQuietMs * kNsPerMs;
  }
}

void Receiver::SayDropped() {
  if (dropped_ == 0 || droppedSaid_) return;
  droppedSaid_ = true;
  std::string text = "Receive buffer full: " + std::to_string(dropped_) + " bytes were not shown";
  if (capture_) text += " (" + std::string(kCaptureFileName) + " has them)";
  ShowError(text);
}
