#pragma once
// The thread that polls the board UART must run within a few milliseconds of
// waking, or the UART's 127-byte buffer (11 ms at 115200 baud) overflows; on
// a busy PC a plain thread waits for other tasks' time slices first. While a
// TimelyWakeups is alive, the calling thread asks the fair scheduler for
// short time slices, which let a thread that wakes often for a little work
// run soon after it wakes (Linux 6.12 and later; older kernels accept and
// ignore it). Not a priority: a thread that spins by mistake cannot starve
// the machine, as a real-time one would. A program that is the board's only
// work and must answer within microseconds (the bridge: a pseudo-terminal's
// client may write its last bytes and flush them away at once, since a pty
// never waits for a drain) asks for the lowest real-time priority instead,
// where permitted. Programs the thread starts inherit neither. The thread's
// scheduling is put back when it ends.

class TimelyWakeups {
 public:
  enum class Kind { kUnchanged, kShortSlices, kRealTime };
  enum class Ask { kShortSlices, kRealTimeWhenPermitted };

  explicit TimelyWakeups(Ask ask = Ask::kShortSlices);
  ~TimelyWakeups();
  TimelyWakeups(const TimelyWakeups&) = delete;
  TimelyWakeups& operator=(const TimelyWakeups&) = delete;

  Kind kind() const { return kind_; }

 private:
  Kind kind_ = Kind::kUnchanged;
  // The thread's scheduling before, as the kernel's sched_attr, kept whole.
  alignas(8) unsigned char saved_[48] = {};
};
