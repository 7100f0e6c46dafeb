#pragma once
// A rule of the board UART's receive side that its clients share (the
// terminal, the pty bridge): how receive errors are reported without
// flooding the reader.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "uart/uart.h"

// The driver's receive errors (overflow, framing): each is reported once,
// then stays quiet for a while after its report has ended, so that a line at
// the wrong baud rate, which errs on every poll, does not drown the reader.
class ReceiveErrorReports {
 public:
  static constexpr std::uint64_t kQuietMs = 2000;

  // Error bits as the error register gives them: reports each error that is
  // not quiet with its driver message, overflow first. A report may take
  // long (a message that waits for a key); the quiet time starts when it
  // returns (at now()).
  void Report(std::uint8_t bits, const std::function<void(const char* message)>& report,
              const std::function<std::uint64_t()>& now);

 private:
  struct Kind {
    std::uint8_t bit;
    const char* message;
    std::uint64_t quietUntilNs = 0;
  };
  Kind overflow_{kUartErrOverflow, kUartOverflowMessage};
  Kind framing_{kUartErrFraming, kUartFramingMessage};
};
