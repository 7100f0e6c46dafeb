#include "uart/uart_session.h"

#include <time.h>
#include <unistd.h>

#include <array>

namespace {

constexpr std::size_t kTakeChunk = 16 * 1024;
// How long a crash waits for the consumer to finish the tap.
constexpr int kCrashWaitMs = 2000;

}  // namespace

UartSession::UartSession(const Options& options, TaskHost& host)
    : engine_(options.engine, host),
      tap_(options.tap),
      holdEvents_(options.holdEvents),
      holdLimit_(options.holdLimit),
      pending_(options.holdLimit),
      held_(options.holdLimit) {
  TaskOptions consumer;
  consumer.onStart = [this] { consumerThread_.store(static_cast<pid_t>(gettid())); };
  consumerTask_ = host.Start(consumer_, std::move(consumer));
  engine_.Listen(consumerTask_.get());
  TaskOptions engine;
  engine.realTime = true;
  engine.onStart = [this] { engine_.PrepareThread(); };
  engineTask_ = host.Start(engine_, std::move(engine));
}

UartSession::~UartSession() {
  Stop();
}

void UartSession::Stop() {
  if (stopped_) return;
  stopped_ = true;
  engineTask_.reset();
  consumerTask_.reset();
  // The rest, on this thread.
  Consume();
}

TaskScheduling UartSession::EngineScheduling() const {
  return engineTask_ ? engineTask_->Scheduling() : TaskScheduling::kUnchanged;
}

void UartSession::Consume() {
  std::array<char, kTakeChunk> chunk{};
  for (;;) {
    std::optional<UartEvent> event;
    const std::size_t n = engine_.Take(chunk.data(), chunk.size(), event);
    if (n == 0 && !event) break;
    const std::string_view bytes(chunk.data(), n);
    if (tap_ != nullptr && n != 0) tap_->Received(bytes);
    if (tap_ != nullptr && event) tap_->Said(*event);
    if (crashing_.load()) continue;
    pending_.Add(bytes);
    if (event && holdEvents_) pending_.Add(*event);
  }
  if (crashing_.load()) {
    crashDrained_.store(true);
    return;
  }
  HandOver();
  const std::uint64_t sent = engine_.Sent();
  if (sent != sentSeen_) {
    sentSeen_ = sent;
    notice_.Raise();
  }
}

void UartSession::HandOver() {
  if (pending_.Empty()) return;
  // Never waits for the client, whose thread a crash may have stopped while
  // it held the stream.
  std::unique_lock<std::mutex> lock(heldMutex_, std::try_to_lock);
  if (!lock.owns_lock()) {
    deferred_.store(true);
    return;
  }
  held_.Absorb(pending_);
  lock.unlock();
  notice_.Raise();
}

void UartSession::Take(std::string& out, std::size_t max, std::optional<UartEvent>& event) {
  {
    const std::lock_guard<std::mutex> lock(heldMutex_);
    held_.Take(out, max, event);
  }
  if (deferred_.exchange(false) && consumerTask_) consumerTask_->Wake();
}

std::size_t UartSession::DropHeldBytes() {
  const std::lock_guard<std::mutex> lock(heldMutex_);
  return held_.DropBytes();
}

std::size_t UartSession::HeldBytes() const {
  const std::lock_guard<std::mutex> lock(heldMutex_);
  return held_.Bytes();
}

bool UartSession::Holding() const {
  const std::lock_guard<std::mutex> lock(heldMutex_);
  return !held_.Empty();
}

std::uint64_t UartSession::Dropped() const {
  const std::lock_guard<std::mutex> lock(heldMutex_);
  return held_.Dropped();
}

std::size_t UartSession::Send(std::string_view bytes) {
  const std::size_t n = engine_.Send(bytes);
  if (n != 0 && engineTask_) engineTask_->Wake();
  return n;
}

bool UartSession::ChangeSpeed(std::uint64_t at, std::int32_t baud) {
  const bool queued = engine_.ChangeSpeed(at, baud);
  if (queued && engineTask_) engineTask_->Wake();
  return queued;
}

void UartSession::HoldSending(bool hold) {
  if (engine_.SendingHeld() == hold) return;
  engine_.HoldSending(hold);
  // Released bytes leave now, not at the next poll.
  if (!hold && engineTask_) engineTask_->Wake();
}

void UartSession::SendAhead(char byte) {
  engine_.SendAhead(byte);
  if (engineTask_) engineTask_->Wake();
}

void UartSession::CompleteTapOnCrash(void* context) {
  auto& session = *static_cast<UartSession*>(context);
  session.engine_.Halt();
  // A consumer that crashed cannot finish its own work.
  if (session.consumerThread_.load() == static_cast<pid_t>(gettid())) return;
  session.crashing_.store(true);
  if (session.consumerTask_) session.consumerTask_->Wake();
  for (int waited = 0; waited < kCrashWaitMs && !session.crashDrained_.load(); ++waited) {
    const timespec pause{0, 1'000'000};
    nanosleep(&pause, nullptr);
  }
}
