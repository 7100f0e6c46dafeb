#pragma once
// The board UART while a screen owns it (the terminal, the code view), as
// three threads:
//
//   engine (real-time):  UART --> ring                      (uart/uart_engine.h)
//   capture:             ring --> capture handler, and held for the screen
//   the screen's own:    held --> show handler, and the driver's messages
//                        at their place among the bytes
//
// Only the engine touches the UART; the other two may wait as long as they
// like (a slow disk, a slow terminal, a message waiting for a key, an
// external program). What the screen has not shown yet is held, in order, up
// to a limit beyond which the oldest are dropped and that is said once.
// Receive errors are reported with the driver's messages, each once and then
// quiet for a while, so that a line at the wrong baud rate leaves the screen
// usable. While a Receiver is alive the keys the screen sends go out through
// its engine (SendKeys).

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "uart/reception.h"
#include "uart/task_runner.h"
#include "uart/uart_engine.h"

class Receiver {
 public:
  using Handler = std::function<void(std::string_view bytes)>;

  // Held bytes beyond this are dropped, oldest first (they would have
  // scrolled off the screen), and that is said once.
  static constexpr std::size_t kDefaultHoldLimit = 32u << 20;

  // Starts the engine on a UART that UartInit set up for `baud`. `show` is
  // called by Show; `capture`, when given, on the capture thread with every
  // byte in order (it must not touch the screen).
  Receiver(std::int32_t baud, Handler show, Handler capture = {},
           std::size_t holdLimit = kDefaultHoldLimit);
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // The screen's thread: shows what is held, for a while at most so that
  // keys are read between, and reports what the engine said.
  void Show();
  // Stops the engine; when this returns, the capture handler has had every
  // byte received. Runs on every way out of the program too. Idempotent.
  void Stop();

  std::size_t Held() const;
  std::uint64_t Dropped() const;
  const UartEngine& Engine() const { return engine_; }

 private:
  // The capture thread's work.
  class CaptureTask final : public ClockedTask {
   public:
    explicit CaptureTask(Receiver& receiver) : receiver_(receiver) {}
    std::uint64_t RunAt(std::uint64_t nowNs) override;

   private:
    Receiver& receiver_;
  };

  void TakeFromEngine();
  // A fatal signal's last work: what the engine received and the capture
  // has not had yet goes to the capture (async-signal-safe).
  static void CaptureOnCrash();
  void Said(const UartEvent& event);
  void SayDropped();

  Handler show_;
  Handler capture_;
  UartEngine engine_;
  std::optional<UartEngine::Ownership> ownership_;

  // Held by whoever takes from the engine: the capture thread, or a crash;
  // the thread holding it, 0 when none.
  std::atomic_flag taking_;
  std::atomic<pid_t> taker_{0};
  mutable std::mutex mutex_;
  ReceiveBacklog held_;
  // Events with their place in the stream of held bytes.
  std::deque<std::pair<std::uint64_t, UartEvent>> heldEvents_;

  ReceiveErrorReports errors_;
  bool droppedSaid_ = false;
  bool stopped_ = false;
  int endWorkId_ = 0;

  CaptureTask captureTask_{*this};
  // Last, so that their threads start once everything above is there.
  TaskRunner engineRunner_;
  TaskRunner captureRunner_;
};
