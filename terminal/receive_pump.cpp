#include "terminal/receive_pump.h"

#include <algorithm>
#include <string>

#include "app/settings.h"
#include "console/console.h"
#include "uart/uart.h"

namespace {

constexpr int kMaxPollMs = 10;
// A flood faster than we can read must not keep one drain going for ever.
constexpr int kMaxBatchesPerDrain = 64;

ReceiveHandler& Handler() {
  static ReceiveHandler handler;
  return handler;
}

int& PollMs() {
  static int pollMs = kMaxPollMs;
  return pollMs;
}

}  // namespace

int ReceivePollMs(std::int32_t baud) {
  if (baud <= 0) return kMaxPollMs;
  // A quarter of the buffer, 32 characters of 10 bits each: a poll that comes
  // late by a scheduling delay or a screen update still finds room.
  const std::int64_t quarterBufferMs = 320LL * 1000 / baud;
  return static_cast<int>(std::clamp<std::int64_t>(quarterBufferMs, 1, kMaxPollMs));
}

ReceiveScope::ReceiveScope(ReceiveHandler handler, std::int32_t baud)
    : previousHandler_(std::move(Handler())), previousPollMs_(PollMs()) {
  Handler() = std::move(handler);
  PollMs() = ReceivePollMs(baud);
}

ReceiveScope::~ReceiveScope() {
  Handler() = std::move(previousHandler_);
  PollMs() = previousPollMs_;
}

void DrainReceiver() {
  if (!Handler()) return;
  for (int batch = 0; batch < kMaxBatchesPerDrain; ++batch) {
    const std::int32_t waiting = UartRxCount(UartPort, UartRegBase);
    if (waiting <= 0) return;
    std::string text;
    std::int32_t failed = 0;
    UartRcvStr(UartPort, UartRegBase, waiting, 1000, text, 0, failed);
    // The handler may be gone if a message in the receive call ended the screen.
    if (Handler()) Handler()(text);
  }
}

void WaitDraining(int ms) {
  if (!Handler()) {
    WaitMs(ms);
    return;
  }
  // Polls are spaced from the start of one drain to the start of the next:
  // the time the screen takes to draw counts against the step, so a slow
  // terminal does not stretch the gap past what the receive buffer holds.
  // Kept in nanoseconds: whole milliseconds would cut a 10 ms wait short by
  // up to one.
  constexpr std::uint64_t kNsPerMs = 1'000'000;
  const std::uint64_t start = ConsoleNowNs();
  const bool endless = ms == -1;
  const std::uint64_t deadline =
      endless ? 0 : start + static_cast<std::uint64_t>(std::max(ms, 0)) * kNsPerMs;
  for (;;) {
    const std::uint64_t drainedAt = ConsoleNowNs();
    DrainReceiver();
    if (endless && ConsoleKeyWaiting()) return;
    if (!endless && drainedAt >= deadline) return;
    if (!endless && ms >= 100 && ConsoleKeyWaiting() && drainedAt > start) return;
    ConsolePresent();
    std::uint64_t next = drainedAt + static_cast<std::uint64_t>(PollMs()) * kNsPerMs;
    if (!endless) next = std::min(next, deadline);
    const std::uint64_t now = ConsoleNowNs();
    // Rounded up, so that the wait never ends before its deadline.
    if (next > now) WaitMs(static_cast<int>((next - now + kNsPerMs - 1) / kNsPerMs));
  }
}
