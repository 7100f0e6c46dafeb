#pragma once
// Runs a ClockedTask beside the program's own thread: on the console's
// virtual clock when it has one (tests), else on a thread of its own that
// sleeps to the task's absolute deadlines. The thread leaves the
// asynchronous signals to the program's thread, which acts on them; for the
// board UART's engine it asks for real-time wake-ups where permitted and
// locks its stack in memory.

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "console/clocked_task.h"
#include "uart/timely_wakeups.h"

// The clock tasks live by: the attached console's when it is virtual, else
// the system's monotonic clock. Safe from any thread; `context` is unused.
std::uint64_t TaskClockNs(void* context);

class TaskRunner {
 public:
  struct Options {
    // The lowest real-time priority where permitted, else short slices of
    // the fair scheduler; for a task that does little, often and on time.
    bool realTime = false;
    // Runs on the thread before the task's first run (locking memory).
    std::function<void()> onStart;
  };

  TaskRunner(ClockedTask& task, Options options);
  ~TaskRunner();
  TaskRunner(const TaskRunner&) = delete;
  TaskRunner& operator=(const TaskRunner&) = delete;

  // The task is not run again once this returns; the run in progress ends
  // first. Idempotent.
  void Stop();
  bool OnThread() const { return thread_.joinable(); }
  // What the thread got from the scheduler; waits for the thread to have
  // asked, a moment after the start. kUnchanged on the virtual clock.
  TimelyWakeups::Kind Scheduling() const;

 private:
  void Loop(const Options& options);

  ClockedTask& task_;
  bool onClock_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<TimelyWakeups::Kind> scheduling_{TimelyWakeups::Kind::kUnchanged};
  std::atomic<bool> asked_{false};
  std::thread thread_;
};
