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
  // 64 characters of 10 bits each.
  const std::int64_t halfBufferMs = 640LL * 1000 / baud;
  return static_cast<int>(std::clamp<std::int64_t>(halfBufferMs, 1, kMaxPollMs));
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
  if (ms == -1) {
    for (;;) {
      DrainReceiver();
      if (ConsoleKeyWaiting()) return;
      WaitMs(PollMs());
    }
  }
  int left = ms;
  while (left > 0) {
    DrainReceiver();
    const int step = std::min(left, PollMs());
    WaitMs(step);
    left -= step;
    if (ms >= 100 && ConsoleKeyWaiting()) break;
  }
  DrainReceiver();
}
