#pragma once
// The receive side of a screen that owns the board UART (the terminal, the
// code view), as one pipeline:
//
//   UART --poll--> capture handler (at once)
//              \-> queue --when the screen is free--> show handler
//
// The UART holds 127 bytes, 11 ms of a line at 115200 baud, and is the only
// buffer between the board and the engineer. So the polls run from every
// wait of the console, at the pace the baud rate needs, whatever the screen
// is doing: a message waiting for a key, a macro's pause, an external
// program, a slow terminal. What cannot be shown yet is held, in order, and
// shown once nothing stands on the screen. Receive errors are reported with
// the driver's messages, each once, and then kept quiet for a while, so that
// a line at the wrong baud rate leaves the terminal usable.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "console/console.h"
#include "terminal/timely_wakeups.h"
#include "uart/reception.h"

class Receiver {
 public:
  using Handler = std::function<void(std::string_view bytes)>;

  // Held bytes beyond this are dropped, oldest first (they would have
  // scrolled off the screen), and that is said once.
  static constexpr std::size_t kDefaultHoldLimit = 32u << 20;

  // `show` is called when the screen is free; `capture`, when given, with
  // every batch as soon as it is read (it must not draw or wait).
  Receiver(std::int32_t baud, Handler show, Handler capture = {},
           std::size_t holdLimit = kDefaultHoldLimit);
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Board side: drains the UART. Draws nothing and waits for nothing, so it
  // may run inside any wait; a poll inside a poll does nothing.
  void Poll();
  // Screen side: shows what is held (a slice at a time, polling between
  // slices) and reports receive errors. Does nothing while a message stands
  // on the screen or inside its own show handler.
  void Deliver();

  std::size_t Held() const { return held_.Size(); }
  std::uint64_t Dropped() const { return held_.Dropped(); }

 private:
  void SayDropped();

  Handler show_;
  Handler capture_;
  int pollMs_;
  ReceiveBacklog held_;
  bool droppedSaid_ = false;
  bool polling_ = false;
  bool delivering_ = false;
  // Each error is shown once, then kept quiet for a while after the key
  // that ends its message.
  ReceiveErrorReports errors_;
  // Real-time where permitted, on a terminal only: on a virtual clock the
  // loop never sleeps.
  TimelyWakeups wakeups_{ConsoleSleepsInRealTime() ? TimelyWakeups::Ask::kRealTimeWhenPermitted
                                                   : TimelyWakeups::Ask::kShortSlices};
  ConsoleIdleWork idle_;
};
