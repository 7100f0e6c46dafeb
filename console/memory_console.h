#pragma once
// A console backend held in memory, for tests: keys are scripted (each from a
// moment of a virtual clock on), waits advance the virtual clock instead of
// sleeping, and the screen model is read back cell by cell. It is also the
// task host of that clock: the tasks started on it run inside its waits, at
// their deadlines, on the test's thread.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/task_host.h"

// Thrown when the virtual clock passes the script's time limit: a screen that
// waits for keys that never come ends the test instead of hanging it.
class ScriptExhausted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class MemoryConsole : public ConsoleBackend, public TaskHost {
 public:
  // Queues a key that becomes readable once the clock reaches atMs
  // (absolute, virtual milliseconds).
  void PushKey(std::string key, std::uint64_t atMs = 0);
  // Queues each byte of text as a one-byte key.
  void PushText(std::string_view text, std::uint64_t atMs = 0);
  std::size_t KeysLeft() const { return keys_.size(); }

  std::uint64_t NowMsValue() const { return nowNs_ / 1000000; }
  std::uint64_t NowNsValue() const { return nowNs_; }
  void AdvanceNs(std::uint64_t ns);
  void SetTimeLimitMs(std::uint64_t ms) { limitNs_ = ms * 1000000; }
  // Every sleep lasts this much longer than asked, as a real one does.
  void SetSleepOvershootNs(std::uint64_t ns) { sleepOvershootNs_ = ns; }
  // Each frame takes this long to draw, as on a slow terminal: the thread
  // that presents it waits meanwhile, and the clock's tasks go on.
  void SetFrameTimeMs(std::uint64_t ms) { frameTimeNs_ = ms * 1000000; }
  int FramesDrawn() const { return framesDrawn_; }
  // Each task runs this long after its deadline, as a thread that the
  // kernel wakes late.
  void SetTaskLatenessNs(std::uint64_t ns) { taskLatenessNs_ = ns; }

  // Called after every advance of the clock, with the new time (also at each
  // task's run within an advance).
  std::function<void(std::uint64_t nowNs)> onAdvance;

  struct ToneCall {
    int hz;
    int ms;
    std::uint64_t atNs;
  };
  // The latest tones (a bounded record: a fuzzer sounds millions), and how
  // many sounded in all.
  const std::deque<ToneCall>& Tones() const { return tones_; }
  std::uint64_t ToneCount() const { return toneCount_; }
  int Presents() const { return presents_; }
  // The window the screen is said to be shown in (0 x 0, unknown, at first).
  void SetWindow(int rows, int cols) { window_ = {rows, cols}; }
  int Suspends() const { return suspends_; }

  void Present(ScreenModel& screen) override;
  std::uint64_t KeysArrived() override;
  std::string TakeKey() override;
  bool KeyQueued(std::string_view key) override;
  WaitEnd Wait(std::uint64_t deadlineNs, std::uint64_t keyMark,
               std::span<WaitSource* const> sources) override;
  void Tone(int hz, int ms) override;
  void Suspend() override { ++suspends_; }

  // The console's clock and the task host's.
  std::uint64_t NowNs() const override { return nowNs_; }
  std::unique_ptr<StartedTask> Start(ClockedTask& task, TaskOptions options) override;
  WindowSize Window() override { return window_; }

 private:
  struct ScriptedKey {
    std::string key;
    std::uint64_t atNs;
  };
  class ClockTask;
  // Keys waiting from the front that the clock has reached.
  std::size_t KeysDue() const;
  // Advances the clock to `target`, or to the first task's run before it and
  // runs that task; returns after one of the two.
  void StepTowards(std::uint64_t target);
  void RunTask(ClockedTask* task, std::uint64_t due);

  std::deque<ScriptedKey> keys_;
  std::uint64_t keysTaken_ = 0;
  // Atomic: the simulated board reads this clock from its signal handler,
  // so updates must not be reordered across the board accesses.
  std::atomic<std::uint64_t> nowNs_{0};
  std::uint64_t limitNs_ = 3600ull * 1000000000ull;
  std::uint64_t sleepOvershootNs_ = 0;
  std::uint64_t frameTimeNs_ = 0;
  std::uint64_t taskLatenessNs_ = 0;
  struct Scheduled {
    ClockedTask* task;
    std::uint64_t dueNs;
    bool woken = false;  // woken during its own run
  };
  ClockedTask* running_ = nullptr;
  // In the order they were started, which is the order at equal deadlines.
  std::vector<Scheduled> tasks_;
  int framesDrawn_ = 0;
  static constexpr std::size_t kTonesKept = 256;
  std::deque<ToneCall> tones_;
  std::uint64_t toneCount_ = 0;
  int presents_ = 0;
  int suspends_ = 0;
  WindowSize window_;
};

// Attaches a fresh MemoryConsole as the process's console and returns it.
MemoryConsole& AttachMemoryConsole(int rows = 25, int cols = 80);
