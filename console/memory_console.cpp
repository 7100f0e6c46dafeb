#include "console/memory_console.h"

#include <algorithm>

void MemoryConsole::PushKey(std::string key, std::uint64_t atMs) {
  keys_.push_back(ScriptedKey{std::move(key), atMs * 1000000});
}

void MemoryConsole::PushText(std::string_view text, std::uint64_t atMs) {
  for (const char c : text) PushKey(std::string(1, c), atMs);
}

void MemoryConsole::AdvanceNs(std::uint64_t ns) {
  const std::uint64_t now = nowNs_.fetch_add(ns) + ns;
  if (onAdvance) onAdvance(now);
  if (now > limitNs_) {
    throw ScriptExhausted("virtual clock passed the script's time limit (" +
                          std::to_string(limitNs_ / 1000000) + " ms) with " +
                          std::to_string(keys_.size()) + " keys left");
  }
}

void MemoryConsole::Present(ScreenModel& screen) {
  ++presents_;
  const std::uint64_t now = nowNs_;
  if (frameTimeNs_ != 0 && now < frameBusyUntilNs_) return;
  ++framesDrawn_;
  frameBusyUntilNs_ = now + frameTimeNs_;
  screen.MarkClean();
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
  tones_.push_back(ToneCall{hz, ms, nowNs_.load()});
}

MemoryConsole& AttachMemoryConsole(int rows, int cols) {
  auto backend = std::make_unique<MemoryConsole>();
  MemoryConsole& console = *backend;
  ConsoleAttach(std::move(backend), rows, cols);
  return console;
}
