#include "uart/uart_engine.h"

#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>

#include "board/board_io.h"
#include "uart/uart.h"

namespace {

constexpr std::uint64_t kPollChars = 40;
constexpr std::uint64_t kMinPeriodNs = 50'000;
constexpr std::uint64_t kMaxPeriodNs = 10'000'000;
// Events waiting for the consumer; errors come at most once a poll.
constexpr std::size_t kEventRing = 1024;
constexpr std::size_t kSpeedChanges = 16;
// Status reads of a busy transmitter in one step before the engine lets the
// step end; the transmitter usually frees within a few.
constexpr int kBusyReadsPerStep = 16;
constexpr std::uint64_t kNever = kNoDeadline;

}  // namespace

std::uint64_t UartPollPeriodNs(std::int32_t baud) {
  const std::uint64_t charNs = UartCharTimeNs(baud);
  if (charNs == 0) return kMaxPeriodNs;
  return std::clamp(kPollChars * charNs, kMinPeriodNs, kMaxPeriodNs);
}

UartEngine::UartEngine(const Options& options, const TaskClock& clock)
    : clock_(clock),
      port_(static_cast<std::uint32_t>(options.port)),
      regBase_(options.regBase),
      sendGapNs_(options.sendGapNs),
      rxBytes_(options.receiveRingBytes),
      rxEvents_(kEventRing),
      txBytes_(options.sendRingBytes),
      txChanges_(kSpeedChanges) {
  SetBaud(options.baud);
  nextPollNs_ = Now();
}

UartEngine::~UartEngine() {
  if (!locked_) return;
  for (const auto& [start, bytes] : Memory()) munlock(start, bytes);
}

std::array<std::pair<const void*, std::size_t>, 5> UartEngine::Memory() const {
  return {{{this, sizeof *this},
           {rxBytes_.Storage(), rxBytes_.StorageBytes()},
           {rxEvents_.Storage(), rxEvents_.StorageBytes()},
           {txBytes_.Storage(), txBytes_.StorageBytes()},
           {txChanges_.Storage(), txChanges_.StorageBytes()}}};
}

bool UartEngine::PrepareThread() {
  thread_.store(static_cast<pid_t>(gettid()));
  // ps -L, top -H and /proc tell the poller from the program's threads.
  prctl(PR_SET_NAME, kThreadName, 0UL, 0UL, 0UL);
  bool ok = true;
  for (const auto& [start, bytes] : Memory()) ok = mlock(start, bytes) == 0 && ok;
  locked_ = true;
  return ok;
}

void UartEngine::SetBaud(std::int32_t baud) {
  baud_ = baud;
  periodNs_ = UartPollPeriodNs(baud);
  charNs_ = std::max<std::uint64_t>(UartCharTimeNs(baud), 1);
}

void UartEngine::Halt() {
  halted_.store(true);
  if (thread_.load() == static_cast<pid_t>(gettid())) return;
  for (int waits = 0; waits < 2000 && stepping_.load(); ++waits) {
    const timespec pause{0, 1'000'000};
    nanosleep(&pause, nullptr);
  }
}

std::uint64_t UartEngine::Step(std::uint64_t now) {
  stepping_.store(true);
  if (halted_.load()) {
    stepping_.store(false);
    return now + periodNs_;
  }
  const std::uint64_t next = StepNow(now);
  if (tellListener_ && listener_ != nullptr) listener_->Wake();
  tellListener_ = false;
  stepping_.store(false);
  return next;
}

std::uint64_t UartEngine::StepNow(std::uint64_t now) {
  // Sending first: a byte's start on the line must follow `now` closely,
  // since the gap to the next one is counted from it.
  Transmit(now);
  if (now >= nextPollNs_) {
    Poll();
    // Absolute deadlines; after a late wake-up the next poll is a whole
    // period on, not a burst of polls to catch up.
    nextPollNs_ = now - nextPollNs_ < periodNs_ ? nextPollNs_ + periodNs_ : now + periodNs_;
  }
  return std::min(nextPollNs_, SendDueNs());
}

std::uint64_t UartEngine::SendDueNs() const {
  const bool aheadWaits = ahead_.load(std::memory_order_relaxed) != kNoAhead;
  const bool held = sendHeld_.load(std::memory_order_relaxed);
  // While held, a change waits only when the bytes before it have left:
  // otherwise it waits for the release, as they do.
  SpeedChange change{};
  const bool changeWaits = txChanges_.Peek(&change, 1) == 1 &&
                           (!held || change.at <= sent_.load(std::memory_order_relaxed));
  const bool bytesWait = txBytes_.Available() != 0 && !held;
  if (!aheadWaits && !bytesWait && !changeWaits) return kNever;
  std::uint64_t due = retryNs_;
  // A flow control byte keeps no gap: it goes once the line is free.
  if (aheadWaits) return std::max(due, lineFreeNs_);
  if (sendGapNs_ != 0) {
    if (sentAny_) due = std::max(due, lastSentNs_.load(std::memory_order_relaxed) + sendGapNs_);
  } else {
    due = std::max(due, lineFreeNs_);
  }
  return due;
}

