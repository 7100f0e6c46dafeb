#pragma once
// Driver of the board UART, whose registers sit in the indexed register file
// behind an I/O port (register n is index regBase + n).

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The UART's reference clock.
inline constexpr std::int32_t UartClockHz = 125000000;

// Register numbers, counted from regBase.
inline constexpr std::uint8_t kUartDivLo = 0;
inline constexpr std::uint8_t kUartDivHi = 1;
inline constexpr std::uint8_t kUartTxData = 2;  // write: data, read: status
inline constexpr std::uint8_t kUartCtrl = 3;
inline constexpr std::uint8_t kUartRxData = 4;
inline constexpr std::uint8_t kUartRxStatus = 5;
inline constexpr std::uint8_t kUartErrStatus = 6;

inline constexpr std::uint8_t kUartTxBusy = 0x02;
inline constexpr std::uint8_t kUartRxCountMask = 0x7F;
inline constexpr std::uint8_t kUartRxErrorPending = 0x80;
inline constexpr std::uint8_t kUartErrFraming = 0x01;
inline constexpr std::uint8_t kUartErrOverflow = 0x80;
inline constexpr std::uint8_t kUartErrClear = 0xC1;

inline constexpr const char* kUartOverflowMessage = "UartRcvStr Overflow";
inline constexpr const char* kUartFramingMessage = "UartRcvStr Framing Error";
inline constexpr const char* kUartTxTimeoutMessage = "Timout on Wait UartTxStatus";
// Status reads of a busy transmitter before a send gives up waiting and
// writes anyway.
inline constexpr int kUartTxStatusReads = 100001;

// The divisor for a baud rate: clockHz / baud rounded to the nearest integer
// (in exact integer arithmetic, which gives floor(clockHz / baud + 0.5) for
// every divisor the register holds), or 0 when the rate cannot be
// programmed: a clock or rate that is not positive, or a divisor outside 1
// to 65535.
constexpr std::uint32_t UartDivisor(std::int32_t clockHz, std::int64_t baud) {
  if (clockHz <= 0 || baud <= 0 || baud > 2 * std::int64_t{clockHz}) return 0;
  const std::int64_t divisor = (2 * std::int64_t{clockHz} + baud) / (2 * baud);
  return divisor >= 1 && divisor <= 0xFFFF ? static_cast<std::uint32_t>(divisor) : 0;
}
// The rates UartInit takes at the board's clock: 1908 to 250000000.
constexpr bool UartBaudRateUsable(std::int64_t baud) {
  return UartDivisor(UartClockHz, baud) != 0;
}

// The time one character (10 bits) takes on the line at the divisor the
// UART really gets for baud; 0 when the rate cannot be programmed.
constexpr std::uint64_t UartCharTimeNs(std::int32_t baud) {
  const std::uint64_t divisor = UartDivisor(UartClockHz, baud);
  return divisor * 10 * 1'000'000'000ULL / static_cast<std::uint64_t>(UartClockHz);
}

// How the driver says what went wrong, in its messages' own words: the screen
// or program that uses the driver shows them (the driver shows nothing
// itself). The driver goes on once it returns.
using UartSay = std::function<void(std::string_view message)>;

// Programs the divisor and enables the UART. A baud rate that cannot be
// programmed is said and leaves the registers untouched; returns whether the
// UART was set up.
bool UartInit(std::int32_t clockHz, std::int32_t baud, std::int32_t port, std::int32_t regBase,
              const UartSay& say);
// UartInit's register writes for a divisor UartDivisor gave, with nothing
// shown: for a caller that checked the rate already.
void UartProgram(std::uint32_t divisor, std::int32_t port, std::int32_t regBase);
void UartClearErrors(std::int32_t port, std::int32_t regBase);
void UartSendStr(std::int32_t port, std::int32_t regBase, std::string_view text,
                 const UartSay& say);
std::int32_t UartRxCount(std::int32_t port, std::int32_t regBase);
void UartRcvStr(std::int32_t port, std::int32_t regBase, std::int32_t wanted,
                std::int32_t timeoutMs, std::string& text, std::int32_t quiet, std::int32_t& failed,
                const UartSay& say);
