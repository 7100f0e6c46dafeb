#pragma once
// The board UART's engine. The UART holds 127 received bytes (11 ms of a line
// at 115200 baud, 1.4 ms at 921600) and raises no interrupt, so whoever polls
// it is the board's interrupt handler. While a screen or the bridge owns the
// UART, the engine is the only code that touches it: one thread calls Step
// at the deadlines Step returns, and Step makes board accesses and lock-free
// hand-offs only. It allocates nothing and takes no lock; it reads the clock
// it was given, and its one system call is the wake of its listener.
//
//   engine thread: UART --received bytes, errors at their place--> ring --> one consumer
//   one sender:    bytes to send --ring--> engine --paced--> UART
//
// What the receive ring cannot take is counted and said at its place in the
// stream, never silently dropped.

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "console/task_host.h"
#include "uart/spsc_ring.h"

// Something the engine saw, at its place among the received bytes.
struct UartEvent {
  enum class Kind : std::uint8_t {
    kReceiveErrors,    // value: the error register's overflow and framing bits
    kTransmitTimeout,  // the transmitter stayed busy for the driver's count of reads
    kBytesLost,        // value: received bytes the ring had no room for, here
    kSpeedChanged,     // value: the baud rate from here on
  };
  Kind kind;
  std::uint32_t value;
};

// The poll period for a baud rate: 40 character times, a third of the
// receive buffer, so that a poll takes about 40 bytes for 3 accesses of its
// own and a wake-up may come two thirds of the buffer late. Between 50 us
// and 10 ms.
std::uint64_t UartPollPeriodNs(std::int32_t baud);

class UartEngine final : public ClockedTask {
 public:
  struct Options {
    std::int32_t port;  // the register file's port and the UART's first index
    std::int32_t regBase;
    std::int32_t baud;
    // 0: bytes to send go as fast as the line takes them, a burst at a time
    // whenever the transmitter is free. Otherwise each byte goes alone, this
    // long after the previous one left (typed keys and macros).
    std::uint64_t sendGapNs = 0;
    std::size_t receiveRingBytes = 256 * 1024;
    std::size_t sendRingBytes = 4096;
  };

  // Bytes written to the transmitter at once in line-rate mode; the driver
  // writes strings of up to 128 after one status read.
  static constexpr std::size_t kSendBurst = 64;
  static constexpr int kNoAhead = -1;

  UartEngine(const Options& options, const TaskClock& clock);
  ~UartEngine() override;
  UartEngine(const UartEngine&) = delete;
  UartEngine& operator=(const UartEngine&) = delete;

  // The engine's thread. Sends and polls what is due at nowNs (the engine's
  // clock); returns when it is to be called next (an absolute time).
  std::uint64_t Step(std::uint64_t nowNs);
  std::uint64_t RunAt(std::uint64_t nowNs) override { return Step(nowNs); }
  std::uint64_t PeriodNs() const { return periodNs_; }
  // Woken at the end of a step that handed over received bytes or an event,
  // or that sent the last byte queued. Set before the first step.
  void Listen(StartedTask* listener) { listener_ = listener; }
  // On the engine's own thread, before its first step: notes the thread,
  // names it kThreadName and locks the engine's state and rings in memory;
  // false when the locking is not permitted.
  bool PrepareThread();
  static constexpr const char* kThreadName = "uart-poller";
  // Any thread, a signal handler too: no step starts from now on, and the
  // one in progress ends first (unless the caller is that step's thread; a
  // thread that waits for a processor is given two seconds).
  void Halt();

  // The consumer's thread. Takes received bytes in order, up to `max`,
  // stopping at the next event, which it then hands over in `event`.
  std::size_t Take(char* out, std::size_t max, std::optional<UartEvent>& event);