void UartEngine::Select(std::uint8_t reg) {
  if (selected_ == reg) return;
  BoardRegSelect(port_, static_cast<std::uint8_t>(regBase_ + reg));
  selected_ = reg;
}

bool UartEngine::TransmitterFree(std::uint64_t now) {
  Select(kUartTxData);
  for (int reads = 0; reads < kBusyReadsPerStep; ++reads) {
    if ((BoardPortRead(port_) & kUartTxBusy) == 0) {
      busyReads_ = 0;
      return true;
    }
    if (++busyReads_ >= static_cast<std::uint32_t>(kUartTxStatusReads)) {
      // As the driver does: said, and the byte goes anyway.
      busyReads_ = 0;
      Say({UartEvent::Kind::kTransmitTimeout, 0});
      return true;
    }
  }
  retryNs_ = now + charNs_;
  return false;
}

bool UartEngine::ChangeSpeedIfDue(std::uint64_t now) {
  SpeedChange change{};
  while (txChanges_.Peek(&change, 1) == 1 && change.at <= sent_.load(std::memory_order_relaxed)) {
    // The divisor changes once the last character has left.
    if (now < lineFreeNs_ || now < retryNs_ || !TransmitterFree(now)) return false;
    txChanges_.Drop(1);
    const std::uint32_t divisor = UartDivisor(UartClockHz, change.baud);
    if (divisor == 0 || change.baud == baud_) continue;
    UartProgram(divisor, static_cast<std::int32_t>(port_), regBase_);
    selected_ = kUartCtrl;
    SetBaud(change.baud);
    Say({UartEvent::Kind::kSpeedChanged, static_cast<std::uint32_t>(change.baud)});
  }
  return true;
}

bool UartEngine::TransmitAhead(std::uint64_t now) {
  if (ahead_.load(std::memory_order_acquire) == kNoAhead) return false;
  if (now < lineFreeNs_ || now < retryNs_ || !TransmitterFree(now)) return true;
  // The latest the sender left, even one it left meanwhile.
  const int byte = ahead_.exchange(kNoAhead, std::memory_order_acq_rel);
  if (byte == kNoAhead) return false;
  const std::uint64_t first = Now();
  BoardPortWrite(port_, static_cast<std::uint8_t>(byte));
  retryNs_ = 0;
  lineFreeNs_ = first + charNs_;
  sentAhead_.fetch_add(1, std::memory_order_release);
  return true;
}

void UartEngine::Transmit(std::uint64_t now) {
  if (TransmitAhead(now)) return;
  if (!ChangeSpeedIfDue(now)) return;
  if (sendHeld_.load(std::memory_order_acquire)) return;
  std::size_t waiting = txBytes_.Available();
  // Bytes queued behind a speed change wait for it.
  SpeedChange change{};
  if (txChanges_.Peek(&change, 1) == 1) {
    waiting = std::min<std::uint64_t>(waiting, change.at - sent_.load(std::memory_order_relaxed));
  }
  if (waiting == 0 || now < SendDueNs() || !TransmitterFree(now)) return;
  std::array<char, kSendBurst> burst{};
  const std::size_t n =
      txBytes_.Peek(burst.data(), sendGapNs_ != 0 ? 1 : std::min(waiting, kSendBurst));
  // The line starts on the first byte while the others are still written.
  const std::uint64_t first = Now();
  for (std::size_t i = 0; i < n; ++i) BoardPortWrite(port_, static_cast<std::uint8_t>(burst[i]));
  txBytes_.Drop(n);
  // A gap is counted from after the write, so that it is never short.
  const std::uint64_t written = Now();
  sentAny_ = true;
  retryNs_ = 0;
  lineFreeNs_ = first + n * charNs_;
  lastSentNs_.store(written, std::memory_order_relaxed);
  sent_.fetch_add(n, std::memory_order_release);
  // A sender waiting for its bytes to leave learns it through the listener.
  if (txBytes_.Available() == 0) tellListener_ = true;
}

