#pragma once
// Which baud rates the board UART can be set to. Its divisor is the 125 MHz
// reference clock over the baud rate, rounded to the nearest integer, and
// the divisor register is 16 bits wide; a divisor of 0 would stop the UART.

#include <cstdint>

inline constexpr std::int64_t kUartClockHz = 125000000;

// floor(clock / baud + 0.5) in exact integer arithmetic; baud must be > 0.
constexpr std::int64_t UartDivisorFor(std::int64_t baud) {
  return (2 * kUartClockHz + baud) / (2 * baud);
}

// True for 1908 to 250000000 bits per second: the divisor fits 16 bits and
// is at least 1.
constexpr bool BaudRateUsable(std::int64_t baud) {
  if (baud <= 0 || baud > 2 * kUartClockHz) return false;
  const std::int64_t divisor = UartDivisorFor(baud);
  return divisor >= 1 && divisor <= 0xFFFF;
}
