#include "console/memory_console.h"

#include <algorithm>

namespace {

constexpr std::uint64_t kLongestStepNs = 10'000'000;

}  // namespace

// A task on the virtual clock: it runs inside the console's waits.
class MemoryConsole::ClockTask final : public StartedTask {
 public:
  ClockTask(MemoryConsole& console, ClockedTask& task) : console_(console), task_(task) {}
  ~ClockTask() override {
    std::erase_if(console_.tasks_, [this](const Scheduled& s) { return s.task == &task_; });
  }
  void Wake() override {
    for (Scheduled& scheduled : console_.tasks_) {
      if (scheduled.task != &task_) continue;
      if (console_.running_ == &task_) {
        scheduled.woken = true;
      } else {
        scheduled.dueNs = std::min(scheduled.dueNs, console_.nowNs_.load());
      }
    }
  }
  TaskScheduling Scheduling() const override { return TaskScheduling::kOnClock; }

 private:
  MemoryConsole& console_;
  ClockedTask& task_;
};

void MemoryConsole::PushKey(std::string key, std::uint64_t atMs) {
  keys_.push_back(ScriptedKey{std::move(key), atMs * 1000000});
}

void MemoryConsole::PushText(std::string_view text, std::uint64_t atMs) {
  for (const char c : text) PushKey(std::string(1, c), atMs);
}

void MemoryConsole::RunTask(ClockedTask* task, std::uint64_t due) {
  nowNs_ = std::max(nowNs_.load(), due);
  if (onAdvance) onAdvance(nowNs_);
  running_ = task;
  const std::uint64_t next = task->RunAt(nowNs_);
  running_ = nullptr;
  // The task may have stopped itself or another.
  for (Scheduled& scheduled : tasks_) {
    if (scheduled.task != task) continue;
    scheduled.dueNs = std::max(scheduled.woken ? nowNs_.load() : next, nowNs_.load() + 1);
    scheduled.woken = false;
  }
}

void MemoryConsole::AdvanceNs(std::uint64_t ns) {
  const std::uint64_t target = nowNs_ + ns;
  // The tasks due on the way run in deadline order, each at its own time.
  for (;;) {
    const Scheduled* next = nullptr;
    for (const Scheduled& scheduled : tasks_) {
      if (next == nullptr || scheduled.dueNs < next->dueNs) next = &scheduled;
    }
    if (next == nullptr || next->dueNs > target || next->dueNs + taskLatenessNs_ > target) break;
    RunTask(next->task, next->dueNs + taskLatenessNs_);
  }
  nowNs_ = target;
  if (onAdvance) onAdvance(target);
  if (target > limitNs_) {
    throw ScriptExhausted("virtual clock passed the script's time limit (" +
                          std::to_string(limitNs_ / 1000000) + " ms) with " +
                          std::to_string(keys_.size()) + " keys left");
  }
}

void MemoryConsole::StepTowards(std::uint64_t target) {
  const Scheduled* next = nullptr;
  for (const Scheduled& scheduled : tasks_) {
    if (next == nullptr || scheduled.dueNs < next->dueNs) next = &scheduled;
  }
  if (next != nullptr && next->dueNs <= target && next->dueNs + taskLatenessNs_ <= target) {
    RunTask(next->task, next->dueNs + taskLatenessNs_);
    return;
  }
  AdvanceNs(target - nowNs_);
}

std::unique_ptr<StartedTask> MemoryConsole::Start(ClockedTask& task, TaskOptions) {
  tasks_.push_back({&task, nowNs_});
  return std::make_unique<ClockTask>(*this, task);
}

void MemoryConsole::Present(ScreenModel& screen) {
  ++presents_;
  bool changed = false;
  for (int row = 1; row <= screen.Rows() && !changed; ++row) changed = screen.RowDirty(row);
  screen.MarkClean();
  if (!changed) return;
  ++framesDrawn_;
  if (frameTimeNs_ != 0) AdvanceNs(frameTimeNs_);
}

std::size_t MemoryConsole::KeysDue() const {
  std::size_t due = 0;
  while (due < keys_.size() && keys_[due].atNs <= nowNs_) ++due;
  return due;
}

std::uint64_t MemoryConsole::KeysArrived() {
  return keysTaken_ + KeysDue();
}

std::string MemoryConsole::TakeKey() {
  if (KeysDue() == 0) return {};
  std::string key = std::move(keys_.front().key);
  keys_.pop_front();
  ++keysTaken_;
  return key;
}

bool MemoryConsole::KeyQueued(std::string_view key) {
  const std::size_t due = KeysDue();
  for (std::size_t i = 0; i < due; ++i) {
    if (keys_[i].key == key) return true;
  }
  return false;
}

WaitEnd MemoryConsole::Wait(std::uint64_t deadlineNs, std::uint64_t keyMark,
                            std::span<WaitSource* const> sources) {
  for (;;) {
    if (KeysArrived() > keyMark) return WaitEnd::kKey;
    for (WaitSource* source : sources) {
      if (source->Ready()) return WaitEnd::kSource;
    }
    if (nowNs_ >= deadlineNs) {
      // As a real sleep, it lasts a little longer than asked.
      if (sleepOvershootNs_ != 0) AdvanceNs(sleepOvershootNs_);
      return WaitEnd::kDeadline;
    }
    // The next moment a key can arrive, unless the deadline comes first.
    std::uint64_t target = deadlineNs;
    if (keyMark != UINT64_MAX) {
      const std::uint64_t arrived = KeysArrived();
      const std::size_t needed = static_cast<std::size_t>(keyMark + 1 - keysTaken_);
      if (arrived <= keyMark && needed <= keys_.size()) {
        target = std::min(target, keys_[needed - 1].atNs);
      }
    }
    // The clock moves in steps of 10 ms at most, so that a test that acts
    // as time passes (onAdvance) is looked at as often as a real wait would
    // look for keys; a wait nothing ends runs into the script's time limit.
    target = std::min({target, nowNs_.load() + kLongestStepNs, limitNs_ + 1});
    StepTowards(std::max(target, nowNs_.load()));
  }
}

void MemoryConsole::Tone(int hz, int ms) {
  if (tones_.size() == kTonesKept) tones_.pop_front();
  tones_.push_back(ToneCall{hz, ms, nowNs_.load()});
  ++toneCount_;
}

MemoryConsole& AttachMemoryConsole(int rows, int cols) {
  auto backend = std::make_unique<MemoryConsole>();
  MemoryConsole& console = *backend;
  ConsoleAttach(std::move(backend), rows, cols);
  return console;
}