  // The sender's thread. Queues bytes to send and returns how many fitted.
  std::size_t Send(std::string_view bytes);
  // Room for bytes to send.
  std::size_t SendRoom() const { return txBytes_.Free(); }
  // Bytes queued since the start, and bytes written to the UART.
  std::uint64_t Queued() const { return txBytes_.Pushed(); }
  std::uint64_t Sent() const { return sent_.load(std::memory_order_acquire); }
  // When the last byte sent was written (the engine's clock).
  std::uint64_t LastSentNs() const { return lastSentNs_.load(std::memory_order_acquire); }
  // The line changes to `baud` once the bytes queued before position `at`
  // (as Queued counts) have left; false when too many changes wait.
  bool ChangeSpeed(std::uint64_t at, std::int32_t baud);
  // The sender's thread. While held, the queued bytes wait in the ring (and
  // a speed change behind them); a byte already written to the UART goes.
  // For software flow control: the far end said XOFF.
  void HoldSending(bool hold) { sendHeld_.store(hold, std::memory_order_release); }
  bool SendingHeld() const { return sendHeld_.load(std::memory_order_acquire); }
  // The sender's thread. A flow control byte (XON, XOFF) that goes alone and
  // ahead of the queued bytes, held or not, as a serial driver's x_char; it
  // replaces one that has not gone yet. Counted apart from Sent().
  void SendAhead(char byte) {
    ahead_.store(static_cast<unsigned char>(byte), std::memory_order_release);
  }
  std::uint64_t SentAhead() const { return sentAhead_.load(std::memory_order_acquire); }

  // Figures for anyone.
  std::uint64_t Received() const { return received_.load(std::memory_order_relaxed); }
  std::uint64_t Lost() const { return lost_.load(std::memory_order_relaxed); }
  std::uint64_t Polls() const { return polls_.load(std::memory_order_relaxed); }

 private:
  struct PlacedEvent {
    std::uint64_t at;  // the receive ring's position it stands before
    UartEvent event;
  };
  struct SpeedChange {
    std::uint64_t at;
    std::int32_t baud;
  };

  std::uint64_t Now() const { return clock_.NowNs(); }
  // What PrepareThread locks: the engine and its rings.
  std::array<std::pair<const void*, std::size_t>, 5> Memory() const;
  std::uint64_t StepNow(std::uint64_t now);
  void Transmit(std::uint64_t now);
  bool ChangeSpeedIfDue(std::uint64_t now);
  // Reads the transmitter's status until it is free, a few reads at most;
  // false while it is busy and has not yet been busy for the driver's count.
  bool TransmitterFree(std::uint64_t now);
  // Writes the byte SendAhead left, when one waits and the line is free;
  // true when one waits still or went (nothing else goes in this step).
  bool TransmitAhead(std::uint64_t now);
  void Poll();
  void Select(std::uint8_t reg);
  void Deliver(const char* bytes, std::size_t n);
  void Say(UartEvent event);
  void SayUnsaid();
  void SetBaud(std::int32_t baud);
  std::uint64_t SendDueNs() const;

  const TaskClock& clock_;
  StartedTask* listener_ = nullptr;
  const std::uint32_t port_;
  const std::int32_t regBase_;
  const std::uint64_t sendGapNs_;
  std::int32_t baud_ = 0;
  std::uint64_t periodNs_ = 0;
  std::uint64_t charNs_ = 0;

  SpscRing<char> rxBytes_;
  SpscRing<PlacedEvent> rxEvents_;
  SpscRing<char> txBytes_;
  SpscRing<SpeedChange> txChanges_;

  // The engine thread's own.
  int selected_ = -1;  // the register the index port selects, -1 unknown
  std::uint64_t nextPollNs_ = 0;
  std::uint64_t lineFreeNs_ = 0;  // when the last burst will have left
  std::uint64_t retryNs_ = 0;     // a busy transmitter is read again then
  std::uint32_t busyReads_ = 0;
  std::uint64_t unsaidLost_ = 0;
  std::uint8_t unsaidErrors_ = 0;
  bool unsaidTimeout_ = false;
  bool sentAny_ = false;
  bool locked_ = false;
  bool tellListener_ = false;

  std::atomic<pid_t> thread_{0};
  std::atomic<bool> halted_{false};
  std::atomic<bool> stepping_{false};
  std::atomic<bool> sendHeld_{false};
  std::atomic<int> ahead_{kNoAhead};
  std::atomic<std::uint64_t> sentAhead_{0};
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<std::uint64_t> lastSentNs_{0};
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> lost_{0};
  std::atomic<std::uint64_t> polls_{0};
};
