#pragma once
// The board UART while a screen or the bridge owns it: the engine on a task
// of its own, and the one consumer that turns what the engine hands over into
// a single ordered stream of bytes and events (receive errors, the
// transmitter's time-out, bytes the ring could not take, speed changes, each
// at its place):
//
//   engine (real-time):  UART --rings-->                     (uart/uart_engine.h)
//   consumer:            rings --> the tap, every byte at once (the capture, the log)
//                              --> the held stream, for the client's own thread
//   the client's thread: held stream --> the screen, the bridge's pty
//
// Each stage wakes the next: the engine wakes the consumer when it hands
// something over or its last queued byte has left, the consumer raises the
// client's flag, and bytes the client sends wake the engine. Only the engine
// touches the UART; the tap and the client may wait as long as they like (a
// slow disk, a message waiting for a key, an external program): the engine's
// ring holds seconds of the line, the held stream minutes, and what either
// could not take is counted and said at its place.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "console/task_host.h"
#include "console/wait_source.h"
#include "uart/held_stream.h"
#include "uart/uart_engine.h"

class UartSession {
 public:
  // What gets every received byte at once, in order, on the consumer's
  // thread, whatever the client does.
  class Tap {
   public:
    virtual void Received(std::string_view bytes) = 0;
    // An event at its place among the bytes.
    virtual void Said(const UartEvent& event) { (void)event; }

   protected:
    ~Tap() = default;
  };

  // Held bytes beyond this are dropped, oldest first.
  static constexpr std::size_t kDefaultHoldLimit = 32u << 20;

  struct Options {
    UartEngine::Options engine;
    std::size_t holdLimit = kDefaultHoldLimit;
    // Events are held for the client too, at their place (the screen shows
    // them); otherwise only the tap hears them.
    bool holdEvents = true;
    Tap* tap = nullptr;
  };

  // Starts the engine on a UART that UartInit set up for options.engine.baud.
  UartSession(const Options& options, TaskHost& host);
  ~UartSession();
  UartSession(const UartSession&) = delete;
  UartSession& operator=(const UartSession&) = delete;

  // The client's thread. Raised when something was held or a queued byte has
  // left since the client last lowered it.
  WakeFlag& Notice() { return notice_; }
  // Takes held bytes in order into `out`, up to `max`, stopping at the next
  // event, which it then hands over in `event`.
  void Take(std::string& out, std::size_t max, std::optional<UartEvent>& event);
  // Forgets the held bytes (a bridge client flushed its input); returns how
  // many there were.
  std::size_t DropHeldBytes();
  std::size_t HeldBytes() const;
  bool Holding() const;
  std::uint64_t Dropped() const;
  std::size_t HoldLimit() const { return holdLimit_; }

  // The sender (the client's thread). Queues what fits and wakes the engine;
  // returns how many fitted.
  std::size_t Send(std::string_view bytes);
  // True until every byte queued has been written to the UART.
  bool Sending() const { return engine_.Sent() < engine_.Queued(); }
  // The line changes to `baud` once the bytes queued before position `at`
  // have left; false when too many changes wait.
  bool ChangeSpeed(std::uint64_t at, std::int32_t baud);
  // Software flow control: the queued bytes wait while held, and a flow
  // control byte goes ahead of them (see UartEngine).
  void HoldSending(bool hold);
  void SendAhead(char byte);

  const UartEngine& Engine() const { return engine_; }
  // What the engine's thread got from the scheduler.
  TaskScheduling EngineScheduling() const;

  // Stops the engine; when this returns, the tap has had every byte
  // received. Idempotent; the destructor does it.
  void Stop();

  // A fatal signal's work (async-signal-safe), for the tty layer: nothing is
  // received from now on, and the consumer gives the tap what the engine
  // still holds, within two seconds.
  static void CompleteTapOnCrash(void* session);

 private:
  class Consumer final : public ClockedTask {
   public:
    explicit Consumer(UartSession& session) : session_(session) {}
    std::uint64_t RunAt(std::uint64_t) override {
      session_.Consume();
      return kNoDeadline;
    }

   private:
    UartSession& session_;
  };

  void Consume();
  void HandOver();

  UartEngine engine_;
  Tap* const tap_;
  const bool holdEvents_;
  const std::size_t holdLimit_;
  WakeFlag notice_;

  // The consumer's own: what it took and could not hold yet, because the
  // client had the held stream (it never waits for the client).
  HeldStream pending_;
  std::uint64_t sentSeen_ = 0;
  std::atomic<pid_t> consumerThread_{0};
  std::atomic<bool> crashing_{false};
  std::atomic<bool> crashDrained_{false};
  // Set when the consumer found the held stream busy: the client wakes it.
  std::atomic<bool> deferred_{false};

  mutable std::mutex heldMutex_;
  HeldStream held_;

  bool stopped_ = false;
  Consumer consumer_{*this};
  // Last, so that the tasks start once everything above is there, and stop
  // before any of it goes.
  std::unique_ptr<StartedTask> consumerTask_;
  std::unique_ptr<StartedTask> engineTask_;
};
