#include "console/memory_console.h"

#include <algorithm>

void MemoryConsole::PushKey(std::string key, std::uint64_t atMs) {
  keys_.push_back(ScriptedKey{std::move(key), atMs * 1000000});
}

void MemoryConsole::PushText(std::string_view text, std::uint64_t atMs) {
  for (const char c : text) PushKey(std::string(1, c), atMs);
}

void MemoryConsole::AdvanceNs(std::uint64_t ns) {
  const std::uint64_t target = nowNs_ + ns;
  // The tasks due on the way run in deadline order, each at its own time.
  for (;;) {
    Scheduled* next = nullptr;
    for (Scheduled& scheduled : tasks_) {
      if (next == nullptr || scheduled.dueNs < next->dueNs) next = &scheduled;
    }
    if (next == nullptr || next->dueNs + taskLatenessNs_ > target) break;
    nowNs_ = std::max(nowNs_.load(), next->dueNs + taskLatenessNs_);
    if (onAdvance) onAdvance(nowNs_);
    ClockedTask* task = next->task;
    const std::uint64_t due = task->RunAt(nowNs_);
    // The task may have stopped itself or another.
    for (Scheduled& scheduled : tasks_) {
      if (scheduled.task == task) scheduled.dueNs = std::max(due, nowNs_.load() + 1);
    }
  }
  nowNs_ = target;
  if (onAdvance) onAdvance(target);
  if (target > limitNs_) {
    throw ScriptExhausted("virtual clock passed the script's time limit (" +
                          std::to_string(limitNs_ / 1000000) + " ms) with " +
                          std::to_string(keys_.size()) + " keys left");
  }
}

bool MemoryConsole::RunOnClock(ClockedTask& task) {
  tasks_.push_back({&task, nowNs_});
  return true;
}

void MemoryConsole::StopOnClock(ClockedTask& task) {
  std::erase_if(tasks_, [&task](const Scheduled& s) { return s.task == &task; });
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

bool MemoryConsole::KeyWaiting() {
  return !keys_.empty() && keys_.front().atNs <= nowNs_;
}

std::string MemoryConsole::TakeKey() {
  if (!KeyWaiting()) return {};
  std::string key = std::move(keys_.front().key);
  keys_.pop_front();
  return key;
}

void MemoryConsole::SleepMs(int ms) {
  if (ms > 0) AdvanceNs(static_cast<std::uint64_t>(ms) * 1000000 + sleepOvershootNs_);
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
