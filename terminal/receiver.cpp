#include "terminal/receiver.h"

#include <time.h>
#include <unistd.h>

#include "app/settings.h"
#include "config/messages.h"
#include "console/console.h"
#include "console/program_end.h"
#include "console/tty.h"
#include "terminal/capture_file.h"
#include "terminal/macro_player.h"
#include "uart/uart.h"

namespace {

// Bytes shown at a time, and how long Show may go on before the screen's
// loop reads keys again (a long hold, after an external program, is shown
// over several turns of the loop).
constexpr std::size_t kShowSlice = 4096;
constexpr std::uint64_t kShowBudgetNs = 20'000'000;
// How often the capture thread takes what the engine received: the ring
// holds seconds of the line, the screen wants it within a frame.
constexpr std::uint64_t kCapturePeriodNs = 10'000'000;
constexpr std::size_t kTakeChunk = 4096;

// The receiver whose capture a crash completes.
std::atomic<Receiver*> g_captured{nullptr};

UartEngine::Options EngineOptions(std::int32_t baud) {
  UartEngine::Options options{};
  options.port = UartPort;
  options.regBase = UartRegBase;
  options.baud = baud;
  options.sendGapNs = kKeyGapNs;
  return options;
}

}  // namespace

std::uint64_t Receiver::CaptureTask::RunAt(std::uint64_t nowNs) {
  receiver_.TakeFromEngine();
  return nowNs + kCapturePeriodNs;
}

Receiver::Receiver(std::int32_t baud, Handler show, Handler capture, std::size_t holdLimit)
    : show_(std::move(show)),
      capture_(std::move(capture)),
      engine_(EngineOptions(baud), TaskClockNs, nullptr),
      held_(holdLimit),
      engineRunner_(engine_, {true, [this] { engine_.PrepareThread(); }}),
      captureRunner_(captureTask_, {}) {
  ownership_.emplace(engine_);
  // Home at a message, SIGTERM and SIGHUP end the program from deep inside a
  // screen: what was received must still reach the capture.
  endWorkId_ = AtProgramEnd([this] { Stop(); });
  if (capture_) {
    g_captured = this;
    TtySetCrashWork(CaptureOnCrash);
  }
}

Receiver::~Receiver() {
  Stop();
}

void Receiver::Stop() {
  if (stopped_) return;
  stopped_ = true;
  ForgetAtProgramEnd(endWorkId_);
  ownership_.reset();
  engineRunner_.Stop();
  captureRunner_.Stop();
  TakeFromEngine();
  Receiver* self = this;
  g_captured.compare_exchange_strong(self, nullptr);
}

void Receiver::TakeFromEngine() {
  std::array<char, kTakeChunk> chunk{};
  for (;;) {
    std::optional<UartEvent> event;
    std::size_t n = 0;
    // Only a crash takes it from us, and then the process is ending.
    while (taking_.test_and_set(std::memory_order_acquire)) {
      const timespec pause{0, 1'000'000};
      nanosleep(&pause, nullptr);
    }
    taker_.store(static_cast<pid_t>(gettid()));
    n = engine_.Take(chunk.data(), chunk.size(), event);
    if (n != 0 && capture_) capture_(std::string_view(chunk.data(), n));
    taker_.store(0);
    taking_.clear(std::memory_order_release);
    if (n == 0 && !event) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    held_.Add(std::string_view(chunk.data(), n));
    if (event) heldEvents_.emplace_back(held_.FrontPosition() + held_.Size(), *event);
  }
}

void Receiver::CaptureOnCrash() {
  Receiver* receiver = g_captured.load();
  if (receiver == nullptr) return;
  // Nothing is received after this, so the capture ends where the engine did.
  receiver->engine_.Halt();
  // The capture thread holds the engine's ring for a chunk at most, unless it
  // is the thread that crashed; on a busy machine it may wait for a
  // processor meanwhile, so it is given a while.
  for (int tries = 0; tries < 2000; ++tries) {
    if (receiver->taker_.load() == static_cast<pid_t>(gettid())) return;
    if (!receiver->taking_.test_and_set(std::memory_order_acquire)) {
      std::array<char, kTakeChunk> chunk{};
      std::optional<UartEvent> event;
      for (;;) {
        const std::size_t n = receiver->engine_.Take(chunk.data(), chunk.size(), event);
        if (n != 0) receiver->capture_(std::string_view(chunk.data(), n));
        if (n == 0 && !event) return;
      }
    }
    const timespec pause{0, 1'000'000};
    nanosleep(&pause, nullptr);
  }
}

void Receiver::Show() {
  const std::uint64_t start = ConsoleNowNs();
  for (;;) {
    std::string slice;
    std::optional<UartEvent> event;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      std::size_t max = kShowSlice;
      if (!heldEvents_.empty()) {
        const std::uint64_t front = held_.FrontPosition();
        const std::uint64_t at = heldEvents_.front().first;
        max = at > front ? std::min<std::uint64_t>(max, at - front) : 0;
      }
      slice = held_.Front(max);
      held_.Consume(slice.size());
      // An event comes once the bytes before it are shown (or were dropped).
      if (!heldEvents_.empty() && heldEvents_.front().first <= held_.FrontPosition()) {
        event = heldEvents_.front().second;
        heldEvents_.pop_front();
      }
    }
    if (slice.empty() && !event) break;
    if (!slice.empty() && show_) show_(slice);
    if (event) Said(*event);
    if (ConsoleNowNs() - start >= kShowBudgetNs) return;
  }
  SayDropped();
}

void Receiver::Said(const UartEvent& event) {
  switch (event.kind) {
    case UartEvent::Kind::kReceiveErrors:
      errors_.Report(
          static_cast<std::uint8_t>(event.value), [](const char* message) { ReportError(message); },
          [] { return ConsoleNowNs(); });
      return;
    case UartEvent::Kind::kTransmitTimeout:
      ShowError(kUartTxTimeoutMessage);
      return;
    case UartEvent::Kind::kBytesLost:
      ShowError(std::to_string(event.value) +
                " received bytes were lost: the program fell behind the board");
      return;
    case UartEvent::Kind::kSpeedChanged:
      return;
  }
}

void Receiver::SayDropped() {
  const std::uint64_t dropped = Dropped();
  if (dropped == 0 || droppedSaid_) return;
  droppedSaid_ = true;
  std::string text = "Receive buffer full: " + std::to_string(dropped) + " bytes were not shown";
  if (capture_) text += " (" + std::string(kCaptureFileName) + " has them)";
  ShowError(text);
}

std::size_t Receiver::Held() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return held_.Size();
}

std::uint64_t Receiver::Dropped() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return held_.Dropped();
}
