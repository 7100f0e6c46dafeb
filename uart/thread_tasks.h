#pragma once
// The task host of a real machine: each task on a thread of its own that
// sleeps to the task's absolute deadlines on the monotonic clock, on a futex
// that Wake ends early. The threads leave the asynchronous signals to the
// program's thread, which acts on them; for the board UART's engine a thread
// asks for real-time wake-ups where permitted and locks its stack in memory.

#include "console/task_host.h"

// The system's monotonic clock, in nanoseconds.
std::uint64_t MonotonicNs();

class ThreadTaskHost final : public TaskHost {
 public:
  std::uint64_t NowNs() const override { return MonotonicNs(); }
  std::unique_ptr<StartedTask> Start(ClockedTask& task, TaskOptions options) override;
};
