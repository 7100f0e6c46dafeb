#pragma once
// Rules of the board UART's receive side that its consumers share (the
// terminal's receiver, the pty bridge): how received bytes wait for a reader
// that is slower than the line, and how receive errors are reported without
// flooding the reader.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "uart/uart.h"

// Received bytes waiting for their reader, oldest first, within a limit:
// beyond it the oldest are dropped, and counted.
class ReceiveBacklog {
 public:
  explicit ReceiveBacklog(std::size_t limit);

  // Returns how many bytes this addition made the backlog drop.
  std::size_t Add(std::string_view bytes);
  std::size_t Size() const { return bytes_.size() - start_; }
  // The place of the oldest waiting byte in everything ever added.
  std::uint64_t FrontPosition() const { return added_ - Size(); }
  bool Empty() const { return Size() == 0; }
  // The oldest waiting bytes, at most `max` of them; valid until the next
  // change.
  std::string_view Front(std::size_t max) const;
  // Forgets the oldest n bytes (taken by the reader).
  void Consume(std::size_t n);
  // Bytes dropped since the backlog was made.
  std::uint64_t Dropped() const { return dropped_; }
  std::size_t Limit() const { return limit_; }

 private:
  std::string bytes_;
  std::size_t start_ = 0;
  std::size_t limit_;
  std::uint64_t added_ = 0;
  std::uint64_t dropped_ = 0;
};

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
