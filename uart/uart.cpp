#include "uart/uart.h"

#include "board/board_io.h"
#include "console/console.h"

namespace {

constexpr std::size_t kSendLimit = 128;
constexpr int kRxPollMs = 10;

std::uint32_t Port(std::int32_t port) {
  return static_cast<std::uint32_t>(port);
}

std::uint8_t Reg(std::int32_t regBase, std::uint8_t n) {
  return static_cast<std::uint8_t>(regBase + n);
}

}  // namespace

bool UartInit(std::int32_t clockHz, std::int32_t baud, std::int32_t port, std::int32_t regBase,
              const UartSay& say) {
  const std::uint32_t divisor = UartDivisor(clockHz, baud);
  if (divisor == 0) {
    say("UartInit: baud rate " + std::to_string(baud) + " cannot be set");
    return false;
  }
  UartProgram(divisor, port, regBase);
  return true;
}

void UartProgram(std::uint32_t divisor, std::int32_t port, std::int32_t regBase) {
  BoardRegWrite(Port(port), Reg(regBase, kUartDivLo), static_cast<std::uint8_t>(divisor & 0xFF));
  BoardRegWrite(Port(port), Reg(regBase, kUartDivHi),
                static_cast<std::uint8_t>((divisor >> 8) & 0xFF));
  UartClearErrors(port, regBase);
  BoardRegWrite(Port(port), Reg(regBase, kUartCtrl), 1);
}

void UartClearErrors(std::int32_t port, std::int32_t regBase) {
  BoardRegWrite(Port(port), Reg(regBase, kUartErrStatus), kUartErrClear);
}

void UartSendStr(std::int32_t port, std::int32_t regBase, std::string_view text,
                 const UartSay& say) {
  if (text.size() > kSendLimit) {
    say("UartSendStr: string too long " + std::to_string(text.size()));
  }
  BoardRegSelect(Port(port), Reg(regBase, kUartTxData));
  bool busy = true;
  for (int reads = 0; reads < kUartTxStatusReads && busy; ++reads) {
    busy = (BoardPortRead(Port(port)) & kUartTxBusy) != 0;
  }
  if (busy) say(kUartTxTimeoutMessage);
  for (const char c : text) BoardPortWrite(Port(port), static_cast<std::uint8_t>(c));
}

std::int32_t UartRxCount(std::int32_t port, std::int32_t regBase) {
  return BoardRegRead(Port(port), Reg(regBase, kUartRxStatus)) & kUartRxCountMask;
}

void UartRcvStr(std::int32_t port, std::int32_t regBase, std::int32_t wanted,
                std::int32_t timeoutMs, std::string& text, std::int32_t quiet, std::int32_t& failed,
                const UartSay& say) {
  text.clear();
  failed = 0;
  std::int32_t received = 0;
  std::int32_t idle = 0;
  std::uint8_t status = 0;
  for (;;) {
    status = BoardRegRead(Port(port), Reg(regBase, kUartRxStatus));
    std::int32_t n = status & kUartRxCountMask;
    if (n > 0) {
      // With wanted 0 or less this leaves n at 0 or less: the data register
      // is selected, nothing is read, and the call ends as complete.
      if (received + n > wanted) n = wanted - received;
      BoardRegSelect(Port(port), Reg(regBase, kUartRxData));
      for (std::int32_t i = 0; i < n; ++i)
        text.push_back(static_cast<char>(BoardPortRead(Port(port))));
      idle = 0;
      received += n;
      if (received == wanted) break;
    }
    if (idle >= timeoutMs) {
      if (quiet == 0) say("UartRcvStr TimeOut");
      failed = 1;
      break;
    }
    WaitMs(kRxPollMs);
    idle += kRxPollMs;
  }
  if ((status & kUartRxErrorPending) != 0) {
    const std::uint8_t errors = BoardRegRead(Port(port), Reg(regBase, kUartErrStatus));
    if (quiet == 0 && (errors & kUartErrOverflow) != 0) say(kUartOverflowMessage);
    if (quiet == 0 && (errors & kUartErrFraming) != 0) say(kUartFramingMessage);
    UartClearErrors(port, regBase);
    failed = 1;
  }
}