void UartEngine::Poll() {
  polls_.fetch_add(1, std::memory_order_relaxed);
  Select(kUartRxStatus);
  const std::uint8_t status = BoardPortRead(port_);
  const std::size_t n = status & kUartRxCountMask;
  if (n > 0) {
    std::array<char, kUartRxCountMask> bytes{};
    Select(kUartRxData);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(BoardPortRead(port_));
    Deliver(bytes.data(), n);
  }
  if ((status & kUartRxErrorPending) != 0) {
    // As the driver does after collecting: read the errors, then clear them.
    const std::uint8_t errors =
        BoardRegRead(port_, static_cast<std::uint8_t>(regBase_ + kUartErrStatus));
    UartClearErrors(static_cast<std::int32_t>(port_), regBase_);
    selected_ = kUartErrStatus;
    const auto bits = static_cast<std::uint8_t>(errors & (kUartErrOverflow | kUartErrFraming));
    if (bits != 0) Say({UartEvent::Kind::kReceiveErrors, bits});
  }
  // A loss is said even when no byte follows it.
  if (unsaidLost_ != 0 && rxBytes_.Free() != 0) SayUnsaid();
}

void UartEngine::Deliver(const char* bytes, std::size_t n) {
  received_.fetch_add(n, std::memory_order_relaxed);
  // Bytes lost before these are said before them, once there is room.
  if (unsaidLost_ != 0 && rxBytes_.Free() != 0) SayUnsaid();
  const std::size_t pushed = unsaidLost_ == 0 ? rxBytes_.Push(bytes, n) : 0;
  if (pushed != 0) tellListener_ = true;
  if (pushed < n) {
    unsaidLost_ += n - pushed;
    lost_.fetch_add(n - pushed, std::memory_order_relaxed);
  }
}

void UartEngine::Say(UartEvent event) {
  switch (event.kind) {
    case UartEvent::Kind::kReceiveErrors:
      unsaidErrors_ |= static_cast<std::uint8_t>(event.value);
      break;
    case UartEvent::Kind::kTransmitTimeout:
      unsaidTimeout_ = true;
      break;
    case UartEvent::Kind::kBytesLost:
      break;
    case UartEvent::Kind::kSpeedChanged: {
      // Never folded: the consumer needs each.
      const PlacedEvent placed{rxBytes_.Pushed(), event};
      if (rxEvents_.Push(&placed, 1) == 1) tellListener_ = true;
      return;
    }
  }
  SayUnsaid();
}

void UartEngine::SayUnsaid() {
  // What the ring could not take waits, folded by kind, for room; the bytes
  // lost are said before any later byte.
  const std::uint64_t at = rxBytes_.Pushed();
  if (unsaidLost_ != 0) {
    const auto lost = static_cast<std::uint32_t>(std::min<std::uint64_t>(unsaidLost_, UINT32_MAX));
    const PlacedEvent placed{at, {UartEvent::Kind::kBytesLost, lost}};
    if (rxEvents_.Push(&placed, 1) == 1) {
      unsaidLost_ -= lost;
      tellListener_ = true;
    }
  }
  if (unsaidErrors_ != 0) {
    const PlacedEvent placed{at, {UartEvent::Kind::kReceiveErrors, unsaidErrors_}};
    if (rxEvents_.Push(&placed, 1) == 1) {
      unsaidErrors_ = 0;
      tellListener_ = true;
    }
  }
  if (unsaidTimeout_) {
    const PlacedEvent placed{at, {UartEvent::Kind::kTransmitTimeout, 0}};
    if (rxEvents_.Push(&placed, 1) == 1) {
      unsaidTimeout_ = false;
      tellListener_ = true;
    }
  }
}

std::size_t UartEngine::Take(char* out, std::size_t max, std::optional<UartEvent>& event) {
  event.reset();
  // The bytes' end first: an event pushed before it was published is then
  // seen below, so no byte is taken past its place.
  std::uint64_t limit = rxBytes_.Pushed();
  PlacedEvent next{};
  const bool haveEvent = rxEvents_.Peek(&next, 1) == 1;
  if (haveEvent) limit = std::min(limit, next.at);
  const std::uint64_t at = rxBytes_.Popped();
  const std::size_t n =
      limit > at ? rxBytes_.Pop(out, std::min<std::uint64_t>(max, limit - at)) : 0;
  if (haveEvent && at + n >= next.at) {
    rxEvents_.Drop(1);
    event = next.event;
  }
  return n;
}

std::size_t UartEngine::Send(std::string_view bytes) {
  return txBytes_.Push(bytes.data(), bytes.size());
}

bool UartEngine::ChangeSpeed(std::uint64_t at, std::int32_t baud) {
  const SpeedChange change{at, baud};
  return txChanges_.Push(&change, 1) == 1;
}
