#pragma once
// Work that runs beside the screens at deadlines of its own (the board UART's
// engine and the consumer of what it receives), and the host it runs on: on
// a real machine a thread of its own per task against the system's clock; on
// a virtual clock (tests) the clock runs the tasks itself as it passes their
// deadlines, so that what the threads would do happens at exact, repeatable
// times. Whoever starts a task is given the host; nothing looks it up.

#include <cstdint>
#include <functional>
#include <memory>

// A deadline that never comes: the task sleeps until it is woken.
inline constexpr std::uint64_t kNoDeadline = UINT64_MAX;

class ClockedTask {
 public:
  virtual ~ClockedTask() = default;
  // Does what is due at nowNs; returns the next deadline (absolute), or
  // kNoDeadline.
  virtual std::uint64_t RunAt(std::uint64_t nowNs) = 0;
};

// The time tasks live by, in nanoseconds. Safe from any thread and from a
// signal handler; it makes no system call.
class TaskClock {
 public:
  virtual std::uint64_t NowNs() const = 0;

 protected:
  ~TaskClock() = default;
};

// What a task's thread got from the scheduler.
enum class TaskScheduling { kOnClock, kUnchanged, kShortSlices, kRealTime };

// A started task. Destroying it stops the task: no run starts from then on,
// and the one in progress ends first.
class StartedTask {
 public:
  virtual ~StartedTask() = default;
  // Runs the task as soon as it can, before its deadline. From any thread,
  // the task's own included; never waits and allocates nothing (one futex
  // wake at most), so the UART's engine may call it.
  virtual void Wake() = 0;
  // Known once the task's thread has started.
  virtual TaskScheduling Scheduling() const = 0;
};

struct TaskOptions {
  // The lowest real-time priority where permitted, else short slices of the
  // fair scheduler; the stack locked in memory. For a task that does
  // little, often and on time.
  bool realTime = false;
  // Runs on the task's thread before its first run.
  std::function<void()> onStart;
};

class TaskHost : public TaskClock {
 public:
  // The task's first run is due at once.
  virtual std::unique_ptr<StartedTask> Start(ClockedTask& task, TaskOptions options) = 0;

 protected:
  ~TaskHost() = default;
};
